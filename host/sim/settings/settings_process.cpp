#include "host/sim/settings/settings_process.h"

#include "host/sim/package_install.h"
#include "host/sim/platform_boot.h"
#include "host/sim/services/app_lists.h"
#include "host/sim/services/devices.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "host/sim/services/views.h"
#include "host/sim/settings/settings_classes.h"
#include "platform/uikit.h"

#include <algorithm>
#include <cmath>
#include <dlfcn.h>
#include <stdexcept>

namespace hostsim::settings {
namespace {

constexpr const char* kLoaderEntries = "/Library/PreferenceLoader/Preferences";
constexpr const char* kPreferenceBundles = "/Library/PreferenceBundles";
constexpr const char* kSettingsApp = "/Applications/Preferences.app";

// The pane's app-list rows by their identifiers in its plist.
struct AppListRow {
  AppList list;
  const char* row;
  const char* name;
};
constexpr AppListRow kAppListRows[] = {{AppList::Silent, "silentApps", "silent"},
                                       {AppList::Banner, "bannerApps", "banner"}};

std::string entryString(id dictionary, const char* key) {
  return stringOf(platform::NSDictionary::objectForKey(dictionary, newString(key).get()));
}

Outcome refused(std::string why) {
  return {Outcome::Kind::Refused, std::move(why)};
}

// A number as JSON: an integer when it is whole.
nlohmann::json numberJson(double value) {
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 9e15)
    return static_cast<int64_t>(value);
  return value;
}

double propertyNumber(id specifier, const char* key, double fallback) {
  id value = specifierProperty(specifier, key);
  return value != nullptr && isNumber(value) ? platform::NSNumber::doubleValue(value) : fallback;
}

// A list row's choices: {"value", "title"} for each of the values the row
// offers now (its validValues, unless the pane replaced them), in order.
nlohmann::json choicesOf(id specifier) {
  nlohmann::json out = nlohmann::json::array();
  id values = specifierValues(specifier);
  id titles = specifierTitles(specifier);
  if (values == nullptr) return out;
  const unsigned long count = platform::NSArray::count(values);
  const unsigned long named = titles != nullptr ? platform::NSArray::count(titles) : 0;
  for (unsigned long i = 0; i < count; ++i) {
    id value = platform::NSArray::objectAtIndex(values, i);
    out.push_back(
        {{"value", numberJson(platform::NSNumber::doubleValue(value))},
         {"title", i < named ? nlohmann::json(stringOf(platform::NSArray::objectAtIndex(titles, i)))
                             : nlohmann::json()}});
  }
  return out;
}

} // namespace

const char* kindName(Outcome::Kind kind) {
  switch (kind) {
  case Outcome::Kind::Applied:
    return "applied";
  case Outcome::Kind::Refused:
    return "refused";
  case Outcome::Kind::Failed:
    return "failed";
  }
  return "";
}

struct SettingsProcess::Impl : ModeledProcess {
  Impl(std::filesystem::path r, ClockMode c, Deliverables d)
      : ModeledProcess(std::move(r), c, "the Settings process"), deliverables(std::move(d)) {}

  Deliverables deliverables;
  void* pane = nullptr; // the handle of the loaded pane bundle
  std::string principal;
  Strong navigation;
  Strong controller; // the pane's root controller, while open
  nlohmann::json alerts = nlohmann::json::array();

  void release() override {
    controller = Strong();
    navigation = Strong();
    resetSettingsClasses();
  }

  void unload() override {
    if (pane != nullptr) dlclose(pane);
    pane = nullptr;
  }

