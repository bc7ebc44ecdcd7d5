// CFPreferences through the device's preferences daemon: the key list and
// the values are its copy of the domain, copies belong to the caller, and
// only the current user on any host is stored. NSHomeDirectory() comes from
// the boot.
#include "tests/unit/platform_fixture.h"

#include "host/sim/services/cf_preferences.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "platform/foundation.h"

#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>

using hostsim::Strong;
using nlohmann::json;

namespace {

constexpr const char* kFile = "/var/mobile/Library/Preferences/com.example.quiet.plist";

class PreferencesTest : public PlatformTest {
protected:
  void store(std::map<std::string, Strong> values) {
    ASSERT_TRUE(hostsim::writePropertyListFile(
        hostsim::newDictionary(std::move(values), false).get(), kFile, true));
  }
  void put(const std::string& bytes) {
    std::ofstream(hostsim::hostPath(kFile), std::ios::binary | std::ios::trunc) << bytes;
  }

  // The copies as JSON (null for NULL), released as their owner must.
  json keyList(CFStringRef domain = CFSTR("com.example.quiet"),
               CFStringRef user = kCFPreferencesCurrentUser,
               CFStringRef host = kCFPreferencesAnyHost) {
    return owned(CFPreferencesCopyKeyList(domain, user, host));
  }
  json values(CFArrayRef keys, CFStringRef domain = CFSTR("com.example.quiet"),
              CFStringRef user = kCFPreferencesCurrentUser,
              CFStringRef host = kCFPreferencesAnyHost) {
    return owned(CFPreferencesCopyMultiple(keys, domain, user, host));
  }
  json owned(CFTypeRef copy) {
    if (copy == nullptr) return nullptr;
    EXPECT_EQ(hostsim::retainCount(bridge(copy)), 1u) << "the caller's reference only";
    json out = hostsim::toJson(bridge(copy));
    CFRelease(copy);
    return out;
  }

  static CFArrayRef keys(std::vector<Strong> items) {
    return reinterpret_cast<CFArrayRef>(
        objc_autorelease(objc_retain(hostsim::newArray(std::move(items)).get())));
  }
  static Strong text(const char* s) { return hostsim::newString(s); }

