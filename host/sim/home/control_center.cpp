#include "host/sim/home/control_center.h"

#include "host/sim/package_install.h"
#include "host/sim/services/devices.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "host/sim/services/trace.h"
#include "platform/uikit.h"

#include <algorithm>
#include <dlfcn.h>
#include <stdexcept>

namespace hostsim::home {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBundlesFolder = "/Library/ControlCenter/Bundles";
std::string infoString(id info, const char* key) {
  return stringOf(platform::NSDictionary::objectForKey(info, newString(key).get()));
}

} // namespace

void ControlCenter::install(const fs::path& builtBundle) {
  installBuilt(builtBundle, kBundlesFolder);
}

void ControlCenter::start(bool lazy) {
  std::error_code ec;
  std::filesystem::path folder = hostPath(kBundlesFolder);
  if (!std::filesystem::is_directory(folder, ec)) return;
  std::vector<std::filesystem::path> bundles;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
    if (entry.path().extension() == ".bundle") bundles.push_back(entry.path());
  std::sort(bundles.begin(), bundles.end());
  for (const auto& bundle : bundles) {
    std::string devicePath = std::string(kBundlesFolder) + "/" + bundle.filename().string();
    Strong info = readDictionaryFile(devicePath + "/Info.plist", false);
    if (!info) continue;
    std::string executable = infoString(info.get(), "CFBundleExecutable");
    std::string principal = infoString(info.get(), "NSPrincipalClass");
    if (executable.empty() || principal.empty() || executable.find('/') != std::string::npos)
      continue;
    void* handle = dlopen((bundle / executable).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      trace::emit("bundle-error", {{"bundle", devicePath}, {"error", dlerror()}});
      continue;
    }
    handles_.push_back(handle);
    Class cls = objc_getClass(principal.c_str());
    if (cls == nullptr || module_) continue;
    module_ = Strong::adopt(send<id>(send<id>(as_id(cls), "alloc"), "init"));
  }
  if (module_ && !lazy) send<BOOL>(module_.get(), "isSelected");
}

void ControlCenter::setSelected(bool on) {
  send<void>(module_.get(), "setSelected:", static_cast<BOOL>(on));
}

void ControlCenter::open() {
  if (!module_) return;
  send<BOOL>(module_.get(), "isSelected");
  id glyph = send<id>(module_.get(), "iconGlyph");
  glyph_ = glyph ? nlohmann::json{{"name", imageName(glyph)}, {"bundle", imageBundlePath(glyph)}}
                 : nlohmann::json(nullptr);
  id color = send<id>(module_.get(), "selectedColor");
  if (color != nullptr) {
    auto rgba = colorComponents(color);
    color_ = nlohmann::json{rgba[0], rgba[1], rgba[2], rgba[3]};
  } else {
    color_ = nullptr;
  }
}

void ControlCenter::stop() {
  module_ = Strong();
}

void ControlCenter::close() {
  for (void* handle : handles_)
    dlclose(handle);
  handles_.clear();
  glyph_ = nullptr;
  color_ = nullptr;
}

nlohmann::json ControlCenter::dump() const {
  nlohmann::json selected = nullptr;
  if (module_) {
    Ivar ivar = class_getInstanceVariable(object_getClass(module_.get()), "_selected");
    if (ivar != nullptr)
      selected = *reinterpret_cast<const bool*>(reinterpret_cast<const char*>(module_.get()) +
                                                ivar_getOffset(ivar));
  }
  return {{"selected", selected}, {"glyph", glyph_}, {"color", color_}};
}

} // namespace hostsim::home
