// The host's own classes of the modeled home-screen process, each with a
// host implementation that does what the device would and records what a
// user would see or hear.
#pragma once

#include "host/sim/runtime/runtime.h"
#include "host/sim/services/recent_log.h"

#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

namespace hostsim::home {

// What the host showed and played (the logs keep their recent entries and
// their totals), and how often the host implementation of each replaced
// method ran.
struct HostRecord {
  bool ringerMuted = false; // the ring/silent switch, as the host knows it
  hostsim::RecentLog hud;
  int displayWakes = 0;
  hostsim::RecentLog sounds;
  int bannersShown = 0;
  int bannersHidden = 0;
  hostsim::RecentLog realerts;
  hostsim::RecentLog snapshots;
  nlohmann::json hostCalls = nlohmann::json::object(); // {CLASS: {SELECTOR: runs}}
  int redraws = 0;                                     // Control Center redrew the toggle
  bool todayAnswer = false;
  bool searchAnswer = false;
};

// Set while a process is booted.
HostRecord& record();

// The home screen a boot models. iOS 11 stands for iOS 11 and 12, iOS 16 for
// iOS 15 and 16: the classes and selectors that changed between the two are
// each generation's own, and the other's are absent.
enum class HomeScreen { iOS11, iOS16 };

// The value of kCFCoreFoundationVersionNumber on each: iOS 11.0's and
// iOS 16.0's.
double coreFoundationVersion(HomeScreen screen);

// The objects applicationDidFinishLaunching: builds, as the process holds
// them (null when their class is absent).
struct HostObjects {
  Strong springBoard;
  Strong listController;
  Strong rootFolderView;
  Strong rootFolderController; // iOS 16: the root folder view's controller
  Strong homeScreenView;
  // The ring/silent switch's owner: SBMediaController on iOS 11, the
  // SBRingerControl on iOS 16 (which also shows the ringer display).
  Strong ringer;
  Strong soundController;
  Strong pageView;
  std::map<std::string, Strong> applications; // by bundle identifier
  // Short-look controllers of the banners on screen, until each banner's
  // display time is over and the host lets go of it.
  std::map<uint64_t, Strong> banners;
  uint64_t nextBanner = 0;
  // Control Center starting, the last step of finishing the launch.
  std::function<void()> startControlCenter;
  HomeScreen screen = HomeScreen::iOS11;
};
HostObjects& objects();

// The host classes that a boot may leave out (boot --without), in the order
// they are defined; a class of iOS 16 beside the one it replaced.
inline constexpr std::string_view kOmittableHostClasses[] = {
    "SpringBoard",
    "SBMediaController",
    "SBRingerControl",
    "SBRingerHUDController",
    "NCNotificationCombinedListViewController",
    "NCNotificationStructuredListViewController",
    "NCNotificationShortLookViewController",
    "NCNotificationSound",
    "SBNCSoundController",
    "NCNotificationOptions",
    "SBAppSwitcherPageView",
    "SBApplication",
    "SBHomeScreenView",
    "SBRootFolderController",
    "SBRootFolderView",
    "CCUIToggleModule",
};

// Whether `name` is one of kOmittableHostClasses.
bool isOmittableHostClass(std::string_view name);

// Defines every host class of `screen` except those named in `without`,
// then starts a fresh record.
void defineHostClasses(const std::set<std::string>& without, HomeScreen screen);
// Drops the record and the objects (the process ends).
void resetHostClasses();

// The host lays out the dock of `rootFolderView` (on iOS 16 with its own
// metrics, which must come back unchanged).
void layOutDock(id rootFolderView);

// An application object for a bundle identifier (made on first use; nil
// when SBApplication is absent).
id applicationFor(const std::string& bundleIdentifier);

// A new notification request from `app` whose sound object carries `sound`.
Strong newRequest(const std::string& app, id soundObject);

// The sound a request's sound object carries (nil for none).
id requestSound(id request);

} // namespace hostsim::home