  // PreferenceLoader: the entry put in place and read, its bundle put in
  // place and loaded (the principal class is made when the row is tapped).
  void loadPane() {
    installBuilt(deliverables.loaderEntry, kLoaderEntries);
    installBuilt(deliverables.paneBundle, kPreferenceBundles);
    const std::string entryPath =
        std::string(kLoaderEntries) + "/" + deliverables.loaderEntry.filename().string();
    Strong file = readDictionaryFile(entryPath, false);
    id entry =
        file ? platform::NSDictionary::objectForKey(file.get(), newString("entry").get()) : nullptr;
    if (entry == nullptr || !isDictionary(entry))
      throw std::runtime_error("PreferenceLoader: " + entryPath + " holds no entry dictionary");
    const std::string bundleName = entryString(entry, "bundle");
    id isController = platform::NSDictionary::objectForKey(entry, newString("isController").get());
    if (bundleName.empty() || bundleName.find('/') != std::string::npos)
      throw std::runtime_error("PreferenceLoader: the entry " + entryPath + " names no bundle");
    if (isController == nullptr || !platform::NSNumber::boolValue(isController))
      throw std::runtime_error("PreferenceLoader: the entry " + entryPath +
                               " does not say isController");
    const std::string bundle = std::string(kPreferenceBundles) + "/" + bundleName + ".bundle";
    Strong info = readDictionaryFile(bundle + "/Info.plist", false);
    if (!info) throw std::runtime_error("PreferenceLoader: " + bundle + " has no Info.plist");
    const std::string executable = entryString(info.get(), "CFBundleExecutable");
    principal = entryString(info.get(), "NSPrincipalClass");
    if (executable.empty() || executable.find('/') != std::string::npos || principal.empty())
      throw std::runtime_error("PreferenceLoader: " + bundle +
                               "/Info.plist names no executable or principal class");
    const std::filesystem::path file_ = hostPath(bundle) / executable;
    pane = dlopen(file_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pane == nullptr)
      throw std::runtime_error("PreferenceLoader: cannot load " + bundle + "/" + executable + ": " +
                               dlerror());
    if (objc_getClass(principal.c_str()) == nullptr)
      throw std::runtime_error("PreferenceLoader: " + bundle + " made no class " + principal);
  }

  // An alert that a controller on the stack presents is read, recorded,
  // and dismissed (the person taps OK). The text of the last, or "".
  std::string takeAlerts() {
    std::string last;
    if (!navigation) return last;
    for (id shown : navigationStack(navigation.get())) {
      id presented = send<id>(shown, "presentedViewController");
      std::optional<AlertText> alert = alertText(presented);
      if (!alert) continue;
      alerts.push_back({{"title", alert->title}, {"message", alert->message}});
      last = alert->message;
      send<void>(shown, "dismissViewControllerAnimated:completion:", static_cast<BOOL>(YES),
                 static_cast<void*>(nullptr));
    }
    return last;
  }

  // Back to Settings' own list.
  void popToRoot() {
    while (navigationStack(navigation.get()).size() > 1)
      send<id>(navigation.get(), "popViewControllerAnimated:", static_cast<BOOL>(NO));
    controller = Strong();
  }

  id rowFor(const std::string& key) {
    for (id specifier : specifiersOf(controller.get())) {
      id name = specifierProperty(specifier, "key");
      if (name != nullptr && stringOf(name) == key) return specifier;
    }
    return nullptr;
  }

  id rowWithIdentifier(const std::string& identifier) {
    for (id specifier : specifiersOf(controller.get()))
      if (specifierIdentifier(specifier) == identifier) return specifier;
    return nullptr;
  }
};

SettingsProcess::SettingsProcess(std::filesystem::path root, ClockMode clock,
                                 Deliverables deliverables)
    : impl_(new Impl(std::move(root), clock, std::move(deliverables))) {}

SettingsProcess::~SettingsProcess() {
  end();
}

void SettingsProcess::boot(const BootOptions& options) {
  Impl& p = *impl_;
  p.boot(PlatformOptions{}, [&] {
    p.alerts = nlohmann::json::array();
    setMainBundlePath(kSettingsApp);
    defineSettingsClasses(options.without);
    p.loadPane();
    // Settings' own list, at the bottom of its navigation stack.
    Strong list = Strong::adopt(
        send<id>(send<id>(as_id(objc_getClass("PSListController")), "alloc"), "init"));
    p.navigation =
        Strong::adopt(send<id>(send<id>(as_id(objc_getClass("UINavigationController")), "alloc"),
                               "initWithRootViewController:", list.get()));
  });
}

void SettingsProcess::end() {
  impl_->end();
}

bool SettingsProcess::booted() const {
  return impl_->booted();
}

const std::filesystem::path& SettingsProcess::root() const {
  return impl_->root();
}

void SettingsProcess::setStorageFull(bool full) {
  impl_->setStorageFull(full);
}

size_t SettingsProcess::failedWrites() const {
  return impl_->failedWrites();
}

void SettingsProcess::open() {
  Impl& p = *impl_;
  p.action([&] {
    p.popToRoot();
    Class cls = objc_getClass(p.principal.c_str());
    p.controller = Strong::adopt(send<id>(send<id>(as_id(cls), "alloc"), "init"));
    send<void>(p.navigation.get(), "pushViewController:animated:", p.controller.get(),
               static_cast<BOOL>(YES));
    drawTable(p.controller.get());
    p.takeAlerts();
    return 0;
  });
}

