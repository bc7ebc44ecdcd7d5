// The Settings app as the simulator runs it, a process of its own: one that
// ends under the simulator is a failure of the command that needed it, said
// with how it ended, never a hang or a SIGPIPE; the next settings command
// starts it again. Each end of the channel says why a line did not come,
// and the process reads its requests strictly.
#include "prefs/domain.h"
#include "sim/runner.h"
#include "sim/scenario.h"
#include "sim/settings_app.h"
#include "tests/unit/temp_folder.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sstream>
#include <string>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace quelline::sim;

// A Settings program that says it is ready and ends at once with status 4,
// before it reads the request.
fs::path dyingProgram(const fs::path& folder) {
  const fs::path program = folder / "dying-settings-app";
  std::ofstream(program) << "#!/bin/sh\necho '{\"ready\":true}'\nexit 4\n";
  fs::permissions(program, fs::perms::owner_all);
  return program;
}

TEST(SettingsAppTest, AProcessThatEndsIsAFailureOfTheCommandSaidWithHowItEnded) {
  TempFolder folder("quelline-settings-app");
  const fs::path root = folder.path() / "root";
  fs::create_directories(root);
  std::ostringstream trace;
  Output output(trace, Format::Text, false);
  RunnerOptions options;
  options.root = root;
  options.deliverables = hostsim::home::Deliverables{QUELLINE_BIN_DIR "/Quelline.so",
                                                     QUELLINE_BIN_DIR "/QuellineModule.bundle"};
  options.settingsApp = dyingProgram(folder.path());
  Runner runner(options, output);
  const auto open = parseLine("settings open", Location{"<test>", 1});
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      runner.run(*open, root);
      FAIL() << "settings open ran with a Settings process that had ended";
    } catch (const SimulatorFailure& e) {
      EXPECT_NE(std::string(e.what()).find("exited with status 4"), std::string::npos) << e.what();
    }
    // Nothing of the pane is shown.
    EXPECT_TRUE(runner.state()["pane"].is_null());
  }
}

// A Settings program that says it is ready, reads one request, then does
// `then` (shell).
fs::path fakeProgram(const fs::path& folder, const std::string& name, const std::string& then) {
  const fs::path program = folder / name;
  std::ofstream(program) << "#!/bin/sh\necho '{\"ready\":true}'\nread request\n" << then << "\n";
  fs::permissions(program, fs::perms::owner_all);
  return program;
}

// The message of the failure of one request to `program`; `during` runs on
// another thread while it waits.
std::string failureOf(const fs::path& program, const fs::path& root,
                      const std::function<void()>& during = {}) {
  SettingsApp app(program, root);
  std::thread other;
  if (during) other = std::thread(during);
  std::string message;
  try {
    (void)app.request(settingsapp::encode(settingsapp::Open{}));
    message = "it answered";
  } catch (const SettingsAppFailure& e) {
    message = e.what();
  }
  if (other.joinable()) other.join();
  return message;
}

TEST(SettingsAppTest, ALineThatDidNotComeIsReportedWithItsReason) {
  TempFolder folder("quelline-settings-app");
  const fs::path root = folder.path();
  // 17 MiB on one line: more than either side reads.
  EXPECT_NE(
      failureOf(fakeProgram(root, "too-long", "head -c 17825792 /dev/zero | tr '\\0' x"), root)
          .find("it sent a line longer than 16 MiB"),
      std::string::npos);
  // Its output (the socket's both ends of it) closed, the process still there.
  EXPECT_NE(failureOf(fakeProgram(root, "closed", "exec 0<&- 1>&-\nexec sleep 10"), root)
                .find("it closed its output but did not end"),
            std::string::npos);
  // A signal cuts the wait short (as Ctrl-C does through the stop handlers).
  struct sigaction action {};
  action.sa_handler = [](int) {};
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &before), 0); // no SA_RESTART
  const pthread_t waiting = pthread_self();
  const std::string interrupted =
      failureOf(fakeProgram(root, "silent", "exec sleep 10"), root, [waiting] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        pthread_kill(waiting, SIGUSR1);
      });
  sigaction(SIGUSR1, &before, nullptr);
  EXPECT_NE(interrupted.find("interrupted by a signal"), std::string::npos) << interrupted;
}

TEST(SettingsAppTest, TheProcessRefusesRequestsItCannotReadAndGoesOn) {
  TempFolder folder("quelline-settings-app");
  SettingsApp app(QUELLINE_BIN_DIR "/quelline-settings-app", folder.path());
  const auto errorOf = [&](const nlohmann::json& request) {
    const nlohmann::json reply = app.request(request);
    EXPECT_LT(reply.dump().size(), 300u) << "the reply echoes the request";
    return reply.value("error", std::string("(no error)"));
  };
  ASSERT_FALSE(app.request(settingsapp::encode(settingsapp::Open{})).contains("error"));
  // A line over the limit is never held whole nor echoed.
  EXPECT_EQ(errorOf({{"op", "open"}, {"padding", std::string(size_t{17} << 20, 'x')}}),
            "a request of a line longer than 16 MiB");
  // An unknown list or action is an error, never a default.
  EXPECT_NE(errorOf({{"op", "apps"}, {"list", "nope"}, {"action", "add"}, {"app", "com.a"}})
                .find("\"list\" silent or banner, not \"nope\""),
            std::string::npos);
  EXPECT_NE(errorOf({{"op", "apps"}, {"list", "silent"}, {"action", "zap"}, {"app", "com.a"}})
                .find("\"action\" add or remove, not \"zap\""),
            std::string::npos);
  EXPECT_NE(errorOf({{"op", "apps"}, {"list", "silent"}, {"action", "add"}}).find("\"app\""),
            std::string::npos);
  EXPECT_NE(errorOf({{"op", "storage"}, {"full", "yes"}}).find("boolean \"full\""),
            std::string::npos);
  EXPECT_NE(errorOf({{"op", "open"}, {"extra", 1}}).find("no field \"extra\""), std::string::npos);
  // Nothing was applied, and the next request is read as one.
  const nlohmann::json pane = app.request(settingsapp::encode(settingsapp::Open{}))["pane"];
  EXPECT_TRUE(pane["open"]);
  EXPECT_FALSE(fs::exists(folder.path() / ("." QUELLINE_SILENT_APPS_PATH)));
  EXPECT_FALSE(fs::exists(folder.path() / ("." QUELLINE_BANNER_APPS_PATH)));
}

} // namespace
