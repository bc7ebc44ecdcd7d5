// CFPreferences through the model of the preferences daemon (see
// cf_preferences.h): the key list and the values are the daemon's copy of the
// domain, which may differ from the file. Only the current user on any host
// is stored, the one combination the device's apps use.
#include "host/sim/services/cf_preferences.h"

#include "host/files/device_paths.h"
#include "host/files/plist_files.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "platform/corefoundation.h"
#include "platform/foundation.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <set>
#include <string>
#include <sys/file.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace hostsim {
namespace {

struct Preferences {
  bool running = false;
  std::string home;
  // Domains this process changed through the daemon: written to their
  // files when it ends, if no one synchronized them before.
  std::set<std::string> changed;
};

Preferences& preferences() {
  static auto* p = new Preferences();
  return *p;
}

// The user and host constants are compared by address only, and must be
// valid from load on, across every boot. They are made class objects (of a
// metaclass of their own) because the runtime exempts class objects from
// reference counting: CFRetain, CFRelease and autorelease leave them alone,
// and no boot or shutdown frees them.
struct ConstantName {
  objc_class meta;
  objc_class object;
  explicit ConstantName(const char* name) {
    meta.name = name;
    meta.isMeta = true;
    meta.registered = true;
    object.isa = &meta;
    object.name = name;
    object.registered = true;
  }
  CFStringRef ref() { return reinterpret_cast<CFStringRef>(&object); }
};

ConstantName currentUser("kCFPreferencesCurrentUser");
ConstantName anyHost("kCFPreferencesAnyHost");

const char* ConstantName_UTF8String(id self, SEL) {
  return reinterpret_cast<Class>(self)->name.c_str();
}
unsigned long ConstantName_length(id self, SEL) {
  return reinterpret_cast<Class>(self)->name.size();
}
BOOL ConstantName_isEqual(id self, SEL, id other) {
  return self == other;
}
id ConstantName_self(id self, SEL) {
  return self;
}
void ConstantName_release(id, SEL) {}

// Lets the constants answer the few string messages one might send them.
void teachConstant(ConstantName& constant) {
  Class meta = &constant.meta;
  addMethod(meta, "UTF8String", ConstantName_UTF8String);
  addMethod(meta, "length", ConstantName_length);
  addMethod(meta, "isEqual:", ConstantName_isEqual);
  addMethod(meta, "isEqualToString:", ConstantName_isEqual);
  addMethod(meta, "retain", ConstantName_self);
  addMethod(meta, "autorelease", ConstantName_self);
  addMethod(meta, "release", ConstantName_release);
}

// The domain stored for this user and host, or "" for none.
std::string storedDomain(CFStringRef domain, CFStringRef user, CFStringRef host) {
  if (!preferences().running) return {};
  if (user != kCFPreferencesCurrentUser || host != kCFPreferencesAnyHost) return {};
  id name = bridge(domain);
  if (!isString(name) || preferencesFilePath(stringOf(name)).empty()) return {};
  return stringOf(name);
}

// --- The daemon's memory, under the device root ---------------------------

constexpr const char* kDaemonFolder = "/var/run/cfprefsd";

std::string memoryPath(std::string_view domain, const char* suffix) {
  return std::string(kDaemonFolder) + "/" + std::string(domain) + suffix;
}

// The daemon serves one request at a time: a request holds the domain's
// lock from its first read of the daemon's memory to its last write.
class Turn {
public:
  explicit Turn(std::string_view domain) {
    std::error_code ignored;
    std::filesystem::create_directories(hostPath(kDaemonFolder), ignored);
    fd_ = ::open(hostPath(memoryPath(domain, ".lock")).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ >= 0)
      while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
  }
  ~Turn() {
    if (fd_ >= 0) ::close(fd_);
  }
  Turn(const Turn&) = delete;
  Turn& operator=(const Turn&) = delete;

private:
  int fd_ = -1;
};

void remember(std::string_view domain, id values) {
  std::string xml;
  if (!encodePropertyList(values, xml)) return;
  const auto* bytes = reinterpret_cast<const uint8_t*>(xml.data());
  (void)prefsfile::writeFileAtomically(hostPath(memoryPath(domain, ".plist")),
                                       std::span<const uint8_t>(bytes, xml.size()));
}

// The daemon's copy (mutable), read from the file on first use. Inside a Turn.
Strong recalled(std::string_view domain) {
  Strong kept = readDictionaryFile(memoryPath(domain, ".plist"), true);
  if (kept) return kept;
  Strong read = readDictionaryFile(preferencesFilePath(domain), true);
  if (!read) read = newDictionary({}, true);
  remember(domain, read.get());
  return read;
}

bool pending(std::string_view domain) {
  std::error_code ignored;
  return std::filesystem::exists(hostPath(memoryPath(domain, ".pending")), ignored);
}

bool writeBack(std::string_view domain) {
  Turn turn(domain);
  if (!pending(domain)) return true;
  Strong values = recalled(domain);
  if (!writePropertyListFile(values.get(), preferencesFilePath(domain), true)) return false;
  std::error_code ignored;
  std::filesystem::remove(hostPath(memoryPath(domain, ".pending")), ignored);
  return true;
}

// A new reference, owned by the caller (the "Copy" rule).
CFTypeRef owned(Strong s) {
  return objc_retain(s.get());
}

} // namespace

