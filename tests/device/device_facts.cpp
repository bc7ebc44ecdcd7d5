// device-facts: what the device checks (tests/device/) need to know of the
// build, written as JSON at build time so that no check keeps a copy:
//
//   device-facts ROOT_FOLDER > device-facts.json
//
//   settings   the fields of `Settings` in order: name, type ("?" a one-byte
//              boolean, "i" a 32-bit integer), offset, size and the default
//   hookRow    the offset of each field of a hook-table row, and its size
//   files      the preference file's device path and its lock's suffix
//   homeScreen the modeled home screen (booted without the deliverables over
//              ROOT_FOLDER): each of its classes with its superclass and its
//              own instance and class methods, superclasses included
//
// The layouts are those of this host's compiler. The device's arm64 ABI lays
// both structures out the same way (LP64, a one-byte bool, natural
// alignment), which the static assertions below hold to.
#include "core/hook_table.h"
#include "host/sim/home/home_process.h"
#include "host/sim/home/host_classes.h"
#include "platform/filelock.h"
#include "prefs/domain.h"
#include "prefs/settings.h"

#include <cstddef>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

static_assert(sizeof(void*) == 8 && sizeof(bool) == 1 && alignof(int32_t) == 4,
              "the device's arm64 layout differs from this host's");

namespace {

using nlohmann::json;

template <class T> const char* typeCode();
template <> const char* typeCode<bool>() {
  return "?";
}
template <> const char* typeCode<int32_t>() {
  return "i";
}

json settingsLayout() {
  json fields = json::array();
#define QUELLINE_FACTS_FIELD(name, type, fallback, minimum, maximum, reading, pane, label, text)   \
  QUELLINE_IF_CACHED(                                                                              \
      reading,                                                                                     \
      fields.push_back({{"name", #name},                                                           \
                        {"type", typeCode<QUELLINE_SETTING_TYPE_##type>()},                        \
                        {"offset", offsetof(QuellineSettings, name)},                              \
                        {"size", sizeof(QuellineSettings::name)},                                  \
                        {"default", static_cast<QUELLINE_SETTING_TYPE_##type>(fallback)}});)
  QUELLINE_SETTINGS(QUELLINE_FACTS_FIELD)
#undef QUELLINE_FACTS_FIELD
  return fields;
}

json hookRowLayout() {
  return {{"size", sizeof(QuellineHookRow)},
          {"className", offsetof(QuellineHookRow, className)},
          {"onMetaclass", offsetof(QuellineHookRow, onMetaclass)},
          {"selector", offsetof(QuellineHookRow, selector)},
          {"op", offsetof(QuellineHookRow, op)},
          {"targets", offsetof(QuellineHookRow, targets)},
          {"routine", offsetof(QuellineHookRow, routine)},
          {"slot", offsetof(QuellineHookRow, slot)},
          {"types", offsetof(QuellineHookRow, types)},
          {"replace", static_cast<int>(QuellineHookOp::Replace)},
          {"add", static_cast<int>(QuellineHookOp::Add)}};
}

json homeScreen(const std::string& root, hostsim::home::HomeScreen screen) {
  using namespace hostsim::home;
  HomeProcess process(root, hostsim::ClockMode::Virtual, Deliverables{});
  BootOptions options;
  options.vanilla = true;
  options.screen = screen;
  process.boot(options);
  json classes = json::object();
  for (std::string_view host : kOmittableHostClasses) {
    json described = process.inspect(std::string(host));
    while (described.is_object() && !classes.contains(described["class"])) {
      json own = json::array(), classOwn = json::array();
      for (const auto& [selector, types] : described["methods"].items())
        own.push_back(selector);
      for (const auto& [selector, types] : described["classMethods"].items())
        classOwn.push_back(selector);
      classes[described["class"].get<std::string>()] = {
          {"superclass", described["superclass"]}, {"methods", own}, {"classMethods", classOwn}};
      if (described["superclass"].is_null()) break;
      described = process.inspect(described["superclass"].get<std::string>());
    }
  }
  process.shutdown();
  return classes;
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: device-facts ROOT_FOLDER" << std::endl;
    return 2;
  }
  json facts = {
      {"settings", settingsLayout()},
      {"hookRow", hookRowLayout()},
      {"files", {{"preferences", QUELLINE_PREFS_PATH}, {"lockSuffix", PLATFORM_LOCK_SUFFIX}}},
      {"homeScreen", homeScreen(argv[1], hostsim::home::HomeScreen::iOS11)},
      // The home screen of iOS 15 and 16, the version number its
      // CoreFoundation reports and the hook table's target there.
      {"homeScreen16", homeScreen(argv[1], hostsim::home::HomeScreen::iOS16)},
      {"coreFoundation",
       {{"ios11", hostsim::home::coreFoundationVersion(hostsim::home::HomeScreen::iOS11)},
        {"ios16", hostsim::home::coreFoundationVersion(hostsim::home::HomeScreen::iOS16)}}},
      {"hookTargets", {{"ios11", kHookTargetIOS11}, {"ios16", kHookTargetIOS15}}}};
  std::cout << facts.dump(1) << std::endl;
  return 0;
}
