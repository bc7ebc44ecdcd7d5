// CFPreferences over the files themselves: every call reads
// /var/mobile/Library/Preferences/<domain>.plist afresh through the hardened
// reader, so key lists, values and the file always agree (there is no cache
// to go stale, and synchronizing has nothing to do). Only the current user
// on any host is stored, the one combination the device's apps use.
#include "host/sim/services/cf_preferences.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "platform/corefoundation.h"
#include "platform/foundation.h"

#include <map>
#include <string>
#include <vector>

namespace hostsim {
namespace {

struct Preferences {
  bool running = false;
  std::string home;
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

// The preference file of a domain stored for this user and host, or "".
std::string storedFile(CFStringRef domain, CFStringRef user, CFStringRef host) {
  if (!preferences().running) return {};
  if (user != kCFPreferencesCurrentUser || host != kCFPreferencesAnyHost) return {};
  id name = bridge(domain);
  if (!isString(name)) return {};
  return preferencesFilePath(stringOf(name));
}

// A new reference, owned by the caller (the "Copy" rule).
CFTypeRef owned(Strong s) {
  return objc_retain(s.get());
}

} // namespace

void registerPreferences(std::string home) {
  teachConstant(currentUser);
  teachConstant(anyHost);
  preferences() = {true, std::move(home)};
}

void resetPreferences() {
  preferences() = {};
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

// The file is the store: there is nothing to write back or to reload. False
// only for a domain that cannot name a preference file.
Boolean CFPreferencesAppSynchronize(CFStringRef applicationID) {
  using namespace hostsim;
  id name = bridge(applicationID);
  return preferences().running && isString(name) && !preferencesFilePath(stringOf(name)).empty();
}

// The keys of the domain's file, sorted; NULL when the file is missing, no
// dictionary or empty, and for any user and host but the current user on
// any host.
CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName,
                                    CFStringRef hostName) {
  using namespace hostsim;
  std::string file = storedFile(applicationID, userName, hostName);
  if (file.empty()) return nullptr;
  Strong values = readDictionaryFile(file, false);
  if (!values) return nullptr;
  const auto& entries = state<DictionaryState>(values.get()).entries;
  if (entries.empty()) return nullptr;
  std::vector<Strong> keys;
  keys.reserve(entries.size());
  for (const auto& entry : entries)
    keys.push_back(newString(entry.first));
  return static_cast<CFArrayRef>(owned(newArray(std::move(keys))));
}

// The values of the listed keys that the domain's file holds, as a new
// dictionary (empty when it holds none of them, or there is no file); with
// NULL for keys, every value of the file, as CoreFoundation does. Keys that
// are no strings are skipped. NULL when keys is no array, and for any user
// and host but the current user on any host.
CFDictionaryRef CFPreferencesCopyMultiple(CFArrayRef keysToFetch, CFStringRef applicationID,
                                          CFStringRef userName, CFStringRef hostName) {
  using namespace hostsim;
  std::string file = storedFile(applicationID, userName, hostName);
  if (file.empty()) return nullptr;
  id keys = bridge(keysToFetch);
  if (keys != nullptr && !isArray(keys)) return nullptr;
  Strong values = readDictionaryFile(file, false);
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
