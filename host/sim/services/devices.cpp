#include "host/sim/services/devices.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/recent_log.h"
#include "host/sim/services/root_folder.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/trace.h"
#include "platform/audiotoolbox.h"
#include "platform/corefoundation.h"

#include <dlfcn.h>
#include <filesystem>
#include <map>

namespace hostsim {
namespace {

struct DeviceServices {
  std::string model = "iPhone";
  std::optional<long> feedbackLevel = 2;
  RecentLog log;
  Strong device;
  Strong application;
  Weak frontmost;
  std::map<std::string, Strong> bundles; // by device path
  std::string mainBundle = "/System/Library/CoreServices/SpringBoard.app";
};

DeviceServices*& services() {
  static DeviceServices* s = nullptr;
  return s;
}

void record(const char* kind, long identifier, std::optional<bool> prepared = std::nullopt) {
  // Field by field: a list of pairs is copied once more into each value.
  nlohmann::json entry = nlohmann::json::object();
  trace::Event event = trace::Event::object();
  entry["t"] = mainRunLoop().now();
  entry["kind"] = kind;
  entry["id"] = identifier;
  event["kind"] = kind;
  event["id"] = identifier;
  if (prepared) {
    entry["prepared"] = *prepared;
    event["prepared"] = *prepared;
  }
  services()->log.add(std::move(entry));
  trace::emit("feedback", std::move(event));
}

// --- UIDevice -------------------------------------------------------------

id UIDevice_currentDevice(id, SEL) {
  return services()->device.get();
}
id UIDevice_model(id, SEL) {
  return autoreleased(newString(services()->model));
}
// Read through key-value coding as "_feedbackSupportLevel": a number, or nil.
id UIDevice_feedbackSupportLevel(id, SEL) {
  const auto& level = services()->feedbackLevel;
  return level ? autoreleased(newInteger(*level)) : nullptr;
}

// --- UINotificationFeedbackGenerator --------------------------------------

struct GeneratorState {
  inline static Class cls = nullptr;
  bool prepared = false;
};

void Generator_prepare(id self, SEL) {
  state<GeneratorState>(self).prepared = true;
}
void Generator_notificationOccurred(id self, SEL, long type) {
  record("haptic", type, state<GeneratorState>(self).prepared);
}

// --- UIApplication --------------------------------------------------------

id UIApplication_sharedApplication(id, SEL) {
  return services()->application.get();
}
id UIApplication_frontMost(id, SEL) {
  Strong app = services()->frontmost.lock();
  return app ? autoreleased(app) : nullptr;
}

// --- NSBundle, UIImage, UIColor -------------------------------------------

struct BundleState {
  inline static Class cls = nullptr;
  std::string path; // device path
};

struct ImageState {
  inline static Class cls = nullptr;
  std::string name;
  std::string bundlePath;
};

struct ColorState {
  inline static Class cls = nullptr;
  std::array<double, 4> rgba{};
};

id bundleAt(const std::string& devicePath) {
  auto& slot = services()->bundles[devicePath];
  if (!slot) {
    slot = Strong::adopt(class_createInstance(BundleState::cls, 0));
    state<BundleState>(slot.get()).path = devicePath;
  }
  return slot.get();
}

// Every class of this process is made at run time, and no image holds such
// a class: the answer is the main bundle, as on the device.
id NSBundle_bundleForClass(id, SEL, Class) {
  return bundleAt(services()->mainBundle);
}
id NSBundle_mainBundle(id, SEL) {
  return bundleAt(services()->mainBundle);
}
id NSBundle_bundlePath(id self, SEL) {
  return autoreleased(newString(state<BundleState>(self).path));
}

// An image resource NAME of a bundle: NAME, NAME.png, NAME@2x.png or
// NAME@3x.png in the bundle's folder.
id UIImage_imageNamed(id, SEL, id name, id bundle, id) {
  std::string text = stringOf(name);
  if (text.empty() || text.find('/') != std::string::npos) return nullptr;
  std::string folder = bundle ? state<BundleState>(bundle).path : services()->mainBundle;
  for (const char* suffix : {"", ".png", "@2x.png", "@3x.png"}) {
    std::error_code ec;
    std::filesystem::path file = hostPath(folder) / (text + suffix);
    if (!hostPath(folder).empty() && std::filesystem::is_regular_file(file, ec)) {
      Strong image = Strong::adopt(class_createInstance(ImageState::cls, 0));
      state<ImageState>(image.get()) = {text, folder};
      return autoreleased(image);
    }
  }
  return nullptr;
}

id UIColor_colorWithRGBA(id, SEL, double r, double g, double b, double a) {
  Strong color = Strong::adopt(class_createInstance(ColorState::cls, 0));
  state<ColorState>(color.get()).rgba = {r, g, b, a};
  return autoreleased(color);
}

} // namespace

void registerDeviceServices() {
  services() = new DeviceServices();
  Class object = objc_getClass("NSObject");

  Class device = defineClass("UIDevice", object);
  addClassMethod(device, "currentDevice", UIDevice_currentDevice);
  addMethod(device, "model", UIDevice_model);
  addMethod(device, "_feedbackSupportLevel", UIDevice_feedbackSupportLevel);
  services()->device = Strong::adopt(class_createInstance(device, 0));

  Class feedback = defineClass("UIFeedbackGenerator", object);
  Class notification = defineClass<GeneratorState>("UINotificationFeedbackGenerator", feedback);
  addMethod(notification, "prepare", Generator_prepare);
  addMethod(notification, "notificationOccurred:", Generator_notificationOccurred);

  Class responder = objc_getClass("UIResponder");
  Class application = defineClass("UIApplication", responder ? responder : object);
  addClassMethod(application, "sharedApplication", UIApplication_sharedApplication);
  addMethod(application, "_accessibilityFrontMostApplication", UIApplication_frontMost);
  services()->application = Strong::adopt(class_createInstance(application, 0));

  Class bundle = defineClass<BundleState>("NSBundle", object);
  addClassMethod(bundle, "bundleForClass:", NSBundle_bundleForClass);
  addClassMethod(bundle, "mainBundle", NSBundle_mainBundle);
  addMethod(bundle, "bundlePath", NSBundle_bundlePath);

  Class image = defineClass<ImageState>("UIImage", object);
  addClassMethod(image, "imageNamed:inBundle:compatibleWithTraitCollection:", UIImage_imageNamed);

  Class color = defineClass<ColorState>("UIColor", object);
  addClassMethod(color, "colorWithRed:green:blue:alpha:", UIColor_colorWithRGBA);
}

void resetDeviceServices() {
  delete services();
  services() = nullptr;
}

void setMainBundlePath(std::string devicePath) {
  services()->mainBundle = std::move(devicePath);
}
void setDeviceModel(std::string model) {
  services()->model = std::move(model);
}
void setFeedbackSupportLevel(std::optional<long> level) {
  services()->feedbackLevel = level;
}
nlohmann::json feedbackLog() {
  return services()->log.dump();
}
void setFrontmostApplication(id application) {
  services()->frontmost = Weak(application);
}
std::array<double, 4> colorComponents(id color) {
  return state<ColorState>(color).rgba;
}
std::string imageName(id image) {
  return state<ImageState>(image).name;
}
std::string imageBundlePath(id image) {
  return state<ImageState>(image).bundlePath;
}
std::string bundlePath(id bundle) {
  return state<BundleState>(bundle).path;
}

void setCoreFoundationVersion(double version) {
  kCFCoreFoundationVersionNumber = version;
}

} // namespace hostsim

extern "C" {
double kCFCoreFoundationVersionNumber = 0;
}

extern "C" {
void AudioServicesPlaySystemSound(SystemSoundID inSystemSoundID) {
  hostsim::record("system", static_cast<long>(inSystemSoundID));
}
void AudioServicesPlayAlertSound(SystemSoundID inSystemSoundID) {
  hostsim::record("alert", static_cast<long>(inSystemSoundID));
}
}

extern "C" id platform_bundleForAddress(const void* address) {
  Dl_info info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr)
    return nullptr;
  // The folder of the image, as the device sees it: a path under the root.
  std::filesystem::path folder = std::filesystem::path(info.dli_fname).parent_path();
  std::error_code ec;
  std::filesystem::path root = std::filesystem::canonical(hostsim::deviceRoot(), ec);
  std::filesystem::path canonicalFolder = std::filesystem::weakly_canonical(folder, ec);
  std::filesystem::path relative = canonicalFolder.lexically_relative(root);
  if (ec || relative.empty() || *relative.begin() == "..") return nullptr;
  return hostsim::bundleAt((std::filesystem::path("/") / relative).string());
}
