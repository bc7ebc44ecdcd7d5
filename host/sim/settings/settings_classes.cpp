#include "host/sim/settings/settings_classes.h"

#include "host/sim/services/app_lists.h"
#include "host/sim/services/cf_preferences.h"
#include "host/sim/services/devices.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "platform/corefoundation.h"
#include "platform/uikit.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace hostsim::settings {
namespace {

struct SpecifierState {
  inline static Class cls = nullptr;
  std::map<std::string, Strong> properties;
  std::string identifier;
  std::string label;
  std::string cell;
  Weak target;
  SEL action = nullptr;
  // A list row's choices: its values, and the title of each at the same
  // place (as the framework keeps them, from validValues and validTitles
  // at load, replaced by -setValues:titles:).
  Strong values;
  Strong titles;
};

// A list controller's table: the value each control shows, by row.
struct ListState {
  inline static Class cls = nullptr;
  std::string title;
  std::map<id, Strong> shown;
};

struct EditorState {
  inline static Class cls = nullptr;
  std::string identifier;
  std::string key;
};

std::string propertyText(id specifier, const char* key) {
  return stringOf(specifierProperty(specifier, key));
}

// -[PSViewController readPreferenceValue:]: the daemon's copy of the key,
// else the row's default.
id PSViewController_readPreferenceValue(id, SEL, id specifier) {
  Strong domain = preferencesDaemonCopy(propertyText(specifier, "defaults"));
  id key = specifierProperty(specifier, "key");
  id value =
      domain && isString(key) ? platform::NSDictionary::objectForKey(domain.get(), key) : nullptr;
  // The copy goes with this call; the value lives on in the pool.
  if (value != nullptr) value = objc_autorelease(objc_retain(value));
  return value != nullptr ? value : specifierProperty(specifier, "default");
}

// -[PSViewController setPreferenceValue:specifier:]: the daemon's copy
// changes; the daemon writes it over the file whole later, without the
// file's lock. Then the row's PostNotification, if any, is posted.
void PSViewController_setPreferenceValue(id, SEL, id value, id specifier) {
  id key = specifierProperty(specifier, "key");
  if (!isString(key) || value == nullptr) return;
  if (!preferencesDaemonSet(propertyText(specifier, "defaults"), stringOf(key), value)) return;
  const std::string posted = propertyText(specifier, "PostNotification");
  if (!posted.empty())
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         reinterpret_cast<CFStringRef>(newString(posted).get()),
                                         nullptr, nullptr, true);
}

id* specifiersSlot(id controller) {
  Ivar ivar = class_getInstanceVariable(ListState::cls, "_specifiers");
  return reinterpret_cast<id*>(reinterpret_cast<char*>(controller) + ivar_getOffset(ivar));
}

id PSListController_specifiers(id self, SEL) {
  return *specifiersSlot(self);
}

id PSListController_bundle(id self, SEL) {
  return send<id>(as_id(objc_getClass("NSBundle")), "bundleForClass:", object_getClass(self));
}

Strong newSpecifier(id entry, id target) {
  Strong specifier = Strong::adopt(send<id>(send<id>(as_id(SpecifierState::cls), "alloc"), "init"));
  SpecifierState& s = state<SpecifierState>(specifier.get());
  for (const auto& [name, value] : state<DictionaryState>(entry).entries)
    s.properties[name] = value;
  s.cell = propertyText(specifier.get(), "cell");
  s.label = propertyText(specifier.get(), "label");
  s.identifier = propertyText(specifier.get(), "id");
  if (s.identifier.empty()) s.identifier = s.label;
  s.target = Weak(target);
  const std::string action = propertyText(specifier.get(), "action");
  if (!action.empty()) s.action = sel_registerName(action.c_str());
  id values = specifierProperty(specifier.get(), "validValues");
  if (values != nullptr)
    send<void>(specifier.get(), "setValues:titles:", values,
               specifierProperty(specifier.get(), "validTitles"));
  return specifier;
}

// -[PSListController loadSpecifiersFromPlistName:target:]: NAME.plist of
// the controller's -bundle, its `items` made rows and its `title` the
// controller's. Nil when the bundle holds no such plist.
id PSListController_loadSpecifiers(id self, SEL, id name, id target) {
  id bundle = send<id>(self, "bundle");
  if (bundle == nullptr || !isString(name)) return nullptr;
  const std::string path = bundlePath(bundle) + "/" + stringOf(name) + ".plist";
  Strong plist = readDictionaryFile(path, false);
  if (!plist) return nullptr;
  const auto& entries = state<DictionaryState>(plist.get()).entries;
  if (auto title = entries.find("title"); title != entries.end())
    state<ListState>(self).title = stringOf(title->second.get());
  std::vector<Strong> rows;
  if (auto items = entries.find("items"); items != entries.end() && isArray(items->second.get()))
    for (const Strong& item : state<ArrayState>(items->second.get()).items)
      if (isDictionary(item.get())) rows.push_back(newSpecifier(item.get(), target));
  return autoreleased(newArray(std::move(rows)));
}

