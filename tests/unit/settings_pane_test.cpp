// The settings pane as the modeled Settings app loads it (PreferenceLoader,
// the bundle, Root.plist): what it shows for the domain's keys, what a
// person can set with each control, and what it does with the preference
// file in each of the file's states.
#include "host/files/file_lock.h"
#include "host/files/preference_file.h"
#include "host/sim/runtime/runtime.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/trace.h"
#include "host/sim/settings/settings_classes.h"
#include "host/sim/settings/settings_process.h"
#include "prefs/domain.h"
#include "tests/unit/temp_folder.h"

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using hostsim::settings::AppEdit;
using hostsim::settings::AppList;
using hostsim::settings::Outcome;
using hostsim::settings::SettingsProcess;
using json = nlohmann::json;

const char* const kPrefs = "var/mobile/Library/Preferences/" QUELLINE_DOMAIN ".plist";

hostsim::settings::Deliverables built() {
  return {QUELLINE_BIN_DIR "/QuellinePrefs.bundle",
          QUELLINE_BIN_DIR "/PreferenceLoader/Quelline.plist"};
}

// Each key of the domain as the pane should show it.
struct DomainKey {
  std::string name;
  bool isBool;
  bool isTime; // a clock time, offered as a list of times
  bool isSpan; // a span of minutes, offered as a list of spans
  int64_t fallback;
  int64_t minimum;
  int64_t maximum;
  std::string group;
  int place;
  std::string label;
};

#define QUELLINE_TEST_TEXT(x) QUELLINE_TEST_TEXT_(x)
#define QUELLINE_TEST_TEXT_(x) #x
#define QUELLINE_TEST_IS_BOOL_Bool true
#define QUELLINE_TEST_IS_BOOL_Int32 false
#define QUELLINE_TEST_IS_BOOL_Minutes false
#define QUELLINE_TEST_IS_BOOL_Duration false
#define QUELLINE_TEST_IS_SPAN_Bool false
#define QUELLINE_TEST_IS_SPAN_Int32 false
#define QUELLINE_TEST_IS_SPAN_Minutes false
#define QUELLINE_TEST_IS_SPAN_Duration true
const std::vector<DomainKey> kDomain = {
#define QUELLINE_TEST_KEY(name, type, fallback, minimum, maximum, reading, pane, label, text)      \
  {#name,                                                                                          \
   QUELLINE_TEST_IS_BOOL_##type,                                                                   \
   QUELLINE_SETTING_IS_TIME_##type,                                                                \
   QUELLINE_TEST_IS_SPAN_##type,                                                                   \
   fallback,                                                                                       \
   minimum,                                                                                        \
   maximum,                                                                                        \
   QUELLINE_TEST_TEXT(QUELLINE_PANE_GROUP(pane)),                                                  \
   QUELLINE_PANE_PLACE(pane),                                                                      \
   label},
    QUELLINE_SETTINGS(QUELLINE_TEST_KEY)
#undef QUELLINE_TEST_KEY
};

const std::vector<std::pair<std::string, std::string>> kGroups = {
#define QUELLINE_TEST_GROUP(group, title, footer) {#group, title},
    QUELLINE_PANE_GROUPS(QUELLINE_TEST_GROUP)
#undef QUELLINE_TEST_GROUP
};

