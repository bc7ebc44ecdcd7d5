// quelline-prefs, the preference editor, run as its own process: every
// command, every refusal (and that a refusal changes nothing), corrupt files
// left alone without --force, the lock, and a change that reaches a running
// quelline-sim over the same device root.
#include "host/files/file_lock.h"
#include "host/files/preference_file.h"
#include "prefs/domain.h"
#include "tests/unit/run_program.h"
#include "tests/unit/temp_folder.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>
#include <optional>
#include <plist/plist.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using prefsfile::FileState;
using prefsfile::Kind;
using prefsfile::PreferenceFile;
using prefsfile::Value;

constexpr const char* kEditor = QUELLINE_BIN_DIR "/quelline-prefs";
constexpr const char* kSimulator = QUELLINE_BIN_DIR "/quelline-sim";
constexpr std::string_view kPrefs = "var/mobile/Library/Preferences/com.veltrasse.quelline.plist";

// Every key of the domain, and whether it is read live, from its one
// description.
constexpr const char* kKeys[] = {
#define QUELLINE_KEY_NAME(name, type, fallback, minimum, maximum, reading, pane, label, text) #name,
    QUELLINE_SETTINGS(QUELLINE_KEY_NAME)
#undef QUELLINE_KEY_NAME
};
bool isLive(std::string_view key) {
#define QUELLINE_KEY_LIVE(name, type, fallback, minimum, maximum, reading, pane, label, text)      \
  if (key == #name) return QUELLINE_SETTING_LIVE_##reading;
  QUELLINE_SETTINGS(QUELLINE_KEY_LIVE)
#undef QUELLINE_KEY_LIVE
  return false;
}
constexpr std::string_view kSilent =
    "var/mobile/Library/Preferences/com.veltrasse.quelline.silentApps.plist";
constexpr std::string_view kBanner =
    "var/mobile/Library/Preferences/com.veltrasse.quelline.bannerApps.plist";

bool contains(const std::string& text, std::string_view part) {
  return text.find(part) != std::string::npos;
}

std::string xmlDictionary(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body +
         "</dict>\n</plist>\n";
}

class PrefsToolTest : public ::testing::Test {
protected:
  // quelline-prefs --root ROOT ARGS...
  Outcome editor(std::vector<std::string> args) {
    args.insert(args.begin(), {"--root", root_.string()});
    return runProgram(kEditor, std::move(args));
  }

  fs::path host(std::string_view relative) const { return root_ / relative; }
  void put(std::string_view relative, const std::string& bytes) {
    fs::create_directories(host(relative).parent_path());
    std::ofstream(host(relative), std::ios::binary) << bytes;
  }
  std::string bytes(std::string_view relative) const {
    std::ifstream in(host(relative), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  PreferenceFile prefs() const { return PreferenceFile::load(host(kPrefs)); }

  TempFolder folder_{"quelline-prefs-tool"};
  fs::path root_ = folder_.path();
};

// --- Refusals ---------------------------------------------------------------------------

TEST_F(PrefsToolTest, UnknownKeysAreRefusedWithTheKnownOnes) {
  const std::string before = xmlDictionary("<key>foo</key><true/>");
  put(kPrefs, before);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"set", "foo", "true"}, {"get", "foo"}, {"reset", "foo"}, {"set", "TimerTime", "5"}}) {
    const Outcome run = editor(args);
    SCOPED_TRACE(args[0] + " " + args[1]);
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_TRUE(contains(run.err, "\"" + args[1] + "\"")) << run;
    EXPECT_TRUE(contains(run.err, "hideAnimated")) << run;
    EXPECT_TRUE(contains(run.err, "hideIconsWithToggle")) << run;
    EXPECT_TRUE(contains(run.err, "`quelline-prefs keys`")) << run;
    EXPECT_TRUE(run.out.empty()) << run;
  }
  EXPECT_EQ(bytes(kPrefs), before);
  // A key typed wrong gets the nearest one; one far from every key, none.
  for (const auto& [typed, meant] :
       std::vector<std::pair<std::string, std::string>>{{"quiethours", "quietHours"},
                                                        {"TimerTime", "timerTime"},
                                                        {"hapitc", "haptic"},
                                                        {"quietHoursStar", "quietHoursStart"}}) {
    const Outcome run = editor({"set", typed, "1"});
    EXPECT_TRUE(contains(run.err, "did you mean " + meant + "?")) << run;
  }
  EXPECT_FALSE(contains(editor({"get", "foo"}).err, "did you mean"));
  // The keys, without a device root.
  const Outcome keys = runProgram(kEditor, {"keys"});
  EXPECT_EQ(keys.status, 0) << keys;
  EXPECT_TRUE(contains(keys.out, "quietHoursStart")) << keys;
  EXPECT_TRUE(contains(keys.out, "0 to 1439")) << keys;
}