void registerPreferences(std::string home) {
  teachConstant(currentUser);
  teachConstant(anyHost);
  preferences() = {true, std::move(home), {}};
}

void resetPreferences() {
  if (preferences().running)
    for (const std::string& domain : preferences().changed)
      writeBack(domain);
  preferences() = {};
}

void startPreferencesDaemon(const std::filesystem::path& root) {
  std::error_code ignored;
  std::filesystem::remove_all(prefsfile::hostPathUnder(root, kDaemonFolder), ignored);
}

Strong preferencesDaemonCopy(std::string_view domain) {
  if (!preferences().running || preferencesFilePath(domain).empty()) return {};
  Turn turn(domain);
  return recalled(domain);
}

bool preferencesDaemonSet(std::string_view domain, const std::string& key, id value) {
  if (!preferences().running || preferencesFilePath(domain).empty()) return false;
  Turn turn(domain);
  Strong values = recalled(domain);
  Strong name = newString(key);
  if (value != nullptr)
    platform::NSMutableDictionary::setObject_forKey(values.get(), value, name.get());
  else
    state<DictionaryState>(values.get()).entries.erase(key);
  remember(domain, values.get());
  (void)prefsfile::writeFileAtomically(hostPath(memoryPath(domain, ".pending")),
                                       std::span<const uint8_t>{});
  preferences().changed.insert(std::string(domain));
  return true;
}

bool preferencesDaemonSynchronize(std::string_view domain) {
  if (!preferences().running || preferencesFilePath(domain).empty()) return false;
  return writeBack(domain);
}

} // namespace hostsim

extern "C" {

const CFStringRef kCFPreferencesCurrentUser = hostsim::currentUser.ref();
const CFStringRef kCFPreferencesAnyHost = hostsim::anyHost.ref();

id NSHomeDirectory(void) {
  using namespace hostsim;
  if (!preferences().running) return nullptr;
  // Autoreleased: the caller owns no reference.
  Strong home = newString(preferences().home);
  return objc_autorelease(objc_retain(home.get()));
}

// The daemon writes a change it holds to the file; it does not read the
// file again (a write of the file behind its back stays unseen). False for
// a domain that cannot name a preference file, or when the write failed.
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
  using namespace hostsim;
  id name = bridge(applicationID);
  return isString(name) && preferencesDaemonSynchronize(stringOf(name));
}

// The keys of the daemon's copy of the domain, sorted; NULL when it holds
// none (the file was missing, no dictionary or empty when the daemon read
// it), and for any user and host but the current user on any host.
CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName,
                                    CFStringRef hostName) {
  using namespace hostsim;
  std::string domain = storedDomain(applicationID, userName, hostName);
  if (domain.empty()) return nullptr;
  Strong values = preferencesDaemonCopy(domain);
  if (!values) return nullptr;
  const auto& entries = state<DictionaryState>(values.get()).entries;
  if (entries.empty()) return nullptr;
  std::vector<Strong> keys;
  keys.reserve(entries.size());
  for (const auto& entry : entries)
    keys.push_back(newString(entry.first));
  return static_cast<CFArrayRef>(owned(newArray(std::move(keys))));
}

// The values of the listed keys in the daemon's copy of the domain, as a new
// dictionary (empty when it holds none of them); with
// NULL for keys, every value of the file, as CoreFoundation does. Keys that
// are no strings are skipped. NULL when keys is no array, and for any user
// and host but the current user on any host.
CFDictionaryRef CFPreferencesCopyMultiple(CFArrayRef keysToFetch, CFStringRef applicationID,
                                          CFStringRef userName, CFStringRef hostName) {
  using namespace hostsim;
  std::string domain = storedDomain(applicationID, userName, hostName);
  if (domain.empty()) return nullptr;
  id keys = bridge(keysToFetch);
  if (keys != nullptr && !isArray(keys)) return nullptr;
  Strong values = preferencesDaemonCopy(domain);
  std::map<std::string, Strong> stored;
  if (values) stored = std::move(state<DictionaryState>(values.get()).entries);
  if (keys == nullptr)
    return static_cast<CFDictionaryRef>(owned(newDictionary(std::move(stored), false)));
  std::map<std::string, Strong> fetched;
  for (const Strong& key : state<ArrayState>(keys).items) {
    if (!isString(key.get())) continue;
    auto it = stored.find(stringOf(key.get()));
    if (it != stored.end()) fetched.insert(*it);
  }
  return static_cast<CFDictionaryRef>(owned(newDictionary(std::move(fetched), false)));
}

} // extern "C"
