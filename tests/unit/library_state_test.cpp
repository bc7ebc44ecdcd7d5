// What the simulator reads of the library it loaded, by the names the
// library exports: its settings, its hook table and its events, and that
// they agree with what the preference editor says of the domain.
#include "domain.h"
#include "library_state.h"
#include "prefs/domain.h"
#include "temp_folder.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <variant>

namespace {

using nlohmann::json;

class LibraryStateTest : public ::testing::Test {
protected:
  void SetUp() override {
    process_ = std::make_unique<hostsim::home::HomeProcess>(
        root_, hostsim::ClockMode::Virtual,
        hostsim::home::Deliverables{QUELLINE_BIN_DIR "/Quelline.so",
                                    QUELLINE_BIN_DIR "/QuellineModule.bundle"});
    quelline::sim::releaseLibraryHoldingsAtEnd(*process_);
  }
  void TearDown() override { process_.reset(); }

  json state() const {
    json d = process_->dump();
    quelline::sim::addLibraryState(*process_, d);
    return d;
  }

  TempFolder folder_{"quelline-library"};
  std::filesystem::path root_ = folder_.path();
  std::unique_ptr<hostsim::home::HomeProcess> process_;
};

TEST_F(LibraryStateTest, BootLoadsTheLibraryAndRestartStartsItAfresh) {
  EXPECT_TRUE(state()["settings"].is_null()) << "nothing loaded before boot";
  process_->boot({});
  json d = state();
  EXPECT_EQ(d["hooks"].size(), 30u);
  EXPECT_EQ(d["posts"]["prefsReloaded"], 1);
  EXPECT_TRUE(d["file"].is_null());
  process_->wait(2);
  process_->restart();
  d = state();
  EXPECT_EQ(d["posts"]["prefsReloaded"], 1) << "a new process counts afresh";
  EXPECT_EQ(d["hooks"].size(), 30u);
}

TEST_F(LibraryStateTest, VanillaBootHasNoLibrary) {
  process_->boot({{}, false, true});
  json d = state();
  EXPECT_TRUE(d["settings"].is_null());
  EXPECT_TRUE(d["flags"].is_null());
  EXPECT_TRUE(d["hooks"].empty());
  EXPECT_EQ(d["timer"]["held"], false);
}

// The dump shows each cached key of the domain, and nothing else.
TEST_F(LibraryStateTest, TheDumpListsEveryKeyOfTheSettings) {
  process_->boot({});
  std::set<std::string> cached;
#define CACHED_KEY(name, type, fallback, minimum, maximum, reading, text)                          \
  QUELLINE_IF_CACHED(reading, cached.insert(#name);)
  QUELLINE_SETTINGS(CACHED_KEY)
#undef CACHED_KEY
  std::set<std::string> shown;
  const json settings = state()["settings"];
  for (const auto& [key, value] : settings.items())
    shown.insert(key);
  EXPECT_EQ(shown, cached);
}

// What `quelline-prefs get KEY` says of a key absent from the file is what
// the library goes by with no file.
TEST_F(LibraryStateTest, TheEditorsDefaultsAreWhatTheLibraryLoadsWithoutAFile) {
  process_->boot({});
  const json settings = state()["settings"];
  for (const quelline::prefs::KeyInfo& key : quelline::prefs::keys()) {
    const json fallback =
        std::visit([](const auto& v) { return json(v); }, quelline::prefs::defaultValue(key));
    // A live key is read from the file at each use, false when absent.
    const json loaded = key.live ? json(false) : settings.value(std::string(key.name), json());
    EXPECT_EQ(loaded, fallback) << key.name;
  }
}

} // namespace
