// What the simulator reads of the library it loaded, by the names the
// library exports: its settings, its hook table and its events, and that
// they agree with what the preference editor says of the domain.
#include "core/hook_table.h"
#include "prefs/domain.h"
#include "sim/library_state.h"
#include "tests/unit/temp_folder.h"
#include "tools/quelline_prefs/editor_domain.h"

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

  // The rows of the library's hook table, as it exports their count.
  size_t hookRows() const {
    const auto* size =
        static_cast<const uint32_t*>(process_->librarySymbol("QuellineHookTableSize"));
    return size == nullptr ? 0 : *size;
  }

  // The rows of the system the library found itself on.
  size_t targetRows() const {
    const auto* rows =
        static_cast<const QuellineHookRow*>(process_->librarySymbol("QuellineHookTable"));
    const auto* target =
        static_cast<const uint8_t*>(process_->librarySymbol("QuellineHookTableTarget"));
    size_t n = 0;
    for (size_t i = 0; i < hookRows(); ++i)
      n += (rows[i].targets & *target) != 0;
    return n;
  }

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
  EXPECT_EQ(d["hooks"].size(), targetRows());
  EXPECT_EQ(d["posts"]["prefsReloaded"], 1);
  EXPECT_TRUE(d["file"].is_null());
  process_->wait(2);
  process_->restart();
  d = state();
  EXPECT_EQ(d["posts"]["prefsReloaded"], 1) << "a new process counts afresh";
  EXPECT_EQ(d["hooks"].size(), targetRows());
}

// On each modeled system the library picks its target from CoreFoundation's
// version, and every row of that target meets the home screen: its class is
// there, a replaced method was the host's to replace (its implementation
// was taken), an added one answers. A row for a class or method the host
// does not model, or aimed at the wrong generation, fails here.
TEST_F(LibraryStateTest, EveryHookRowIsFoundOnTheModeledHomeScreen) {
  using hostsim::home::HomeScreen;
  for (auto [screen, target] :
       {std::pair{HomeScreen::iOS11, kHookTargetIOS11}, {HomeScreen::iOS16, kHookTargetIOS15}}) {
    SCOPED_TRACE(screen == HomeScreen::iOS11 ? "iOS 11" : "iOS 16");
    process_->shutdown();
    hostsim::home::BootOptions options;
    options.screen = screen;
    process_->boot(options);
    const auto* rows =
        static_cast<const QuellineHookRow*>(process_->librarySymbol("QuellineHookTable"));
    ASSERT_NE(rows, nullptr);
    EXPECT_EQ(*static_cast<const uint8_t*>(process_->librarySymbol("QuellineHookTableTarget")),
              target);
    ASSERT_GT(targetRows(), 0u);
    for (size_t i = 0; i < hookRows(); ++i) {
      const QuellineHookRow& row = rows[i];
      if ((row.targets & target) == 0) continue;
      const std::string name = std::string(row.onMetaclass ? "+[" : "-[") + row.className + " " +
                               row.selector + "] (row " + std::to_string(i) + ")";
      Class cls = objc_getClass(row.className);
      if (cls == nil) {
        ADD_FAILURE() << name << ": no such class on the modeled home screen";
        continue;
      }
      if (row.op == QuellineHookOp::Replace)
        EXPECT_NE(*row.slot, nullptr) << name << ": the host has no such method to replace";
      else
        EXPECT_TRUE(class_respondsToSelector(
            row.onMetaclass ? object_getClass(reinterpret_cast<id>(cls)) : cls,
            sel_registerName(row.selector)))
            << name << ": not added";
    }
    const json hooks = state()["hooks"];
    for (const json& hook : hooks)
      EXPECT_TRUE(hook["found"].get<bool>()) << hook.dump();
  }
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
#define CACHED_KEY(name, type, fallback, minimum, maximum, reading, pane, label, text)             \
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
    // A live key is read from the file at each use: false when absent, or
    // 0 for the toggle's duration (until switched off).
    const json live = key.type == quelline::prefs::KeyType::Boolean ? json(false) : json(0);
    const json loaded = key.live ? live : settings.value(std::string(key.name), json());
    EXPECT_EQ(loaded, fallback) << key.name;
  }
}

} // namespace