TEST_F(PrefsToolTest, ValuesOfTheWrongTypeAreRefusedAndChangeNothing) {
  const std::string before = xmlDictionary("<key>timerTime</key><integer>9</integer>");
  put(kPrefs, before);
  for (const std::string value : {"maybe", "2", "-1", "", "truth", "on", "true ", "0x1", "1.0"}) {
    const Outcome run = editor({"set", "useTimer", value});
    EXPECT_EQ(run.status, 2) << value << ": " << run;
    EXPECT_TRUE(contains(run.err, "useTimer")) << run;
    EXPECT_TRUE(contains(run.err, "\"" + value + "\"")) << run;
    EXPECT_TRUE(contains(run.err, "boolean")) << run;
  }
  for (const std::string value :
       {"2147483648", "-2147483649", "99999999999999999999", "5.0", "abc", "0x10", "", " 5", "5 ",
        "+-5", "1e3", "five", "0", "-5", "3601"}) {
    const Outcome run = editor({"set", "timerTime", value});
    EXPECT_EQ(run.status, 2) << value << ": " << run;
    EXPECT_TRUE(contains(run.err, "timerTime")) << run;
    EXPECT_TRUE(contains(run.err, "\"" + value + "\"")) << run;
    EXPECT_TRUE(contains(run.err, "integer from 1 to 3600")) << run;
  }
  // No tap count that never reveals the icons.
  for (const std::string value : {"0", "-1", "11", "4294967297"}) {
    const Outcome run = editor({"set", "numberOfTaps", value});
    EXPECT_EQ(run.status, 2) << value << ": " << run;
    EXPECT_TRUE(contains(run.err, "integer from 1 to 10")) << run;
  }
  EXPECT_EQ(bytes(kPrefs), before);
  EXPECT_FALSE(fs::exists(prefsfile::lockPathOf(host(kPrefs))))
      << "refused before the file is used";
}

// Quiet hours need a start and an end that differ: against the stored
// end, and against the default end when none is stored.
TEST_F(PrefsToolTest, AQuietHoursStartEqualToTheEndIsRefusedWithTheReason) {
  const std::string before = xmlDictionary("<key>quietHoursStart</key><integer>60</integer>");
  put(kPrefs, before);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"set", "quietHoursEnd", "60"}, {"set", "quietHoursStart", "420"}}) {
    const Outcome run = editor(args);
    SCOPED_TRACE(args[1]);
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_TRUE(contains(run.err, "quiet hours need a start and an end that differ")) << run;
    EXPECT_TRUE(run.out.empty()) << run;
  }
  EXPECT_EQ(bytes(kPrefs), before);
  EXPECT_EQ(editor({"set", "quietHoursEnd", "61"}).status, 0);
  EXPECT_EQ(prefs().value("quietHoursEnd"), prefsfile::Value(int64_t{61}));
  // A reset to a default equal to the other end.
  EXPECT_EQ(editor({"set", "quietHoursStart", "420"}).status, 0);
  const Outcome reset = editor({"reset", "quietHoursEnd"});
  EXPECT_EQ(reset.status, 2) << reset;
  EXPECT_TRUE(contains(reset.err, "quiet hours need a start and an end that differ")) << reset;
  EXPECT_EQ(prefs().value("quietHoursEnd"), prefsfile::Value(int64_t{61}));
}

// Times are typed as people write them, stored as minutes, and compared as
// times of day: an end of 1860 (read as 07:00) refuses a start of 07:00;
// "22:00" in the file counts as 22:00.
TEST_F(PrefsToolTest, TimesOfDayAsWrittenAndComparedModuloADay) {
  put(kPrefs, xmlDictionary("<key>quietHoursEnd</key><integer>1860</integer>"));
  for (const char* start : {"420", "07:00", "7:00"}) {
    const Outcome run = editor({"set", "quietHoursStart", start});
    EXPECT_EQ(run.status, 2) << start << ": " << run;
    EXPECT_TRUE(contains(run.err, "quiet hours need a start and an end that differ")) << run;
  }
  for (const char* bad : {"1440", "-1", "24:00", "22:60", "22:0", "10pm"}) {
    const Outcome run = editor({"set", "quietHoursStart", bad});
    EXPECT_EQ(run.status, 2) << bad << ": " << run;
    EXPECT_TRUE(contains(run.err, "a time of day, 00:00\u201323:59 (22:00 or 1320)")) << run;
  }
  EXPECT_EQ(editor({"set", "quietHoursStart", "22:30"}).status, 0);
  EXPECT_EQ(prefs().value("quietHoursStart"), prefsfile::Value(int64_t{1350}));
  put(kPrefs, xmlDictionary("<key>quietHoursEnd</key><string>22:00</string>"));
  const Outcome clash = editor({"set", "quietHoursStart", "1320"});
  EXPECT_EQ(clash.status, 2) << clash;
}