id PSListController_specifierForID(id self, SEL, id identifier) {
  const std::string wanted = stringOf(identifier);
  for (id specifier : specifiersOf(self))
    if (state<SpecifierState>(specifier).identifier == wanted) return specifier;
  return nullptr;
}

// The table is drawn again from -specifiers, asked afresh.
void PSListController_reloadSpecifiers(id self, SEL) {
  id* slot = specifiersSlot(self);
  objc_release(*slot);
  *slot = nullptr;
  state<ListState>(self).shown.clear();
  drawTable(self);
}

void drawRow(id controller, id specifier) {
  SpecifierState& s = state<SpecifierState>(specifier);
  if (s.cell != "PSSwitchCell" && s.cell != "PSSliderCell" && s.cell != "PSLinkListCell") return;
  Strong target = s.target.lock();
  id value = target ? send<id>(target.get(), "readPreferenceValue:", specifier) : nullptr;
  state<ListState>(controller).shown[specifier] = Strong(value);
}

void PSListController_reloadSpecifier(id self, SEL, id specifier) {
  if (specifier != nullptr) drawRow(self, specifier);
}

void PSListController_dealloc(id self, SEL) {
  objc_release(*specifiersSlot(self));
  object_dispose(self);
}

id PSSpecifier_propertyForKey(id self, SEL, id key) {
  const auto& properties = state<SpecifierState>(self).properties;
  auto it = properties.find(stringOf(key));
  return it == properties.end() ? nullptr : it->second.get();
}
void PSSpecifier_setPropertyForKey(id self, SEL, id value, id key) {
  if (!isString(key)) return;
  auto& properties = state<SpecifierState>(self).properties;
  if (value == nullptr)
    properties.erase(stringOf(key));
  else
    properties[stringOf(key)] = Strong(value);
}
id PSSpecifier_identifier(id self, SEL) {
  return autoreleased(newString(state<SpecifierState>(self).identifier));
}
id PSSpecifier_name(id self, SEL) {
  return autoreleased(newString(state<SpecifierState>(self).label));
}
id PSSpecifier_values(id self, SEL) {
  return state<SpecifierState>(self).values.get();
}
// The titles are kept as the framework's title dictionary is made from
// them: two arrays of equal counts (else NSInvalidArgumentException), the
// titles copied.
void PSSpecifier_setValuesTitles(id self, SEL, id values, id titles) {
  const unsigned long count = values != nullptr ? platform::NSArray::count(values) : 0;
  if ((values != nullptr && !isArray(values)) || (titles != nullptr && !isArray(titles)) ||
      count != (titles != nullptr ? platform::NSArray::count(titles) : 0)) {
    std::fprintf(stderr, "-[PSSpecifier setValues:titles:]: values and titles are not arrays of "
                         "equal counts (NSInvalidArgumentException)\n");
    std::abort();
  }
  SpecifierState& s = state<SpecifierState>(self);
  s.values = Strong(values);
  s.titles = titles != nullptr ? newArray(state<ArrayState>(titles).items) : Strong();
}

id Editor_initWithIdentifierAndKey(id self, SEL, id identifier, id key) {
  EditorState& e = state<EditorState>(self);
  e.identifier = stringOf(identifier);
  e.key = stringOf(key);
  return self;
}

// PSListController: the `_specifiers` variable of the device's class, and
// the table's C++ state.
Class defineListController(Class superclass) {
  Class cls = objc_allocateClassPair(superclass, "PSListController", 0);
  class_addIvar(cls, "_specifiers", sizeof(id), 3, "@");
  const std::string stateIvar = std::string(kStateIvarPrefix) + "PSListController";
  class_addIvar(cls, stateIvar.c_str(), sizeof(ListState),
                static_cast<uint8_t>(__builtin_ctz(alignof(ListState))), "?");
  cls->payloadOffset = ivar_getOffset(class_getInstanceVariable(cls, stateIvar.c_str()));
  cls->construct = [](void* p) { new (p) ListState(); };
  cls->destruct = [](void* p) { static_cast<ListState*>(p)->~ListState(); };
  objc_registerClassPair(cls);
  ListState::cls = cls;
  return cls;
}

} // namespace