  void reboot(const std::string& home) {
    objc_autoreleasePoolPop(pool_);
    hostsim::shutdownPlatform();
    hostsim::bootPlatform({root_, clock_, home});
    pool_ = objc_autoreleasePoolPush();
  }
};

// The daemon reads a domain's file on its first use and keeps it: writes of
// the file behind its back stay unseen, across a restart of the process,
// until the device starts again; a change through the daemon is seen at
// once and reaches the file when the domain is synchronized.
TEST_F(PreferencesTest, TheDaemonKeepsWhatItReadFirst) {
  using namespace hostsim;
  store({{"enabled", newBool(true)}, {"delay", newInteger(3)}});
  EXPECT_EQ(keyList(), json({"delay", "enabled"}));
  CFArrayRef listed = CFPreferencesCopyKeyList(CFSTR("com.example.quiet"),
                                               kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  EXPECT_EQ(values(listed), json({{"delay", 3}, {"enabled", true}}));

  store({{"enabled", newBool(false)}, {"mode", newString("quiet")}});
  EXPECT_TRUE(CFPreferencesAppSynchronize(CFSTR("com.example.quiet")));
  EXPECT_EQ(values(listed), json({{"delay", 3}, {"enabled", true}}))
      << "the file was written behind the daemon's back";
  CFRelease(listed);
  reboot("/var/mobile");
  EXPECT_EQ(keyList(), json({"delay", "enabled"})) << "the daemon outlives the process";

  ASSERT_TRUE(preferencesDaemonSet("com.example.quiet", "added", newBool(true).get()));
  EXPECT_EQ(keyList(), json({"added", "delay", "enabled"}));
  EXPECT_EQ(prefsfile::dictionaryFileJson(hostPath(kFile)),
            json({{"enabled", false}, {"mode", "quiet"}}))
      << "the file has the change later";
  EXPECT_TRUE(CFPreferencesAppSynchronize(CFSTR("com.example.quiet")));
  EXPECT_EQ(prefsfile::dictionaryFileJson(hostPath(kFile)),
            json({{"added", true}, {"delay", 3}, {"enabled", true}}))
      << "written whole from the daemon's copy";

  store({{"mode", newString("loud")}});
  objc_autoreleasePoolPop(pool_);
  shutdownPlatform();
  startPreferencesDaemon(root_);
  bootPlatform({root_, clock_});
  pool_ = objc_autoreleasePoolPush();
  EXPECT_EQ(keyList(), json({"mode"})) << "the device started again";
}

TEST_F(PreferencesTest, CopiesAreFreedWithTheirRelease) {
  using namespace hostsim;
  store({{"enabled", newBool(true)}});
  const size_t arrays = liveInstances(objc_getClass("NSArray"));
  const size_t dictionaries = liveInstances(objc_getClass("NSDictionary"));
  EXPECT_EQ(keyList(), json({"enabled"}));
  EXPECT_EQ(values(nullptr), json({{"enabled", true}}));
  EXPECT_EQ(liveInstances(objc_getClass("NSArray")), arrays);
  EXPECT_EQ(liveInstances(objc_getClass("NSDictionary")), dictionaries);
}

// With no keys given, every value is fetched, as CoreFoundation does.
TEST_F(PreferencesTest, FetchingWithoutKeysFetchesEveryValue) {
  using namespace hostsim;
  store({{"enabled", newBool(true)}, {"apps", newArray({newString("com.apple.Music")})}});
  EXPECT_EQ(values(nullptr), json({{"apps", {"com.apple.Music"}}, {"enabled", true}}));
  EXPECT_EQ(values(keys({newInteger(1), text("enabled")})), json({{"enabled", true}}))
      << "keys that are no strings are passed over";
  EXPECT_EQ(values(static_cast<CFArrayRef>(static_cast<CFTypeRef>(NSSTR("enabled")))), nullptr)
      << "keys that are no array";
}

TEST_F(PreferencesTest, DomainsWithoutAUsableFileHaveNoKeysAndNoValues) {
  using namespace hostsim;
  EXPECT_EQ(keyList(), nullptr) << "no file";
  EXPECT_EQ(values(keys({text("enabled")})), json::object());
  EXPECT_EQ(values(nullptr), json::object());
  store({});
  EXPECT_EQ(keyList(), nullptr) << "no keys";
  put("<plist><dict><key>enabled</key><true/>");
  EXPECT_EQ(keyList(), nullptr) << "a broken file";
  EXPECT_EQ(values(keys({text("enabled")})), json::object());
  put("<plist><array><string>enabled</string></array></plist>");
  EXPECT_EQ(keyList(), nullptr) << "no dictionary";
}

TEST_F(PreferencesTest, OnlyTheCurrentUserOnAnyHostIsStored) {
  store({{"enabled", hostsim::newBool(true)}});
  ASSERT_EQ(keyList(), json({"enabled"}));
  CFArrayRef all = keys({text("enabled")});
  EXPECT_EQ(keyList(CFSTR("com.example.quiet"), CFSTR("root")), nullptr);
  EXPECT_EQ(keyList(CFSTR("com.example.quiet"), kCFPreferencesCurrentUser, CFSTR("localhost")),
            nullptr);
  EXPECT_EQ(keyList(CFSTR("com.example.quiet"), kCFPreferencesAnyHost, kCFPreferencesCurrentUser),
            nullptr);
  EXPECT_EQ(keyList(CFSTR("com.example.quiet"), nullptr, nullptr), nullptr);
  EXPECT_EQ(values(all, CFSTR("com.example.quiet"), CFSTR("root")), nullptr);
  EXPECT_EQ(values(all, CFSTR("com.example.quiet"), kCFPreferencesCurrentUser, CFSTR("localhost")),
            nullptr);
}

TEST_F(PreferencesTest, DomainsMustBePlainNames) {
  std::ofstream(hostsim::hostPath("/var/mobile/Library/outside.plist"))
      << "<plist><dict><key>enabled</key><true/></dict></plist>";
  ASSERT_TRUE(hostsim::readDictionaryFile("/var/mobile/Library/outside.plist", false));
  CFArrayRef all = keys({text("enabled")});
  for (CFStringRef domain : {CFSTR("../outside"), CFSTR("a/b"), CFSTR(""), CFSTR(".."),
                             static_cast<CFStringRef>(nullptr)}) {
    EXPECT_EQ(keyList(domain), nullptr);
    EXPECT_EQ(values(all, domain), nullptr);
    EXPECT_FALSE(CFPreferencesAppSynchronize(domain));
  }
  Strong number = hostsim::newInteger(1);
  EXPECT_EQ(keyList(reinterpret_cast<CFStringRef>(number.get())), nullptr) << "no string";
}

TEST_F(PreferencesTest, TheHomeDirectoryComesFromTheBoot) {
  EXPECT_EQ(hostsim::stringOf(NSHomeDirectory()), "/var/mobile");
  reboot("/var/root");
  EXPECT_EQ(hostsim::stringOf(NSHomeDirectory()), "/var/root");
}

// The user and host constants exist before any boot and stay valid across
// boots; reference counting leaves them alone.
TEST_F(PreferencesTest, TheUserAndHostConstantsOutliveEveryBoot) {
  ASSERT_NE(kCFPreferencesCurrentUser, nullptr);
  ASSERT_NE(kCFPreferencesAnyHost, nullptr);
  EXPECT_NE(kCFPreferencesCurrentUser, kCFPreferencesAnyHost);
  CFRelease(CFRetain(kCFPreferencesCurrentUser));
  CFRelease(kCFPreferencesAnyHost);
  objc_autorelease(bridge(kCFPreferencesAnyHost));
  EXPECT_STREQ(platform::NSString::UTF8String(bridge(kCFPreferencesCurrentUser)),
               "kCFPreferencesCurrentUser");
  store({{"enabled", hostsim::newBool(true)}});
  reboot("/var/mobile");
  EXPECT_EQ(keyList(), json({"enabled"}));
  EXPECT_STREQ(platform::NSString::UTF8String(bridge(kCFPreferencesAnyHost)),
               "kCFPreferencesAnyHost");
}

} // namespace
