#include "host/sim/home/control_center.h"

#include "host/files/plist_files.h"
#include "host/sim/services/devices.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "host/sim/services/trace.h"
#include "platform/uikit.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdexcept>

namespace hostsim::home {
namespace {

namespace fs = std::filesystem;

constexpr const char* kBundlesFolder = "/Library/ControlCenter/Bundles";
// A bundle holds its executable and a few resources.
constexpr size_t kMaxBundleFileBytes = size_t{256} << 20;

// Whether folder `b` holds the same files as folder `a`, byte for byte.
bool sameFiles(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (!fs::is_directory(b, ec)) return false;
  size_t entries = 0;
  for (auto it = fs::recursive_directory_iterator(a, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    ++entries;
    const fs::path other = b / fs::relative(it->path(), a, ec);
    if (it->is_directory(ec)) {
      if (!fs::is_directory(other, ec)) return false;
      continue;
    }
    std::vector<uint8_t> mine;
    std::vector<uint8_t> theirs;
    if (prefsfile::readRegularFile(it->path(), kMaxBundleFileBytes, mine) ||
        prefsfile::readRegularFile(other, kMaxBundleFileBytes, theirs) || mine != theirs)
      return false;
  }
  if (ec) return false;
  size_t theirs = 0;
  for (auto it = fs::recursive_directory_iterator(b, ec); !ec && it != fs::end(it);
       it.increment(ec))
    ++theirs;
  return !ec && theirs == entries;
}

std::string infoString(id info, const char* key) {
  return stringOf(platform::NSDictionary::objectForKey(info, newString(key).get()));
}

} // namespace

void ControlCenter::install(const fs::path& builtBundle) {
  std::error_code ec;
  if (builtBundle.empty() || !fs::is_directory(builtBundle, ec)) return;
  const fs::path target = hostPath(kBundlesFolder) / builtBundle.filename();
  fs::create_directories(target.parent_path());
  // Processes of one root boot at the same time: the bundle is copied
  // beside its place and renamed into it, so that every process sees a
  // whole bundle, the old or the new, never a half-copied or missing one.
  if (sameFiles(builtBundle, target)) return;
  std::string staging =
      (target.parent_path() / ("." + target.filename().string() + ".XXXXXX")).string();
  if (::mkdtemp(staging.data()) == nullptr)
    throw std::runtime_error("cannot install " + builtBundle.filename().string() +
                             ": cannot make a folder in " + target.parent_path().string() + ": " +
                             std::strerror(errno));
  auto discard = [&] { fs::remove_all(staging, ec); };
  fs::copy(builtBundle, staging, fs::copy_options::recursive, ec);
  if (ec) {
    discard();
    throw std::runtime_error("cannot install " + builtBundle.filename().string() + " in " +
                             staging + ": " + ec.message());
  }
  if (::rename(staging.c_str(), target.c_str()) == 0) return;
  // There is a bundle in place: the same one, put there meanwhile by
  // another process, stays; another one is swapped with ours at once.
  if (sameFiles(builtBundle, target) ||
      ::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0) {
    discard();
    return;
  }
  const int error = errno;
  discard();
  throw std::runtime_error("cannot install " + builtBundle.filename().string() + " as " +
                           target.string() + ": " + std::strerror(error));
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
