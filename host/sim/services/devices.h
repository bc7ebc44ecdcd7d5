// The device, sound and haptic services, the application, bundles, images
// and colours. The sound and haptic services record what they played, with
// the time, and emit it as "feedback" trace events.
#pragma once

#include "host/sim/runtime/runtime.h"

#include <array>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace hostsim {

void registerDeviceServices();
void resetDeviceServices();

// What UIDevice reports: `model`, and `_feedbackSupportLevel` (none: nil).
void setDeviceModel(std::string model);
// The device path of the process's main bundle (+[NSBundle mainBundle], and
// bundleForClass: of every class made at run time); the home screen's
// SpringBoard.app unless the process says otherwise.
void setMainBundlePath(std::string devicePath);
void setFeedbackSupportLevel(std::optional<long> level);
// CoreFoundation's version number, which tells the system's release
// (kCFCoreFoundationVersionNumber).
void setCoreFoundationVersion(double version);

// What was played, as a RecentLog dumps it (recent_log.h): {"t","kind":
// "haptic","id":TYPE,"prepared":BOOL} for a feedback generator, {"t","kind":
// "system"|"alert","id":SOUND} for system and alert sounds.
nlohmann::json feedbackLog();

// The application in front (nil: the home screen).
void setFrontmostApplication(id application);

// A colour's red, green, blue and alpha.
std::array<double, 4> colorComponents(id color);

// An image's name and the device path of the bundle it came from.
std::string imageName(id image);
std::string imageBundlePath(id image);

// The device path of a bundle.
std::string bundlePath(id bundle);

} // namespace hostsim
