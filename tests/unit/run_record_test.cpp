// The run's records as the report and the live phone read them: a state
// record holds what changed since the one before, so that the records grow
// with the run's length, not with its square.
#include "sim/record.h"
#include "sim/runner.h"
#include "sim/scenario.h"
#include "tests/unit/temp_folder.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quelline::sim;

class RunRecordTest : public ::testing::Test {
protected:
  RunRecordTest() : output_(trace_, Format::Text, false), runner_(options(), output_) {
    runner_.setObserver(&recorder_);
  }

  RunnerOptions options() const {
    RunnerOptions o;
    o.root = root_;
    o.deliverables = hostsim::home::Deliverables{QUELLINE_BIN_DIR "/Quelline.so",
                                                 QUELLINE_BIN_DIR "/QuellineModule.bundle"};
    return o;
  }

  void run(const std::string& line) {
    runner_.run(*parseLine(line, Location{"<test>", ++line_}), root_);
  }

  json states() const { return recorder_.snapshot()["states"]; }

  // `value` without the members that are null: a merge patch says null
  // for "gone", so the records add up to the state without them.
  static json withoutNulls(json value) {
    if (!value.is_object()) return value;
    json out = json::object();
    for (auto& [key, member] : value.items())
      if (!member.is_null()) out[key] = withoutNulls(member);
    return out;
  }

  // The perceived state the records add up to.
  static json added(const json& records) {
    json state = json::object();
    for (const json& r : records)
      state.merge_patch(r["changed"]);
    return state;
  }

  TempFolder folder_{"quelline-record"};
  fs::path root_ = folder_.path();
  std::ostringstream trace_;
  Output output_;
  Runner runner_;
  RunRecorder recorder_{"<test>", false};
  int line_ = 0;
};

TEST_F(RunRecordTest, StateRecordsHoldWhatChangedAndAddUpToTheState) {
  run("boot");
  run("switch silent");
  for (int i = 0; i < 300; ++i)
    run("notify com.example.app" + std::to_string(i % 7));
  const json records = states();
  ASSERT_EQ(records.size(), 302u);
  EXPECT_EQ(records[0]["process"], "boot");
  EXPECT_FALSE(records[1].contains("process"));
  // The 300th notification's record is no larger than the first's: no log
  // that grows with the run, only the counts that moved.
  const size_t first = records[2].dump().size();
  const size_t last = records[301].dump().size();
  EXPECT_LE(last, first + 8) << records[301];
  EXPECT_EQ(records[301]["changed"]["realerts"]["count"], 300);
  EXPECT_FALSE(records[301]["changed"].contains("settings"));
  // The records add up to the state the process shows.
  const json state = runner_.state();
  const json sum = added(records);
  for (const char* field : {"settings", "flags", "list", "icons", "ringer", "module", "banners"})
    EXPECT_EQ(sum[field], withoutNulls(state[field])) << field;
  EXPECT_EQ(sum["realerts"]["count"], state["realerts"].size());
  EXPECT_EQ(sum["realerts"]["last"], state["realerts"].back());
}

TEST_F(RunRecordTest, OneChangedKeyOfALargeFileIsRecordedAlone) {
  // A legal file of 2,000 keys besides the domain's.
  const fs::path file = root_ / "var/mobile/Library/Preferences/com.veltrasse.quelline.plist";
  fs::create_directories(file.parent_path());
  {
    std::ofstream out(file);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>";
    for (int i = 0; i < 2000; ++i)
      out << "<key>extra" << i << "</key><string>" << std::string(100, 'x') << "</string>";
    out << "</dict></plist>\n";
  }
  run("boot");
  run("prefs set haptic false");
  run("restart");
  const json records = states();
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0]["changed"]["file"].size(), 2000u);
  EXPECT_EQ(records[1]["changed"]["file"], json({{"haptic", false}}));
  EXPECT_LT(records[1].dump().size(), 400u) << "not the whole file again";
  EXPECT_EQ(records[2]["process"], "restart");
  EXPECT_EQ(added(records)["file"], withoutNulls(runner_.state()["file"]));
}

TEST_F(RunRecordTest, ARefusedBootRecordsNoProcess) {
  run("boot");
  EXPECT_THROW(run("boot"), ScenarioError);
  const json snapshot = recorder_.snapshot();
  EXPECT_EQ(snapshot["commands"].size(), 2u) << "the line is recorded";
  ASSERT_EQ(snapshot["states"].size(), 1u) << "but it started nothing";
  EXPECT_EQ(snapshot["states"][0]["process"], "boot");
}

TEST_F(RunRecordTest, ManyStatesAddUpToTheStateAndAppsAreAsRead) {
  run("boot");
  run("switch silent");
  for (int i = 0; i < 10; ++i)
    run("notify \"My App\"");
  const json snapshot = recorder_.snapshot();
  json state = snapshot["stateBase"]["state"];
  for (const json& r : snapshot["states"])
    state.merge_patch(r["changed"]);
  EXPECT_EQ(state["ringer"], withoutNulls(runner_.state()["ringer"]));
  EXPECT_EQ(state["realerts"]["count"], 10);
  EXPECT_EQ(snapshot["commands"].back()["app"], "My App") << "the app as read";
}

// Records past what a list keeps in memory move on to a file, and come
// back whole and in order, in the snapshot and in the text written piece by
// piece.
TEST_F(RunRecordTest, RecordsKeptOnFileComeBackWholeAndInOrder) {
  const std::string app(1000, 'a');
  for (int i = 0; i < 600; ++i) // 600 events of over 1 KB: past the memory kept
    recorder_.event(nlohmann::ordered_json{{"t", i}, {"event", "wake"}, {"app", app}});
  const json snapshot = recorder_.snapshot();
  ASSERT_EQ(snapshot["events"].size(), 600u);
  EXPECT_EQ(snapshot["events"][599]["t"], 599);
  EXPECT_EQ(snapshot["end"], 599);
  std::string text;
  recorder_.writeSnapshot([&](std::string_view piece) {
    text += piece;
    return true;
  });
  EXPECT_EQ(json::parse(text), snapshot);
}

} // namespace