// Several keys in one set: read first, applied together, checked as a
// whole, written once. Swapping the quiet-hours window is one command
// where either key alone is refused; one bad pair changes nothing.
TEST_F(PrefsToolTest, SeveralKeysAreOneChangeCheckedAsAWhole) {
  const std::string before =
      xmlDictionary("<key>quietHoursStart</key><integer>1320</integer><key>quietHoursEnd</"
                    "key><integer>420</integer>");
  put(kPrefs, before);
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"set", "quietHoursStart", "420"},
                                             {"set", "haptic", "false", "timerTime", "0"},
                                             {"set", "haptic", "false", "quietHoursEnd", "1320"},
                                             {"set", "haptic", "false", "haptic", "true"},
                                             {"set", "haptic", "false", "timerTime"}}) {
    const Outcome run = editor(args);
    SCOPED_TRACE(args.back());
    EXPECT_EQ(run.status, 2) << run;
    EXPECT_TRUE(run.out.empty()) << run;
  }
  EXPECT_EQ(bytes(kPrefs), before);
  const Outcome swap = editor({"set", "quietHoursStart", "420", "quietHoursEnd", "1320"});
  EXPECT_EQ(swap.status, 0) << swap;
  EXPECT_EQ(swap.out, "quietHoursStart = 420\nquietHoursEnd = 1320\n");
  EXPECT_EQ(prefs().value("quietHoursStart"), prefsfile::Value(int64_t{420}));
  EXPECT_EQ(prefs().value("quietHoursEnd"), prefsfile::Value(int64_t{1320}));
}

// A duration is minutes, or hours and minutes; 0 is "until switched off"
// and nothing beyond a day is stored.
TEST_F(PrefsToolTest, ADurationTakesMinutesOrHoursAndMinutesWithinADay) {
  for (const auto& [text, minutes] : std::vector<std::pair<std::string, int64_t>>{
           {"1h30m", 90}, {"2h", 120}, {"45m", 45}, {"24h", 1440}, {"0", 0}, {"15", 15}}) {
    ASSERT_EQ(editor({"set", "toggleDuration", text}).status, 0) << text;
    EXPECT_EQ(prefs().value("toggleDuration"), prefsfile::Value(minutes)) << text;
  }
  for (const std::string value :
       {"1441", "-1", "24h1m", "1h30", "h", "m", "1m30h", "1h 30m", "1.5h", "", "99999999999h"}) {
    const Outcome run = editor({"set", "toggleDuration", value});
    EXPECT_EQ(run.status, 2) << value << ": " << run;
    EXPECT_TRUE(contains(run.err, "integer from 0 to 1440 (minutes), or hours and minutes")) << run;
  }
  EXPECT_EQ(prefs().value("toggleDuration"), prefsfile::Value(int64_t{15}));
}

TEST_F(PrefsToolTest, CommandLinesThatAreWrongAreRefused) {
  put(kPrefs, xmlDictionary("<key>timerTime</key><integer>9</integer>"));
  const std::string before = bytes(kPrefs);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {},
           {"frobnicate"},
           {"set", "timerTime"},
           {"get"},
           {"reset"},
           {"reset", "timerTime", "--all"},
           {"list", "extra"},
           {"apps"},
           {"apps", "list"},
           {"apps", "list", "loud"},
           {"apps", "list", "silent", "com.example.extra"},
           {"apps", "add", "silent"},
           {"apps", "remove", "banner"},
           {"apps", "add", "loud", "com.example.chat"},
           {"apps", "add", "silent", "not a bundle"},
           {"apps", "add", "silent", "com.example/../x"},
       }) {
    std::string line;
    for (const std::string& arg : args)
      line += arg + " ";
    const Outcome run = editor(args);
    EXPECT_EQ(run.status, 2) << line << ": " << run;
    EXPECT_FALSE(run.err.empty()) << line;
  }
  const Outcome loud = editor({"apps", "add", "loud", "com.example.chat"});
  EXPECT_TRUE(contains(loud.err, "\"loud\"")) << loud;
  EXPECT_TRUE(contains(loud.err, "silent or banner")) << loud;
  EXPECT_TRUE(contains(editor({"apps", "add", "silent"}).err, "BUNDLE"));
  EXPECT_EQ(bytes(kPrefs), before);
  EXPECT_FALSE(fs::exists(host(kSilent)));
}

TEST_F(PrefsToolTest, TheRootIsGivenOrTakenFromTheEnvironmentNeverAssumed) {
  Outcome none = runProgram(kEditor, {"set", "useTimer", "true"});
  EXPECT_EQ(none.status, 2) << none;
  EXPECT_TRUE(contains(none.err, "--root")) << none;
  EXPECT_TRUE(contains(none.err, "QUELLINE_ROOT")) << none;

  Outcome fromEnvironment =
      runProgram(kEditor, {"set", "useTimer", "true"}, {"QUELLINE_ROOT=" + root_.string()});
  EXPECT_EQ(fromEnvironment.status, 0) << fromEnvironment;
  EXPECT_EQ(prefs().value("useTimer"), Value(true));

  const fs::path other = root_ / "other";
  fs::create_directory(other);
  Outcome given = runProgram(kEditor, {"--root", other.string(), "set", "useTimer", "false"},
                             {"QUELLINE_ROOT=" + root_.string()});
  EXPECT_EQ(given.status, 0) << given;
  EXPECT_EQ(PreferenceFile::load(other / kPrefs).value("useTimer"), Value(false));
  EXPECT_EQ(prefs().value("useTimer"), Value(true)) << "--root wins";

  // A root that is not there yet holds no file: reading it shows the
  // defaults and makes nothing; the first change makes it.
  const fs::path fresh = root_ / "fresh";
  Outcome read = runProgram(kEditor, {"--root", fresh.string(), "get", "useTimer"});
  EXPECT_EQ(read.status, 0) << read;
  EXPECT_FALSE(fs::exists(fresh));
  Outcome made = runProgram(kEditor, {"--root", fresh.string(), "set", "useTimer", "true"});
  EXPECT_EQ(made.status, 0) << made;
  EXPECT_EQ(PreferenceFile::load(fresh / kPrefs).value("useTimer"), Value(true));

  // An empty value, or a root that is no folder, is refused.
  put("plain-file", "x");
  for (const Outcome& refused :
       {runProgram(kEditor, {"--root", "", "list"}, {"QUELLINE_ROOT=" + root_.string()}),
        runProgram(kEditor, {"list"}, {"QUELLINE_ROOT="}),
        runProgram(kEditor, {"--root", host("plain-file").string(), "list"})}) {
    EXPECT_EQ(refused.status, 2) << refused;
    EXPECT_TRUE(contains(refused.err, "empty") || contains(refused.err, "not a folder")) << refused;
  }
}