std::string bytesOf(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SettingsPane : public ::testing::Test {
protected:
  void SetUp() override {
    hostsim::trace::setSink([this](const hostsim::trace::Event& e) { trace.push_back(e); });
  }
  void TearDown() override {
    process.end();
    hostsim::trace::setSink({});
  }

  fs::path prefs() const { return root.path() / kPrefs; }
  void writePrefs(const std::string& bytes) {
    fs::create_directories(prefs().parent_path());
    std::ofstream(prefs(), std::ios::binary) << bytes;
  }
  std::optional<prefsfile::Value> stored(const std::string& key) const {
    return prefsfile::PreferenceFile::load(prefs()).value(key);
  }
  // The pane's rows by key (the app-list rows by their list).
  std::map<std::string, json> rowsByKey() const {
    std::map<std::string, json> out;
    const json shown = process.rows();
    for (const json& group : shown["groups"])
      for (const json& row : group["rows"])
        out[row["key"].is_string() ? row["key"].get<std::string>()
                                   : row["list"].get<std::string>()] = row;
    return out;
  }
  size_t reloadPosts() const {
    size_t posts = 0;
    for (const auto& e : trace)
      if (e["event"] == "darwin" && e["name"] == QUELLINE_RELOAD_PREFS) ++posts;
    return posts;
  }

  TempFolder root{"quelline-pane"};
  SettingsProcess process{root.path(), hostsim::ClockMode::Virtual, built()};
  std::vector<hostsim::trace::Event> trace;
};

// The pane shows every key of the domain but the toggle's own, in its group
// at its place with its label, as the domain says; each switch takes both
// values, each slider every value of its range (rounded to a whole number)
// and none outside it. Every change lands in the file and is announced.
TEST_F(SettingsPane, ShowsTheDomainAndWritesEveryKeyWithinItsRangeOnly) {
  process.boot();
  process.open();
  const json shown = process.rows();
  EXPECT_EQ(shown["title"], QUELLINE_PANE_TITLE);
  // A group may show as several sections (a slider's label is a section's
  // title): its rows are those from its titled section to the next group's.
  // A slider draws no label of its own: its section's title is its label.
  ASSERT_FALSE(shown["groups"].empty());
  EXPECT_EQ(shown["groups"][0]["title"], kGroups[0].second);
  size_t g = 0;
  std::map<std::string, std::vector<std::string>> keysOf;
  for (const json& section : shown["groups"]) {
    if (g + 1 < kGroups.size() && section["title"] == kGroups[g + 1].second) ++g;
    for (const json& row : section["rows"]) {
      if (row["key"].is_string()) keysOf[kGroups[g].first].push_back(row["key"]);
      if (row["cell"] == "slider") {
        EXPECT_EQ(section["title"], row["label"]);
        EXPECT_EQ(section["rows"].size(), 1u) << "the slider's section is its own";
      }
    }
  }
  EXPECT_EQ(g + 1, kGroups.size()) << "every group, in order";
  for (const auto& [group, title] : kGroups) {
    std::vector<const DomainKey*> expected;
    for (const DomainKey& key : kDomain)
      if (key.group == group) expected.push_back(&key);
    std::sort(expected.begin(), expected.end(),
              [](auto* a, auto* b) { return a->place < b->place; });
    std::vector<std::string> names;
    for (const DomainKey* key : expected)
      names.push_back(key->name);
    EXPECT_EQ(keysOf[group], names) << group;
  }

  size_t changes = 0;
  const auto rows = rowsByKey();
  for (const DomainKey& key : kDomain) {
    SCOPED_TRACE(key.name);
    if (key.group == "Hidden") {
      EXPECT_FALSE(rows.contains(key.name));
      continue;
    }
    const json& row = rows.at(key.name);
    EXPECT_EQ(row["label"], key.label);
    EXPECT_TRUE(row["enabled"]);
    if (key.isBool) {
      EXPECT_EQ(row["cell"], "switch");
      EXPECT_EQ(row["value"], key.fallback != 0);
      for (bool value : {key.fallback == 0, key.fallback != 0}) {
        EXPECT_EQ(process.set(key.name, value).kind, Outcome::Kind::Applied);
        EXPECT_EQ(stored(key.name), prefsfile::Value(value));
        ++changes;
      }
      EXPECT_EQ(process.set(key.name, 1).kind, Outcome::Kind::Refused);
      continue;
    }
    if (key.isTime) {
      // The day's times every 15 minutes, as "22:00"; none other.
      EXPECT_EQ(row["cell"], "choice");
      EXPECT_EQ(row["value"], key.fallback);
      ASSERT_EQ(row["choices"].size(), 96u);
      EXPECT_EQ(row["choices"][88], json({{"value", 1320}, {"title", "22:00"}}));
      EXPECT_EQ(row["choices"][95], json({{"value", 1425}, {"title", "23:45"}}));
      for (int64_t value : {int64_t{1425}, key.fallback}) {
        EXPECT_EQ(process.set(key.name, value).kind, Outcome::Kind::Applied);
        EXPECT_EQ(stored(key.name), prefsfile::Value(value));
        ++changes;
      }
      for (double outside : {7.0, 1439.0, -15.0}) {
        const Outcome refused = process.set(key.name, outside);
        EXPECT_EQ(refused.kind, Outcome::Kind::Refused);
        EXPECT_NE(refused.message.find("23:45"), std::string::npos) << refused.message;
      }
      EXPECT_EQ(stored(key.name), prefsfile::Value(key.fallback));
      continue;
    }
    if (key.isSpan) {
      // The domain's spans, first "until switched off"; none other.
      EXPECT_EQ(row["cell"], "choice");
      EXPECT_EQ(row["value"], key.fallback);
      ASSERT_EQ(row["choices"].size(), 7u);
      EXPECT_EQ(row["choices"][0], json({{"value", 0}, {"title", "Until I switch it off"}}));
      EXPECT_EQ(row["choices"][3], json({{"value", 60}, {"title", "1 hour"}}));
      for (int64_t value : {int64_t{480}, key.fallback}) {
        EXPECT_EQ(process.set(key.name, value).kind, Outcome::Kind::Applied);
        EXPECT_EQ(stored(key.name), prefsfile::Value(value));
        ++changes;
      }
      for (double outside : {45.0, 1441.0, -15.0})
        EXPECT_EQ(process.set(key.name, outside).kind, Outcome::Kind::Refused);
      EXPECT_EQ(stored(key.name), prefsfile::Value(key.fallback));
      continue;
    }
    EXPECT_EQ(row["cell"], "slider");
    EXPECT_EQ(row["value"], key.fallback);
    EXPECT_EQ(row["min"], key.minimum);
    EXPECT_EQ(row["max"], key.maximum);
    for (int64_t value : {key.maximum, key.minimum}) {
      EXPECT_EQ(process.set(key.name, value).kind, Outcome::Kind::Applied);
      EXPECT_EQ(stored(key.name), prefsfile::Value(value));
      ++changes;
    }
    // The slider stops anywhere; the pane stores the nearest whole number.
    EXPECT_EQ(process.set(key.name, key.minimum + 0.6).kind, Outcome::Kind::Applied);
    EXPECT_EQ(stored(key.name), prefsfile::Value(key.minimum + 1));
    EXPECT_EQ(rowsByKey().at(key.name)["value"], key.minimum + 1);
    ++changes;
    for (double outside : {double(key.minimum) - 1, double(key.maximum) + 0.5}) {
      const Outcome refused = process.set(key.name, outside);
      EXPECT_EQ(refused.kind, Outcome::Kind::Refused);
      EXPECT_NE(refused.message.find(std::to_string(key.maximum)), std::string::npos)
          << refused.message;
    }
    EXPECT_EQ(stored(key.name), prefsfile::Value(key.minimum + 1));
  }
  EXPECT_EQ(reloadPosts(), changes);
}

// No file: the defaults show, and the first change makes the file, 0644
// whatever the umask, holding that change alone.
TEST_F(SettingsPane, MissingFileShowsDefaultsAndTheFirstChangeCreatesIt) {
  process.boot();
  process.open();
  EXPECT_EQ(rowsByKey().at("timerTime")["value"], 5);
  const mode_t umaskBefore = ::umask(077);
  const Outcome set = process.set("useTimer", true);
  ::umask(umaskBefore);
  ASSERT_EQ(set.kind, Outcome::Kind::Applied);
  struct stat st {};
  ASSERT_EQ(::stat(prefs().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  EXPECT_EQ(prefsfile::PreferenceFile::load(prefs()).keys(), std::vector<std::string>{"useTimer"});
}

// Another writer's keys (the toggle's, written straight to the file while
// the pane is open) survive a change made in the pane: the pane reads the
// file under the lock when it writes, not a copy from when it opened, as
// the preferences daemon would.
TEST_F(SettingsPane, ChangesLandBesideKeysWrittenMeanwhile) {
  process.boot();
  process.open();
  ASSERT_EQ(process.set("hideBanners", false).kind, Outcome::Kind::Applied);
  prefsfile::editLocked(prefs(), 5, [](prefsfile::PreferenceFile& file) {
    file.set("enableTweakToggle", true);
    return true;
  });
  ASSERT_EQ(process.set("haptic", false).kind, Outcome::Kind::Applied);
  EXPECT_EQ(stored("enableTweakToggle"), prefsfile::Value(true));
  EXPECT_EQ(stored("hideBanners"), prefsfile::Value(false));
}

// A file that is there but holds no dictionary is the user's: every control
// is disabled with a footer saying why, nothing the person does writes it,
// and one that turns bad while the pane is open is refused with an alert.
TEST_F(SettingsPane, FileThatHoldsNoDictionaryIsNeverWritten) {
  const std::string corrupt = "<plist><array><integer>1</integer></array></plist>";
  writePrefs(corrupt);
  process.boot();
  process.open();
  json shown = process.rows();
  EXPECT_NE(shown["groups"][0]["footer"].get<std::string>().find("cannot be read"),
            std::string::npos);
  for (const auto& [key, row] : rowsByKey())
    if (row["key"].is_string()) {
      EXPECT_FALSE(row["enabled"]) << key;
    }
  EXPECT_EQ(process.set("hideBanners", false).kind, Outcome::Kind::Refused);
  EXPECT_EQ(bytesOf(prefs()), corrupt);

  fs::remove(prefs());
  process.open();
  ASSERT_TRUE(rowsByKey().at("haptic")["enabled"]);
  writePrefs(corrupt);
  const Outcome failed = process.set("haptic", false);
  EXPECT_EQ(failed.kind, Outcome::Kind::Failed);
  EXPECT_NE(failed.message.find("left as it is"), std::string::npos) << failed.message;
  EXPECT_EQ(bytesOf(prefs()), corrupt);
  EXPECT_FALSE(rowsByKey().at("haptic")["enabled"]);
  EXPECT_EQ(reloadPosts(), 0u);
}

// A write that fails (the device's storage is full) shows the system's
// reason; the switch goes back to what the file holds, which is unchanged.
TEST_F(SettingsPane, FailedWriteShowsTheReasonAndTheControlGoesBack) {
  writePrefs("<plist><dict><key>hideBanners</key><true/></dict></plist>");
  const std::string before = bytesOf(prefs());
  process.boot();
  process.open();
  process.setStorageFull(true);
  const Outcome failed = process.set("hideBanners", false);
  EXPECT_EQ(failed.kind, Outcome::Kind::Failed);
  EXPECT_NE(failed.message.find("enough space"), std::string::npos) << failed.message;
  EXPECT_EQ(rowsByKey().at("hideBanners")["value"], true);
  EXPECT_EQ(bytesOf(prefs()), before);
  EXPECT_EQ(process.alerts().size(), 1u);
  EXPECT_EQ(reloadPosts(), 0u);
}

// Quiet hours need a start and an end that differ: the pane refuses a time
// equal to the other end's with the reason, the row goes back and nothing
// is written.
TEST_F(SettingsPane, QuietHoursStartEqualToTheEndIsRefusedWithTheReason) {
  writePrefs("<plist><dict><key>quietHoursEnd</key><integer>60</integer></dict></plist>");
  const std::string before = bytesOf(prefs());
  process.boot();
  process.open();
  const Outcome refused = process.set("quietHoursStart", 60);
  EXPECT_EQ(refused.kind, Outcome::Kind::Failed);
  EXPECT_NE(refused.message.find("quiet hours need a start and an end that differ"),
            std::string::npos)
      << refused.message;
  EXPECT_EQ(rowsByKey().at("quietHoursStart")["value"], 1320);
  EXPECT_EQ(bytesOf(prefs()), before);
  EXPECT_EQ(reloadPosts(), 0u);
  // Against the default end when the file holds none.
  EXPECT_EQ(process.set("quietHoursEnd", 1320).kind, Outcome::Kind::Failed);
  EXPECT_EQ(process.set("quietHoursStart", 75).kind, Outcome::Kind::Applied);
}

// A time stored off the 15-minute steps (by quelline-prefs, or by hand) is
// offered as a choice of its own, in time order and chosen, when the pane
// opens and when a row is drawn again after a change or a refusal; the
// list offers nothing else.
TEST_F(SettingsPane, ATimeOffTheStepsIsOfferedAsAChoiceOfItsOwn) {
  writePrefs("<plist><dict><key>quietHoursStart</key><integer>1327</integer></dict></plist>");
  process.boot();
  process.open();
  json start = rowsByKey().at("quietHoursStart");
  EXPECT_EQ(start["value"], 1327);
  ASSERT_EQ(start["choices"].size(), 97u);
  EXPECT_EQ(start["choices"][88], json({{"value", 1320}, {"title", "22:00"}}));
  EXPECT_EQ(start["choices"][89], json({{"value", 1327}, {"title", "22:07"}}));
  EXPECT_EQ(start["choices"][90], json({{"value", 1335}, {"title", "22:15"}}));
  EXPECT_EQ(rowsByKey().at("quietHoursEnd")["choices"].size(), 96u);
  EXPECT_EQ(process.set("quietHoursEnd", 1327 + 60).kind, Outcome::Kind::Refused);

  EXPECT_EQ(process.set("quietHoursStart", 1335).kind, Outcome::Kind::Applied);
  EXPECT_EQ(stored("quietHoursStart"), prefsfile::Value(int64_t{1335}));
  start = rowsByKey().at("quietHoursStart");
  EXPECT_EQ(start["value"], 1335);
  EXPECT_EQ(start["choices"][90], json({{"value", 1335}, {"title", "22:15"}}));
  // The list still offers 22:07 while the pane is open; picked, it is kept.
  EXPECT_EQ(process.set("quietHoursStart", 1327).kind, Outcome::Kind::Applied);
  EXPECT_EQ(stored("quietHoursStart"), prefsfile::Value(int64_t{1327}));
  EXPECT_EQ(process.set("quietHoursStart", 1335).kind, Outcome::Kind::Applied);

  // Another program stores an end of 07:07 while the pane is open; a
  // refused change draws the row again from the file, with that time.
  writePrefs("<plist><dict><key>quietHoursStart</key><integer>1335</integer>"
             "<key>quietHoursEnd</key><integer>427</integer></dict></plist>");
  EXPECT_EQ(process.set("quietHoursEnd", 1335).kind, Outcome::Kind::Failed);
  const json end = rowsByKey().at("quietHoursEnd");
  EXPECT_EQ(end["value"], 427);
  ASSERT_EQ(end["choices"].size(), 97u);
  EXPECT_EQ(end["choices"][29], json({{"value", 427}, {"title", "07:07"}}));
  EXPECT_EQ(process.set("quietHoursEnd", 427).kind, Outcome::Kind::Applied);
}

// A slider value that is no number (NaN, which no person can give, but
// nothing in the pane's method rules out) stores the least of its range.
TEST_F(SettingsPane, ASliderGivenNoNumberStoresTheLeastOfItsRange) {
  process.boot();
  process.open();
  hostsim::AutoreleasePool pool;
  Class pane = objc_getClass("QuellinePrefsRootListController");
  ASSERT_NE(pane, nullptr);
  hostsim::Strong controller =
      hostsim::Strong::adopt(hostsim::send<id>(hostsim::send<id>(as_id(pane), "alloc"), "init"));
  (void)hostsim::send<id>(controller.get(), "specifiers");
  id slider = nullptr;
  for (id row : hostsim::settings::specifiersOf(controller.get())) {
    id key = hostsim::settings::specifierProperty(row, "key");
    if (key != nullptr && hostsim::stringOf(key) == "timerTime") slider = row;
  }
  ASSERT_NE(slider, nullptr);
  hostsim::send<void>(controller.get(),
                      "setPreferenceValue:specifier:", hostsim::newReal(std::nan("")).get(),
                      slider);
  EXPECT_EQ(stored("timerTime"), prefsfile::Value(int64_t{1}));
}

// While another program holds the file's lock past the pane's wait, the
// change is refused with an alert and nothing is written.
TEST_F(SettingsPane, BusyLockIsReportedAndNothingWritten) {
  process.boot();
  process.open();
  const prefsfile::FileLock lock(prefs(), 0);
  ASSERT_TRUE(lock.held());
  const Outcome failed = process.set("haptic", false);
  EXPECT_EQ(failed.kind, Outcome::Kind::Failed);
  EXPECT_NE(failed.message.find("Another program"), std::string::npos) << failed.message;
  EXPECT_FALSE(fs::exists(prefs()));
  EXPECT_EQ(rowsByKey().at("haptic")["value"], true);
}

// A lock that another program lets go of while the pane waits for it: the
// change lands. The other program lets go as soon as the pane has napped
// once on it (or after 50 ms, for a pane that does not wait).
TEST_F(SettingsPane, ALockLetGoWhileThePaneWaitsLetsTheChangeLand) {
  process.boot();
  process.open();
  auto lock = std::make_unique<prefsfile::FileLock>(prefs(), 0);
  ASSERT_TRUE(lock->held());
  const size_t napsBefore = prefsfile::lockNapsTaken();
  std::thread other([&] {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    while (prefsfile::lockNapsTaken() == napsBefore && std::chrono::steady_clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    lock.reset();
  });
  const Outcome applied = process.set("haptic", false);
  other.join();
  EXPECT_EQ(applied.kind, Outcome::Kind::Applied) << applied.message;
  EXPECT_EQ(stored("haptic"), prefsfile::Value(false));
}

// The app-list rows push libsparkapplist's editor, which stores the list in
// its own file; back in the pane, nothing else changed.
TEST_F(SettingsPane, AppListRowsPushTheEditor) {
  process.boot();
  process.open();
  ASSERT_EQ(process.apps(AppList::Silent, AppEdit::Add, "com.example.chat").kind,
            Outcome::Kind::Applied);
  ASSERT_EQ(process.apps(AppList::Banner, AppEdit::Add, "com.example.maps").kind,
            Outcome::Kind::Applied);
  const fs::path folder = root.path() / "var/mobile/Library/Preferences";
  EXPECT_EQ(prefsfile::PreferenceFile::load(folder / (QUELLINE_SILENT_APPS_LIST ".plist"))
                .strings(QUELLINE_SILENT_APPS_KEY),
            std::vector<std::string>{"com.example.chat"});
  EXPECT_EQ(prefsfile::PreferenceFile::load(folder / (QUELLINE_BANNER_APPS_LIST ".plist"))
                .strings(QUELLINE_BANNER_APPS_KEY),
            std::vector<std::string>{"com.example.maps"});
  EXPECT_EQ(process.navigation(), json({"PSListController", "QuellinePrefsRootListController"}));
  EXPECT_FALSE(fs::exists(prefs()));
}

// Without libsparkapplist the two rows are disabled, and the Apps footer
// names the package to install.
TEST_F(SettingsPane, AppListRowsAreDisabledWithoutTheLibrary) {
  process.boot({.without = {"SparkAppListTableViewController"}});
  process.open();
  const auto rows = rowsByKey();
  EXPECT_FALSE(rows.at("silent")["enabled"]);
  EXPECT_FALSE(rows.at("banner")["enabled"]);
  const json apps = process.rows()["groups"].back();
  EXPECT_NE(apps["footer"].get<std::string>().find("com.spark.libsparkapplist"), std::string::npos);
  EXPECT_EQ(process.apps(AppList::Silent, AppEdit::Add, "com.example.chat").kind,
            Outcome::Kind::Refused);
}

} // namespace
