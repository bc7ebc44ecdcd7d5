// The bundle that holds an image: dladdr(3), then the folder of the file.
#include "platform/foundation.h"

namespace {

// <dlfcn.h>'s Dl_info.
struct ImageInfo {
  const char* dli_fname;
  void* dli_fbase;
  const char* dli_sname;
  void* dli_saddr;
};

} // namespace

extern "C" int dladdr(const void* address, ImageInfo* info);

extern "C" id platform_bundleForAddress(const void* address) {
  using namespace platform;
  ImageInfo info{};
  if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) return nil;
  id file = NSString::stringWithUTF8String(info.dli_fname);
  id folder = msgSend<id>(file, sel("stringByDeletingLastPathComponent"));
  return msgSend<id>(cls("NSBundle"), sel("bundleWithPath:"), folder);
}