TEST_F(PrefsToolTest, EveryCommandHasHelp) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"},
                                             {"list", "--help"},
                                             {"get", "--help"},
                                             {"set", "--help"},
                                             {"reset", "--help"},
                                             {"apps", "--help"},
                                             {"apps", "list", "--help"},
                                             {"apps", "add", "--help"},
                                             {"apps", "remove", "--help"}}) {
    const Outcome run = runProgram(kEditor, args);
    EXPECT_EQ(run.status, 0) << args.front() << ": " << run;
    EXPECT_TRUE(contains(run.out, "Usage")) << run;
  }
  EXPECT_TRUE(contains(runProgram(kEditor, {"--help"}).out, "Exit status"));
  // The ranges the editor accepts, from the domain's description.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--help"}, {"set", "--help"}}) {
    const Outcome run = runProgram(kEditor, args);
    EXPECT_TRUE(contains(run.out, "timerTime 1 to 3600, numberOfTaps 1 to 10")) << run;
    EXPECT_FALSE(contains(run.out, "32-bit")) << run;
  }
}

// --- Changes ------------------------------------------------------------------------------

TEST_F(PrefsToolTest, SetStoresBooleansAndIntegersInTheirOwnTypes) {
  const std::vector<std::pair<std::string, bool>> booleans = {
      {"true", true}, {"false", false}, {"yes", true},  {"no", false},
      {"1", true},    {"0", false},     {"TRUE", true}, {"No", false}};
  for (const auto& [text, expected] : booleans) {
    const Outcome run = editor({"set", "hideBanners", text});
    ASSERT_EQ(run.status, 0) << text << ": " << run;
    EXPECT_EQ(prefs().kind("hideBanners"), Kind::Boolean) << text;
    EXPECT_EQ(prefs().value("hideBanners"), Value(expected)) << text;
  }
  for (const auto& [text, expected] : std::vector<std::pair<std::string, int64_t>>{
           {"3600", 3600}, {"1", 1}, {"+7", 7}, {"0007", 7}}) {
    const Outcome run = editor({"set", "timerTime", text});
    ASSERT_EQ(run.status, 0) << text << ": " << run;
    EXPECT_EQ(prefs().kind("timerTime"), Kind::Integer) << text;
    EXPECT_EQ(prefs().value("timerTime"), Value(expected)) << text;
  }
}

TEST_F(PrefsToolTest, SetCreatesAMissingFileAndEveryChangeKeepsTheOtherKeys) {
  EXPECT_FALSE(fs::exists(root_ / "var"));
  Outcome run = editor({"set", "numberOfTaps", "3"});
  ASSERT_EQ(run.status, 0) << run;
  EXPECT_EQ(prefs().keys(), std::vector<std::string>{"numberOfTaps"});
  EXPECT_EQ(fs::status(host(kPrefs)).permissions() & fs::perms::mask, fs::perms(0644));

  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "numberOfTaps", plist_new_uint(3));
  plist_dict_set_item(dict, "haptic", plist_new_bool(0));
  plist_dict_set_item(dict, "someoneElse", plist_new_string("kept"));
  plist_dict_set_item(dict, "stamp", plist_new_date(1000, 0));
  plist_t nested = plist_new_dict();
  plist_dict_set_item(nested, "inner", plist_new_array());
  plist_dict_set_item(dict, "nested", nested);
  char* binary = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &binary, &length);
  put(kPrefs, std::string(binary, length));
  plist_to_bin_free(binary);
  plist_free(dict);
  fs::permissions(host(kPrefs), fs::perms(0600));

  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"set", "useTimer", "yes"}, {"reset", "numberOfTaps"}, {"set", "timerTime", "30"}}) {
    run = editor(args);
    ASSERT_EQ(run.status, 0) << args[0] << " " << args[1] << ": " << run;
  }
  const PreferenceFile file = prefs();
  EXPECT_EQ(file.keys(), (std::vector<std::string>{"haptic", "nested", "someoneElse", "stamp",
                                                   "timerTime", "useTimer"}));
  EXPECT_EQ(file.value("haptic"), Value(false));
  EXPECT_EQ(file.value("someoneElse"), Value(std::string("kept")));
  EXPECT_EQ(file.kind("stamp"), Kind::Date);
  EXPECT_EQ(file.kind("nested"), Kind::Dictionary);
  EXPECT_EQ(file.value("useTimer"), Value(true));
  EXPECT_EQ(file.value("timerTime"), Value(int64_t{30}));
  EXPECT_EQ(fs::status(host(kPrefs)).permissions() & fs::perms::mask, fs::perms(0600));
}