bool SettingsProcess::isOpen() const {
  return static_cast<bool>(impl_->controller);
}

nlohmann::json SettingsProcess::rows() const {
  Impl& p = *impl_;
  if (!p.booted() || !p.controller) return nullptr;
  return p.action([&] {
    id pane = p.controller.get();
    nlohmann::json groups = nlohmann::json::array();
    for (id specifier : specifiersOf(pane)) {
      const std::string cell = specifierCell(specifier);
      if (cell == "PSGroupCell" || groups.empty()) {
        id footer = specifierProperty(specifier, "footerText");
        groups.push_back(
            {{"title", cell == "PSGroupCell" ? nlohmann::json(specifierLabel(specifier))
                                             : nlohmann::json(nullptr)},
             {"footer", footer != nullptr ? nlohmann::json(stringOf(footer)) : nlohmann::json()},
             {"rows", nlohmann::json::array()}});
        if (cell == "PSGroupCell") continue;
      }
      id key = specifierProperty(specifier, "key");
      nlohmann::json row = {{"key", key != nullptr ? nlohmann::json(stringOf(key)) : nullptr},
                            {"label", specifierLabel(specifier)}};
      id shown = shownValue(pane, specifier);
      if (cell == "PSSwitchCell") {
        row["cell"] = "switch";
        row["value"] = shown != nullptr
                           ? nlohmann::json(static_cast<bool>(platform::NSNumber::boolValue(shown)))
                           : nlohmann::json();
      } else if (cell == "PSSliderCell") {
        const double minimum = propertyNumber(specifier, "min", 0);
        const double maximum = propertyNumber(specifier, "max", 1);
        row["cell"] = "slider";
        // A slider shows its value within its range.
        row["value"] =
            shown != nullptr
                ? numberJson(std::clamp(platform::NSNumber::doubleValue(shown), minimum, maximum))
                : nlohmann::json();
        row["min"] = numberJson(minimum);
        row["max"] = numberJson(maximum);
      } else if (cell == "PSLinkListCell") {
        // A list of choices: the row shows the chosen one's title.
        row["cell"] = "choice";
        row["value"] = shown != nullptr ? numberJson(platform::NSNumber::doubleValue(shown))
                                        : nlohmann::json();
        row["choices"] = choicesOf(specifier);
      } else {
        row["cell"] = cell == "PSLinkCell" ? "link" : cell;
        row["value"] = nullptr;
        row["id"] = specifierIdentifier(specifier);
        for (const AppListRow& list : kAppListRows)
          if (specifierIdentifier(specifier) == list.row) row["list"] = list.name;
      }
      row["enabled"] = specifierEnabled(specifier);
      groups.back()["rows"].push_back(std::move(row));
    }
    return nlohmann::json{{"title", listTitle(pane)}, {"groups", std::move(groups)}};
  });
}

Outcome SettingsProcess::set(const std::string& key, const nlohmann::json& value) {
  return set({{key, value}});
}

