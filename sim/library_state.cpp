#include "sim/library_state.h"

#include "core/hook_table.h"
#include "host/files/plist_files.h"
#include "host/sim/platform_boot.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/notification_center.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/timers.h"
#include "host/sim/services/wall_clock.h"
#include "platform/uikit.h"
#include "prefs/events.h"
#include "prefs/flags.h"
#include "prefs/settings.h"

#include <string>
#include <utility>

namespace quelline::sim {
namespace {

using json = nlohmann::json;
using hostsim::home::HomeProcess;

template <class T> T* symbol(const HomeProcess& process, const char* name) {
  return static_cast<T*>(process.librarySymbol(name));
}

json settingsJson(const QuellineSettings* s) {
  if (s == nullptr) return nullptr;
  json out = json::object();
#define QUELLINE_DUMP_SETTING(name, type, fallback, minimum, maximum, reading, pane, label, text)  \
  QUELLINE_IF_CACHED(reading, out[#name] = s->name;)
  QUELLINE_SETTINGS(QUELLINE_DUMP_SETTING)
#undef QUELLINE_DUMP_SETTING
  return out;
}

json flagsJson(const QuellineSharedFlags* f) {
  if (f == nullptr) return nullptr;
  return {{"notificationsHidden", f->notificationsHidden},
          {"iconsHiddenBySwitch", f->iconsHiddenBySwitch},
          {"bannersHidden", f->bannersHidden},
          {"toggleHasControlCached", f->toggleHasControlCached},
          {"pullDownSearchVisible", f->pullDownSearchVisible},
          {"onTodayPage", f->onTodayPage},
          {"iconsFaded", f->iconsFaded},
          {"ringerMuted", f->ringerMuted},
          {"quietHoursHold", f->quietHoursHold}};
}

json hooksJson(const HomeProcess& process) {
  json hooks = json::array();
  const auto* rows = symbol<const QuellineHookRow>(process, "QuellineHookTable");
  const auto* count = symbol<const uint32_t>(process, "QuellineHookTableSize");
  const auto* target = symbol<const uint8_t>(process, "QuellineHookTableTarget");
  if (rows == nullptr || count == nullptr || target == nullptr) return hooks;
  // The rows of the system the library found itself on. Found: the class is
  // there and, for a replacement, it answers the selector.
  for (uint32_t i = 0; i < *count; ++i) {
    const QuellineHookRow& row = rows[i];
    if ((row.targets & *target) == 0) continue;
    const bool replace = row.op == QuellineHookOp::Replace;
    Class cls = objc_getClass(row.className);
    if (cls != nullptr && row.onMetaclass) cls = object_getClass(reinterpret_cast<id>(cls));
    const bool found =
        cls != nullptr &&
        (!replace || class_getInstanceMethod(cls, sel_registerName(row.selector)) != nullptr);
    hooks.push_back({{"class", row.className},
                     {"selector", row.selector},
                     {"op", replace ? "replace" : "add"},
                     {"meta", row.onMetaclass},
                     {"types", replace ? json(nullptr) : json(row.types)},
                     {"found", found}});
  }
  return hooks;
}

// The object that the exported reference `name` holds, or nil.
id heldObject(const HomeProcess& process, const char* name) {
  id* reference = symbol<id>(process, name);
  return reference != nullptr ? *reference : nullptr;
}

} // namespace

bool quietHoursHold(const hostsim::home::HomeProcess& process) {
  const auto* flags = symbol<const QuellineSharedFlags>(process, "SharedFlags");
  return flags != nullptr && flags->quietHoursHold;
}

void addLibraryState(const HomeProcess& process, json& state, HomeProcess::Detail detail) {
  state["settings"] = settingsJson(symbol<const QuellineSettings>(process, "Settings"));
  state["flags"] = flagsJson(symbol<const QuellineSharedFlags>(process, "SharedFlags"));
  // The file on disk, booted or not: what a scenario prepared before boot
  // is there to be looked at.
  state["file"] = prefsfile::dictionaryFileJson(
      process.root() / std::filesystem::path(QUELLINE_PREFS_PATH).relative_path());
  if (!process.booted()) return;
  hostsim::withPool([&] {
    id timer = heldObject(process, "timer");
    state["timer"] = {
        {"held", timer != nullptr},
        {"live", timer != nullptr && platform::NSTimer::isValid(timer)},
        {"fireAt", timer != nullptr ? json(hostsim::timerFireTime(timer)) : json(nullptr)}};
    const auto* boundary = symbol<const int64_t>(process, "quietHoursBoundary");
    const auto* flags = symbol<const QuellineSharedFlags>(process, "SharedFlags");
    state["quietHours"] = {
        {"hold", flags != nullptr ? json(flags->quietHoursHold) : json(nullptr)},
        {"nextBoundary",
         boundary != nullptr && *boundary != 0
             ? json(hostsim::localTimeText(static_cast<double>(*boundary), hostsim::timeZone()))
             : json(nullptr)}};
    // The toggle's period: the end that the library's timer waits for.
    const auto* periodEnd = symbol<const int64_t>(process, "togglePeriodEnd");
    state["togglePeriod"] = {
        {"end",
         periodEnd != nullptr && *periodEnd != 0
             ? json(hostsim::localTimeText(static_cast<double>(*periodEnd), hostsim::timeZone()))
             : json(nullptr)}};
    id tap = heldObject(process, "tapRecognizer");
    state["tapRecognizer"] = {
        {"taps", tap != nullptr ? json(platform::UITapGestureRecognizer::numberOfTapsRequired(tap))
                                : json(nullptr)}};
    if (detail == HomeProcess::Detail::Perceived) return;

    json registrations = json::object();
    json posts = json::object();
    for (const char* suffix : {
#define QUELLINE_EVENT_SUFFIX(name) #name,
             QUELLINE_EVENTS(QUELLINE_EVENT_SUFFIX)
#undef QUELLINE_EVENT_SUFFIX
         }) {
      const std::string name = std::string(QUELLINE_EVENT_PREFIX) + suffix;
      registrations[suffix] = hostsim::liveRegistrations(name);
      posts[suffix] = hostsim::postCount(name);
    }
    state["registrations"] = registrations;
    state["posts"] = posts;
    state["hooks"] = hooksJson(process);
  });
}

void releaseLibraryHoldingsAtEnd(HomeProcess& process) {
  process.atEnd([&process] {
    for (const char* name : {"timer", "tapRecognizer"})
      if (id* reference = symbol<id>(process, name))
        objc_release(std::exchange(*reference, nullptr));
  });
}

} // namespace quelline::sim