TEST_F(PrefsToolTest, ResetRemovesOneKeyOrEveryKeyTheEditorKnows) {
  put(kPrefs, xmlDictionary("<key>timerTime</key><integer>9</integer>"
                            "<key>haptic</key><false/><key>enableTweakToggle</key><true/>"
                            "<key>someoneElse</key><string>kept</string>"));
  Outcome run = editor({"reset", "timerTime"});
  ASSERT_EQ(run.status, 0) << run;
  EXPECT_TRUE(contains(run.out, "timerTime = 5")) << run;
  EXPECT_EQ(prefs().keys(),
            (std::vector<std::string>{"enableTweakToggle", "haptic", "someoneElse"}));
  run = editor({"reset", "timerTime"});
  EXPECT_EQ(run.status, 0) << "a key that is not there: nothing to do. " << run;

  run = editor({"reset", "--all"});
  ASSERT_EQ(run.status, 0) << run;
  EXPECT_TRUE(contains(run.out, "someoneElse")) << "says what it kept: " << run;
  EXPECT_EQ(prefs().keys(), std::vector<std::string>{"someoneElse"});
  EXPECT_EQ(prefs().value("someoneElse"), Value(std::string("kept")));
}

// --- Reading --------------------------------------------------------------------------------

TEST_F(PrefsToolTest, GetAndListShowTheFileAndTheDefaults) {
  Outcome run = editor({"get", "timerTime"});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_EQ(run.out, "5 (default)\n");
  EXPECT_FALSE(fs::exists(root_ / "var")) << "reading creates nothing";

  put(kPrefs, xmlDictionary("<key>timerTime</key><integer>12</integer>"
                            "<key>useTimer</key><true/><key>numberOfTaps</key><string>x</string>"
                            "<key>someoneElse</key><true/>"));
  EXPECT_EQ(editor({"get", "timerTime"}).out, "12\n");
  EXPECT_EQ(editor({"get", "useTimer"}).out, "true\n");
  EXPECT_EQ(editor({"get", "haptic"}).out, "true (default)\n");
  EXPECT_EQ(editor({"get", "numberOfTaps"}).out, "\"x\" (string)\n");

  run = editor({"get", "timerTime", "--json"});
  ASSERT_EQ(run.status, 0) << run;
  json entry = json::parse(run.out);
  EXPECT_EQ(entry["key"], "timerTime");
  EXPECT_EQ(entry["type"], "integer");
  EXPECT_EQ(entry["value"], 12);
  EXPECT_EQ(entry["default"], 5);
  EXPECT_EQ(entry["inFile"], true);
  EXPECT_EQ(entry["live"], false);
  entry = json::parse(editor({"get", "enableTweakToggle", "--json"}).out);
  EXPECT_EQ(entry["value"], nullptr);
  EXPECT_EQ(entry["default"], false);
  EXPECT_EQ(entry["live"], true);

  run = editor({"list"});
  ASSERT_EQ(run.status, 0) << run;
  EXPECT_TRUE(contains(run.out, (root_ / kPrefs).string())) << run;
  for (const char* key : kKeys)
    EXPECT_TRUE(contains(run.out, key)) << key;
  EXPECT_TRUE(contains(run.out, "someoneElse")) << run;

  run = editor({"list", "--json"});
  ASSERT_EQ(run.status, 0) << run;
  const json all = json::parse(run.out);
  ASSERT_EQ(all["keys"].size(), std::size(kKeys));
  std::map<std::string, json> byKey;
  for (const json& e : all["keys"])
    byKey[e["key"]] = e;
  EXPECT_EQ(byKey["timerTime"]["value"], 12);
  EXPECT_EQ(byKey["useTimer"]["value"], true);
  EXPECT_EQ(byKey["useTimer"]["default"], false);
  EXPECT_EQ(byKey["hideAnimated"]["inFile"], false);
  EXPECT_EQ(byKey["hideAnimated"]["default"], true);
  EXPECT_EQ(byKey["numberOfTaps"]["storedType"], "string");
  for (const char* key : kKeys)
    EXPECT_EQ(byKey[key]["live"], isLive(key)) << key;
  EXPECT_EQ(all["otherKeys"], json::array({"someoneElse"}));
  EXPECT_EQ(all["path"], "/" + std::string(kPrefs));
}