Outcome SettingsProcess::set(const std::vector<std::pair<std::string, nlohmann::json>>& changes) {
  Impl& p = *impl_;
  if (!p.controller) throw std::logic_error("the pane is not open");
  return p.action([&]() -> Outcome {
    std::vector<id> rows;
    std::vector<Strong> given;
    std::vector<std::string> cells;
    // Every control first: one that cannot give its value changes nothing.
    for (const auto& [key, value] : changes) {
      id row = p.rowFor(key);
      const std::string cell = row != nullptr ? specifierCell(row) : "";
      if (cell != "PSSwitchCell" && cell != "PSSliderCell" && cell != "PSLinkListCell")
        return refused("the pane has no control for " + key);
      if (!specifierEnabled(row)) return refused(key + " is disabled in the pane");
      if (std::find(rows.begin(), rows.end(), row) != rows.end())
        return refused(key + " is given twice; give each control once");
      id shown = shownValue(p.controller.get(), row);
      Strong one;
      if (cell == "PSSwitchCell") {
        if (!value.is_boolean())
          return refused(key + " is a switch: it is on (true) or off (false)");
        const bool on = value.get<bool>();
        // A switch already in that position is left alone.
        if (shown != nullptr && static_cast<bool>(platform::NSNumber::boolValue(shown)) == on)
          continue;
        one = newBool(on);
      } else if (cell == "PSLinkListCell") {
        // The list offers its values and nothing else; a person picks one.
        const nlohmann::json choices = choicesOf(row);
        for (const nlohmann::json& choice : choices)
          if (value.is_number() && choice["value"] == numberJson(value.get<double>()))
            one = newInteger(choice["value"].get<int64_t>());
        if (!one) {
          auto text = [](const nlohmann::json& c) {
            return c["value"].dump() +
                   (c["title"].is_string() ? " (" + c["title"].get<std::string>() + ")" : "");
          };
          return refused(key + " is a list of " + std::to_string(choices.size()) + " choices, " +
                         (choices.empty() ? std::string("none")
                                          : text(choices.front()) + " to " + text(choices.back())) +
                         "; it has no " + value.dump());
        }
      } else {
        const double minimum = propertyNumber(row, "min", 0);
        const double maximum = propertyNumber(row, "max", 1);
        const std::string range = numberJson(minimum).dump() + " to " + numberJson(maximum).dump();
        if (!value.is_number())
          return refused(key + " is a slider: it takes a number from " + range);
        const double wanted = value.get<double>();
        if (!(wanted >= minimum && wanted <= maximum))
          return refused(key + "'s slider goes from " + range + ", not to " + value.dump());
        one = newReal(wanted);
      }
      rows.push_back(row);
      given.push_back(std::move(one));
      cells.push_back(cell);
    }
    if (rows.empty()) return {Outcome::Kind::Applied, "", nullptr}; // nothing to change
    if (changes.size() == 1)
      changeControl(p.controller.get(), rows.front(), given.front().get());
    else
      changeControls(p.controller.get(), rows, given);
    std::string alert = p.takeAlerts();
    if (!alert.empty()) return {Outcome::Kind::Failed, alert};
    // What the controls show now is what the pane stored.
    nlohmann::json stored = nlohmann::json::object();
    for (size_t i = 0; i < rows.size(); ++i) {
      id now = shownValue(p.controller.get(), rows[i]);
      stored[stringOf(specifierProperty(rows[i], "key"))] =
          now == nullptr ? nlohmann::json()
          : cells[i] == "PSSwitchCell"
              ? nlohmann::json(static_cast<bool>(platform::NSNumber::boolValue(now)))
              : numberJson(platform::NSNumber::doubleValue(now));
    }
    if (changes.size() == 1) return {Outcome::Kind::Applied, "", stored.begin().value()};
    return {Outcome::Kind::Applied, "", std::move(stored)};
  });
}

Outcome SettingsProcess::apps(AppList list, AppEdit edit, const std::string& app) {
  Impl& p = *impl_;
  if (!p.controller) throw std::logic_error("the pane is not open");
  return p.action([&]() -> Outcome {
    const char* identifier = list == AppList::Silent ? "silentApps" : "bannerApps";
    for (const AppListRow& row : kAppListRows)
      if (row.list == list) identifier = row.row;
    id row = p.rowWithIdentifier(identifier);
    if (row == nullptr) return refused(std::string("the pane has no ") + identifier + " row");
    if (!specifierEnabled(row)) {
      std::string why = specifierLabel(row) + " is disabled in the pane";
      return refused(why);
    }
    if (app.empty()) return refused("no app named");
    tapRow(row);
    std::string alert = p.takeAlerts();
    if (!alert.empty()) return {Outcome::Kind::Failed, alert};
    id top = send<id>(p.navigation.get(), "topViewController");
    std::optional<EditedList> edited = editedList(top);
    if (!edited) return refused(specifierLabel(row) + " opened no app-list editor");
    std::optional<std::string> problem =
        editAppList(edited->identifier, edited->key, app, edit == AppEdit::Add);
    // The person goes back to the pane.
    send<id>(p.navigation.get(), "popViewControllerAnimated:", static_cast<BOOL>(YES));
    if (problem) return {Outcome::Kind::Failed, *problem};
    return {Outcome::Kind::Applied, ""};
  });
}

nlohmann::json SettingsProcess::alerts() const {
  return impl_->alerts;
}

nlohmann::json SettingsProcess::navigation() const {
  Impl& p = *impl_;
  nlohmann::json out = nlohmann::json::array();
  if (!p.booted() || !p.navigation) return out;
  for (id controller : navigationStack(p.navigation.get()))
    out.push_back(class_getName(object_getClass(controller)));
  return out;
}

void SettingsProcess::wait(double seconds) {
  impl_->wait(seconds);
}

void SettingsProcess::runDue() {
  impl_->runDue();
}

double SettingsProcess::now() const {
  return impl_->now();
}

} // namespace hostsim::settings