void defineSettingsClasses(const std::set<std::string>& without) {
  Class object = objc_getClass("NSObject");
  Class specifier = defineClass<SpecifierState>("PSSpecifier", object);
  addMethod(specifier, "propertyForKey:", PSSpecifier_propertyForKey);
  addMethod(specifier, "setProperty:forKey:", PSSpecifier_setPropertyForKey);
  addMethod(specifier, "identifier", PSSpecifier_identifier);
  addMethod(specifier, "name", PSSpecifier_name);
  addMethod(specifier, "values", PSSpecifier_values);
  addMethod(specifier, "setValues:titles:", PSSpecifier_setValuesTitles);

  Class viewController = defineClass("PSViewController", objc_getClass("UIViewController"));
  addMethod(viewController, "readPreferenceValue:", PSViewController_readPreferenceValue);
  addMethod(viewController, "setPreferenceValue:specifier:", PSViewController_setPreferenceValue);

  Class list = defineListController(viewController);
  addMethod(list, "specifiers", PSListController_specifiers);
  addMethod(list, "bundle", PSListController_bundle);
  addMethod(list, "loadSpecifiersFromPlistName:target:", PSListController_loadSpecifiers);
  addMethod(list, "specifierForID:", PSListController_specifierForID);
  addMethod(list, "reloadSpecifiers", PSListController_reloadSpecifiers);
  addMethod(list, "reloadSpecifier:", PSListController_reloadSpecifier);
  addMethod(list, "dealloc", PSListController_dealloc);

  if (!without.contains("SparkAppListTableViewController")) {
    Class editor = defineClass<EditorState>("SparkAppListTableViewController",
                                            objc_getClass("UITableViewController"));
    addMethod(editor, "initWithIdentifier:andKey:", Editor_initWithIdentifierAndKey);
  }
}

void resetSettingsClasses() {
  // Nothing of the process's own: the preferences daemon outlives it.
}

std::vector<id> specifiersOf(id controller) {
  std::vector<id> out;
  id array = send<id>(controller, "specifiers");
  if (array == nullptr || !isArray(array)) return out;
  for (const Strong& item : state<ArrayState>(array).items)
    if (item && isKindOf(item.get(), SpecifierState::cls)) out.push_back(item.get());
  return out;
}

id specifierProperty(id specifier, const char* key) {
  return PSSpecifier_propertyForKey(specifier, nullptr, newString(key).get());
}

std::string specifierCell(id specifier) {
  return state<SpecifierState>(specifier).cell;
}
std::string specifierLabel(id specifier) {
  return state<SpecifierState>(specifier).label;
}
std::string specifierIdentifier(id specifier) {
  return state<SpecifierState>(specifier).identifier;
}
id specifierValues(id specifier) {
  return state<SpecifierState>(specifier).values.get();
}
id specifierTitles(id specifier) {
  return state<SpecifierState>(specifier).titles.get();
}

bool specifierEnabled(id specifier) {
  id enabled = specifierProperty(specifier, "enabled");
  return enabled == nullptr || platform::NSNumber::boolValue(enabled);
}

void drawTable(id controller) {
  state<ListState>(controller).shown.clear();
  for (id specifier : specifiersOf(controller))
    drawRow(controller, specifier);
}

id shownValue(id controller, id specifier) {
  const auto& shown = state<ListState>(controller).shown;
  auto it = shown.find(specifier);
  return it == shown.end() ? nullptr : it->second.get();
}

void changeControl(id controller, id specifier, id value) {
  state<ListState>(controller).shown[specifier] = Strong(value);
  Strong target = state<SpecifierState>(specifier).target.lock();
  if (target) send<void>(target.get(), "setPreferenceValue:specifier:", value, specifier);
}

void changeControls(id controller, const std::vector<id>& specifiers,
                    const std::vector<Strong>& values) {
  if (specifiers.empty() || specifiers.size() != values.size()) return;
  std::vector<Strong> rows;
  for (size_t i = 0; i < specifiers.size(); ++i) {
    state<ListState>(controller).shown[specifiers[i]] = values[i];
    rows.push_back(Strong(specifiers[i]));
  }
  Strong target = state<SpecifierState>(specifiers.front()).target.lock();
  if (target)
    send<void>(target.get(), "setPreferenceValues:specifiers:", newArray(values).get(),
               newArray(std::move(rows)).get());
}

void tapRow(id specifier) {
  SpecifierState& s = state<SpecifierState>(specifier);
  Strong target = s.target.lock();
  if (target && s.action != nullptr) sendAction(target.get(), s.action, specifier);
}

std::optional<EditedList> editedList(id controller) {
  if (EditorState::cls == nullptr || controller == nullptr ||
      !isKindOf(controller, EditorState::cls))
    return std::nullopt;
  const EditorState& e = state<EditorState>(controller);
  return EditedList{e.identifier, e.key};
}

std::string listTitle(id controller) {
  return state<ListState>(controller).title;
}

} // namespace hostsim::settings