TEST_F(PrefsToolTest, TheEffectiveValueIsWhatTheHomeScreenLoads) {
  // Values of other types than their keys', converted as the library does.
  put(kPrefs, xmlDictionary("<key>timerTime</key><string> 12abc</string>"
                            "<key>numberOfTaps</key><real>3.9</real>"
                            "<key>haptic</key><string>no</string>"
                            "<key>hideBanners</key><integer>0</integer>"
                            "<key>useTimer</key><string>Yes</string>"
                            "<key>disableSound</key><array/>"
                            "<key>touchToReveal</key><real>0.5</real>"));
  std::ofstream(root_ / "dump.scn") << "boot\ndump settings\n";
  const Outcome sim = runProgram(
      kSimulator, {"--json", "--root", root_.string(), "run", (root_ / "dump.scn").string()});
  ASSERT_EQ(sim.status, 0) << sim;
  json settings;
  for (size_t start = 0; start < sim.out.size();) {
    const size_t end = sim.out.find('\n', start);
    const json record = json::parse(sim.out.substr(start, end - start));
    if (record.contains("dump")) settings = record["dump"];
    start = end == std::string::npos ? sim.out.size() : end + 1;
  }
  ASSERT_TRUE(settings.is_object()) << sim;
  for (const auto& [key, loaded] : settings.items()) {
    const Outcome get = editor({"get", key, "--json"});
    ASSERT_EQ(get.status, 0) << get;
    EXPECT_EQ(json::parse(get.out)["effective"], loaded) << key;
    const Outcome plain = editor({"get", key, "--plain"});
    EXPECT_EQ(plain.out, loaded.dump() + "\n") << key;
  }
}

TEST_F(PrefsToolTest, ChangesAnswerInJsonAndAnEmptyListSaysSoApart) {
  Outcome run = editor({"set", "timerTime", "9", "--json"});
  ASSERT_EQ(run.status, 0) << run;
  EXPECT_EQ(json::parse(run.out), json::parse(R"({"key":"timerTime","value":9,"changed":true})"));
  run = editor({"reset", "timerTime", "--json"});
  EXPECT_EQ(json::parse(run.out), json::parse(R"({"key":"timerTime","value":5,"changed":true})"));
  run = editor({"reset", "--all", "--json"});
  EXPECT_EQ(json::parse(run.out), json::parse(R"({"reset":[],"kept":[],"changed":false})"));
  run = editor({"apps", "add", "banner", "a.b", "--json"});
  EXPECT_EQ(json::parse(run.out),
            json::parse(R"({"list":"banner","bundle":"a.b","changed":true,"apps":["a.b"]})"));
  run = editor({"apps", "remove", "banner", "a.b", "--json"});
  EXPECT_EQ(json::parse(run.out),
            json::parse(R"({"list":"banner","bundle":"a.b","changed":true,"apps":[]})"));

  run = editor({"apps", "list", "banner"});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_EQ(run.out, "") << "nothing for $(...)";
  EXPECT_TRUE(contains(run.err, "banner apps list is empty")) << run;

  run = runProgram(kEditor, {"--version"});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_TRUE(run.out.starts_with("quelline-prefs ")) << run;
  // The key list where keys are named, not on every command's help.
  EXPECT_TRUE(contains(runProgram(kEditor, {"set", "--help"}).out, "hideIconsWithToggle"));
  EXPECT_FALSE(
      contains(runProgram(kEditor, {"apps", "list", "--help"}).out, "hideIconsWithToggle"));
}

// --- Files that are not what they should be ----------------------------------------------

TEST_F(PrefsToolTest, ACorruptFileIsLeftAsItIsUnlessForced) {
  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string("keep me"));
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(array, &xml, &length);
  const std::string notDictionary(xml, length);
  plist_to_xml_free(xml);
  plist_free(array);

  for (const std::string& corrupt :
       {std::string("this is no property list \x01\xff"), notDictionary, std::string()}) {
    SCOPED_TRACE(corrupt);
    put(kPrefs, corrupt);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"set", "useTimer", "true"},
                                               {"reset", "useTimer"},
                                               {"reset", "--all"},
                                               {"get", "useTimer"},
                                               {"list"}}) {
      const Outcome run = editor(args);
      EXPECT_EQ(run.status, 3) << args[0] << ": " << run;
      EXPECT_TRUE(contains(run.err, "/" + std::string(kPrefs))) << "the device path: " << run;
      EXPECT_TRUE(contains(run.err, (root_ / kPrefs).string())) << "the host path: " << run;
      EXPECT_EQ(bytes(kPrefs), corrupt) << "byte for byte";
    }
    Outcome forced = editor({"set", "useTimer", "true", "--force"});
    EXPECT_EQ(forced.status, 0) << forced;
    EXPECT_TRUE(contains(forced.err, "--force")) << forced;
    EXPECT_EQ(prefs().keys(), std::vector<std::string>{"useTimer"});

    put(kPrefs, corrupt);
    forced = editor({"reset", "--all", "--force"});
    EXPECT_EQ(forced.status, 0) << forced;
    EXPECT_EQ(prefs().state(), FileState::Dictionary) << "started over even with nothing to reset";
    EXPECT_TRUE(prefs().keys().empty());
  }

  // A file that the checks refuse: the message says why and where.
  std::string deep = "<plist>";
  for (int i = 0; i < 100; ++i)
    deep += "<array>";
  put(kPrefs, deep);
  const Outcome refused = editor({"get", "useTimer"});
  EXPECT_EQ(refused.status, 3) << refused;
  EXPECT_TRUE(
      contains(refused.err, "not a property list: nesting deeper than 64 levels at byte 455"))
      << refused;

  // What is no file at all is not replaced, --force or not.
  fs::remove(host(kPrefs));
  fs::create_directory(host(kPrefs));
  for (bool force : {false, true}) {
    std::vector<std::string> args{"set", "useTimer", "true"};
    if (force) args.push_back("--force");
    const Outcome run = editor(args);
    EXPECT_EQ(run.status, 3) << run;
    EXPECT_TRUE(fs::is_directory(host(kPrefs)));
  }
}

