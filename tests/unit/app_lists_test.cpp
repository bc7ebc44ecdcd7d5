// SparkAppList: a list holds a bundle identifier when the identifier's
// preference file has, under the key, an array with that exact string.
#include "tests/unit/platform_fixture.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "platform/sparkapplist.h"

#include <fstream>
#include <map>
#include <string>

using hostsim::Strong;

namespace {

class AppListTest : public PlatformTest {
protected:
  static void store(const char* identifier, std::map<std::string, Strong> lists) {
    ASSERT_TRUE(
        hostsim::writePropertyListFile(hostsim::newDictionary(std::move(lists), false).get(),
                                       hostsim::preferencesFilePath(identifier), true));
  }
  static BOOL holds(id identifier, id key, id bundleID) {
    return platform::SparkAppList::doesIdentifier_andKey_containBundleIdentifier(identifier, key,
                                                                                 bundleID);
  }
  static Strong apps(std::initializer_list<const char*> ids) {
    std::vector<Strong> items;
    for (const char* id : ids)
      items.push_back(hostsim::newString(id));
    return hostsim::newArray(std::move(items));
  }
};

TEST_F(AppListTest, AListHoldsExactlyItsBundleIdentifiers) {
  using namespace hostsim;
  Strong hidden = apps({"com.apple.mobilesafari", "com.apple.Music"});
  state<ArrayState>(hidden.get()).items.push_back(newInteger(7));
  store("com.example.lists",
        {{"hidden", hidden}, {"single", newString("com.apple.Maps")}, {"empty", newArray({})}});
  id identifier = NSSTR("com.example.lists");
  EXPECT_TRUE(holds(identifier, NSSTR("hidden"), NSSTR("com.apple.mobilesafari")));
  EXPECT_TRUE(holds(identifier, NSSTR("hidden"), NSSTR("com.apple.Music")));
  EXPECT_FALSE(holds(identifier, NSSTR("hidden"), NSSTR("com.apple.music"))) << "case matters";
  EXPECT_FALSE(holds(identifier, NSSTR("hidden"), NSSTR("com.apple"))) << "no prefixes";
  EXPECT_FALSE(holds(identifier, NSSTR("hidden"), NSSTR("com.apple.Maps")));
  EXPECT_FALSE(holds(identifier, NSSTR("hidden"), nullptr));
  EXPECT_FALSE(holds(identifier, NSSTR("hidden"), newInteger(7).get())) << "no string";
  EXPECT_FALSE(holds(identifier, NSSTR("single"), NSSTR("com.apple.Maps"))) << "no array";
  EXPECT_FALSE(holds(identifier, NSSTR("empty"), NSSTR("com.apple.Maps")));
  EXPECT_FALSE(holds(identifier, NSSTR("missing"), NSSTR("com.apple.Maps")));
  EXPECT_FALSE(holds(identifier, nullptr, NSSTR("com.apple.Maps")));
}

TEST_F(AppListTest, MissingBrokenOrMisnamedListsHoldNothing) {
  store("com.example.lists", {{"hidden", apps({"com.apple.Music"})}});
  id music = NSSTR("com.apple.Music");
  EXPECT_FALSE(holds(NSSTR("com.example.other"), NSSTR("hidden"), music)) << "no file";
  EXPECT_FALSE(holds(NSSTR("../Preferences/com.example.lists"), NSSTR("hidden"), music))
      << "an identifier that is a path, even to the right file";
  EXPECT_FALSE(holds(NSSTR(""), NSSTR("hidden"), music));
  EXPECT_FALSE(holds(nullptr, NSSTR("hidden"), music));
  std::ofstream(hostsim::hostPath(hostsim::preferencesFilePath("com.example.lists")),
                std::ios::trunc)
      << "<plist><dict><key>hidden</key><array><string>com.apple.Music</string>";
  EXPECT_FALSE(holds(NSSTR("com.example.lists"), NSSTR("hidden"), music)) << "a broken file";
}

TEST_F(AppListTest, AnEditCountsAtOnce) {
  id identifier = NSSTR("com.example.lists");
  store("com.example.lists", {{"hidden", apps({"com.apple.Music"})}});
  EXPECT_TRUE(holds(identifier, NSSTR("hidden"), NSSTR("com.apple.Music")));
  store("com.example.lists", {{"hidden", apps({"com.apple.mobilesafari"})}});
  EXPECT_FALSE(holds(identifier, NSSTR("hidden"), NSSTR("com.apple.Music")));
  EXPECT_TRUE(holds(identifier, NSSTR("hidden"), NSSTR("com.apple.mobilesafari")));
}

} // namespace