TEST_F(PrefsToolTest, AChangeWaitsForTheLockAndGivesUpWithoutWriting) {
  put(kPrefs, xmlDictionary("<key>useTimer</key><false/>"));
  const std::string before = bytes(kPrefs);
  // Held as the toggle module holds it, for longer than the editor waits.
  int holder =
      ::open(prefsfile::lockPathOf(host(kPrefs)).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  const Outcome run = editor({"set", "useTimer", "true"});
  ::close(holder);
  EXPECT_EQ(run.status, 3) << run;
  EXPECT_TRUE(contains(run.err, "lock")) << run;
  EXPECT_TRUE(contains(run.err, "not changed")) << run;
  EXPECT_EQ(bytes(kPrefs), before);
  EXPECT_EQ(editor({"set", "useTimer", "true"}).status, 0) << "once the lock is free";
}

// --- App lists ------------------------------------------------------------------------------

TEST_F(PrefsToolTest, AppListsAddWithoutDuplicatesRemoveAndList) {
  Outcome run = editor({"apps", "list", "silent"});
  EXPECT_EQ(run.status, 0) << run;
  EXPECT_EQ(run.out, "");
  for (const char* bundle : {"com.example.chat", "com.example.mail", "com.example.chat"})
    ASSERT_EQ(editor({"apps", "add", "silent", bundle}).status, 0) << bundle;
  ASSERT_EQ(editor({"apps", "add", "banner", "com.example.news"}).status, 0);
  EXPECT_EQ(editor({"apps", "list", "silent"}).out, "com.example.chat\ncom.example.mail\n");
  EXPECT_EQ(editor({"apps", "list", "banner"}).out, "com.example.news\n");
  EXPECT_EQ(PreferenceFile::load(host(kSilent)).strings("silentApps"),
            (std::vector<std::string>{"com.example.chat", "com.example.mail"}));
  EXPECT_EQ(PreferenceFile::load(host(kBanner)).strings("bannerApps"),
            std::vector<std::string>{"com.example.news"});
  EXPECT_FALSE(fs::exists(host(kPrefs))) << "the lists have files of their own";

  run = editor({"apps", "remove", "silent", "com.example.chat"});
  EXPECT_EQ(run.status, 0) << run;
  run = editor({"apps", "remove", "silent", "com.example.chat"});
  EXPECT_EQ(run.status, 0) << "not there: nothing to do. " << run;
  EXPECT_TRUE(contains(run.out, "not in")) << run;
  run = editor({"apps", "list", "silent", "--json"});
  ASSERT_EQ(run.status, 0) << run;
  const json list = json::parse(run.out);
  EXPECT_EQ(list["apps"], json::array({"com.example.mail"}));
  EXPECT_EQ(list["list"], "silent");
}

TEST_F(PrefsToolTest, AppListFilesKeepTheirOtherKeysAndRefuseWhatIsNoList) {
  put(kSilent, xmlDictionary("<key>silentApps</key><array><string>a.b</string><integer>3"
                             "</integer></array><key>other</key><string>kept</string>"));
  ASSERT_EQ(editor({"apps", "add", "silent", "c.d"}).status, 0);
  PreferenceFile file = PreferenceFile::load(host(kSilent));
  EXPECT_EQ(file.strings("silentApps"), (std::vector<std::string>{"a.b", "c.d"}));
  EXPECT_EQ(file.value("other"), Value(std::string("kept")));
  EXPECT_TRUE(contains(bytes(kSilent), "<integer>3</integer>")) << "items it does not know stay";

  const std::string notAList = xmlDictionary("<key>silentApps</key><string>a.b</string>");
  put(kSilent, notAList);
  for (const char* command : {"add", "remove"}) {
    const Outcome run = editor({"apps", command, "silent", "a.b"});
    EXPECT_EQ(run.status, 3) << run;
    EXPECT_TRUE(contains(run.err, "silentApps")) << run;
    EXPECT_EQ(bytes(kSilent), notAList);
  }
  EXPECT_EQ(editor({"apps", "list", "silent"}).status, 3);
  const Outcome forced = editor({"apps", "add", "silent", "c.d", "--force"});
  EXPECT_EQ(forced.status, 0) << forced;
  EXPECT_EQ(PreferenceFile::load(host(kSilent)).strings("silentApps"),
            std::vector<std::string>{"c.d"});

  put(kBanner, "garbage");
  Outcome run = editor({"apps", "add", "banner", "c.d"});
  EXPECT_EQ(run.status, 3) << run;
  EXPECT_TRUE(contains(run.err, (root_ / kBanner).string())) << run;
  EXPECT_EQ(bytes(kBanner), "garbage");
}

// --- Two processes ---------------------------------------------------------------------------

// `quelline-sim live` with pipes on its standard input and output.
class LiveSimulator : public RunningProgram {
public:
  LiveSimulator(const fs::path& root, const fs::path& errors)
      : RunningProgram(kSimulator, {"--json", "--root", root.string(), "live"}, {},
                       errors.string()) {}

  // Asks for a dump and returns it; nullopt past the deadline.
  std::optional<json> dump(Clock::time_point deadline) {
    if (!send("dump\n")) return std::nullopt;
    while (std::optional<std::string> line = readLine(deadline)) {
      json record = json::parse(*line, nullptr, false);
      if (record.is_object() && record.contains("dump")) return record["dump"];
    }
    return std::nullopt;
  }
};

// Names from a file or the command line that carry terminal control
// sequences (set the title, clear the screen) are printed escaped: in lists
// of apps and keys, and in the editor's own messages that echo arguments.
TEST_F(PrefsToolTest, NothingFromAFileOrAnArgumentReachesTheTerminalAsAControl) {
  const std::string hostile = "\x1b]0;OWNED\x07\x1b[2J\xc2\x9b"
                              "31m\x7f";
  // No control character but the newline, no DEL, no C1 control (UTF-8).
  auto safe = [](const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if ((c < 0x20 && c != '\n') || c == 0x7f) return false;
      if (c == 0xc2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
          static_cast<unsigned char>(text[i + 1]) <= 0x9f)
        return false;
    }
    return true;
  };
  auto binary = [](plist_t dict) {
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dict, &bytes, &length);
    std::string out(bytes, length);
    plist_to_bin_free(bytes);
    plist_free(dict);
    return out;
  };
  plist_t list = plist_new_dict();
  plist_t apps = plist_new_array();
  plist_array_append_item(apps, plist_new_string(("com.example." + hostile).c_str()));
  plist_dict_set_item(list, "bannerApps", apps);
  put(kBanner, binary(list));
  plist_t prefs = plist_new_dict();
  plist_dict_set_item(prefs, hostile.c_str(), plist_new_string(hostile.c_str()));
  plist_dict_set_item(prefs, "haptic", plist_new_bool(0));
  put(kPrefs, binary(prefs));

  const std::vector<std::vector<std::string>> commands{
      {"apps", "list", "banner"},
      {"apps", "list", "banner", "--json"},
      {"list"},
      {"list", "--json"},
      {"reset", "--all"},
      {"get", hostile},
      {"set", hostile, "1"},
      {"set", "haptic", hostile},
      {"reset", hostile},
      {"apps", "add", "banner", hostile},
      {"apps", "remove", "banner", hostile},
      {"apps", "list", hostile},
      {hostile},
      {"list", hostile},
  };
  for (const std::vector<std::string>& args : commands) {
    const Outcome run = editor(args);
    EXPECT_TRUE(safe(run.out)) << args[0] << ": " << run;
    EXPECT_TRUE(safe(run.err)) << args[0] << ": " << run;
  }
  // What was escaped is still there to be read, once.
  const Outcome shown = editor({"apps", "list", "banner"});
  EXPECT_EQ(shown.out, "\"com.example.\\u001b]0;OWNED\\u0007\\u001b[2J\\u009b31m\\u007f\"\n");
  // A root named by the user is echoed escaped too.
  const Outcome root = runProgram(kEditor, {"--root", (root_ / hostile).string(), "list"});
  EXPECT_EQ(root.status, 0) << root;
  EXPECT_TRUE(safe(root.out)) << root;
  EXPECT_TRUE(contains(root.out, "\\u001b]0;OWNED")) << root;
}

TEST_F(PrefsToolTest, AChangeReachesARunningHomeScreenProcess) {
  using Clock = std::chrono::steady_clock;
  const fs::path errors = root_ / "sim-stderr.txt";
  LiveSimulator sim(root_, errors);
  ASSERT_TRUE(sim.started());
  ASSERT_TRUE(sim.send("boot\n"));
  std::optional<json> state = sim.dump(Clock::now() + std::chrono::seconds(30));
  ASSERT_TRUE(state) << "no answer to dump after boot";
  ASSERT_EQ((*state)["settings"]["useTimer"], false);
  ASSERT_EQ((*state)["settings"]["timerTime"], 5);

  Outcome run = editor({"set", "useTimer", "true"});
  ASSERT_EQ(run.status, 0) << run;
  run = editor({"set", "timerTime", "42"});
  ASSERT_EQ(run.status, 0) << run;

  // The reload reaches the process on its run loop: ask until it shows.
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  bool reached = false;
  while (!reached && Clock::now() < deadline) {
    state = sim.dump(deadline);
    if (!state) break;
    reached = (*state)["settings"]["useTimer"] == true && (*state)["settings"]["timerTime"] == 42;
    if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(reached) << (state ? state->dump() : "no dump");
  sim.closeInput();
  EXPECT_EQ(sim.exitStatus(Clock::now() + std::chrono::seconds(10)), 0);
  std::ifstream in(errors);
  const std::string stderrText((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
  EXPECT_EQ(stderrText, "");
}

} // namespace
