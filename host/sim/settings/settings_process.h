// The modeled Settings app: the platform booted over a device root,
// Settings' own classes (PSListController, PSSpecifier, a navigation
// controller, alerts, the app-list editor of libsparkapplist), and
// PreferenceLoader, which reads the pane's entry under
// ROOT/Library/PreferenceLoader/Preferences, copies the built pane bundle
// under ROOT/Library/PreferenceBundles as the package would, loads its
// executable and makes its principal class by name. Each method is one thing
// a person does in the app; all of them run inside an autorelease pool and
// leave due cross-process deliveries to the run loop.
//
// The process emits the platform's own trace events (the file writes, a
// write that failed and why, the cross-process posts); what a person's
// action came to is the Outcome it returns, for the caller to report.
//
// One process per address space: the stand-in has one runtime, so a
// SettingsProcess and a HomeProcess are never booted at the same time in
// one OS process (the simulator runs the Settings app as a program of its
// own).
#pragma once

#include "host/sim/services/run_loop.h"

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace hostsim::settings {

struct BootOptions {
  // Classes absent from the process. "SparkAppListTableViewController":
  // libsparkapplist is not installed, so the app-list editor cannot be made.
  std::set<std::string> without;
};

struct Deliverables {
  std::filesystem::path paneBundle;  // the built QuellinePrefs.bundle folder
  std::filesystem::path loaderEntry; // the built PreferenceLoader entry (Quelline.plist)
};

// What became of something a person did in the pane.
struct Outcome {
  enum class Kind {
    Applied, // the control shows the value and the pane stored it
    Refused, // the control cannot give that value (a switch given a number, a
             // slider moved outside its range, a disabled row, no such row)
    Failed,  // the pane tried and the system refused: it showed an alert
  };
  Outcome(Kind k, std::string text = {}, nlohmann::json value = nullptr)
      : kind(k), message(std::move(text)), stored(std::move(value)) {}
  Kind kind;
  // Refused: why, naming the key and what the control takes ("timerTime takes
  // a whole number from 1 to 3600"). Failed: the alert's text.
  std::string message;
  // Applied by a control: what the control shows afterwards, the value the
  // pane stored (a slider given 6.6 shows 7); null when nothing was written
  // (a switch already in that position). Several controls: {KEY: value}.
  nlohmann::json stored;
};

const char* kindName(Outcome::Kind kind); // "applied", "refused", "failed"

enum class AppList { Silent, Banner };
enum class AppEdit { Add, Remove };

class SettingsProcess {
public:
  SettingsProcess(std::filesystem::path root, ClockMode clock, Deliverables deliverables);
  ~SettingsProcess();
  SettingsProcess(const SettingsProcess&) = delete;
  SettingsProcess& operator=(const SettingsProcess&) = delete;

  // The process starts: platform, Settings' classes, PreferenceLoader (the
  // entry read, the bundle copied under the root and loaded, its principal
  // class made). Throws std::runtime_error when the entry or the bundle
  // cannot be loaded.
  void boot(const BootOptions& options = {});
  // The process ends (pending work dropped, an open pane closed); files stay.
  void end();
  bool booted() const;
  const std::filesystem::path& root() const;

  // The device's storage is full: the process's writes of files fail with
  // the system's reason (ENOSPC). May be set before boot.
  void setStorageFull(bool full);
  // Writes of property-list files that the process failed since it started.
  size_t failedWrites() const;

  // A person taps Quelline in Settings' list: the pane's root controller is
  // pushed and loads its specifiers. Opening again reloads them (the pane
  // reads the file afresh).
  void open();
  bool isOpen() const;

  // What the open pane shows (null when it is not open):
  //   {"title": T, "groups": [{"title": T, "footer": F or null, "rows": [ROW...]}]}
  // ROW: {"key": K or null, "label": L, "cell": "switch"|"slider"|"link",
  //       "value": V or null, "enabled": B, and for a slider "min", "max";
  //       for a link "id" (the row's identifier) and, for an app-list row,
  //       "list": "silent"|"banner"}. A group's footer is what the pane set
  //       last (it may say why its rows are disabled).
  // `value` is what the control shows (read through the pane's
  // readPreferenceValue:), a boolean or an integer.
  nlohmann::json rows() const;

  // A person sets the control of KEY to VALUE (a JSON boolean for a switch,
  // a number for a slider, which hands the pane that number: the pane
  // stores the nearest whole one; a value outside the slider's range
  // cannot be given). A switch already in that position is left alone
  // (applied, nothing written). The pane must be open (else
  // std::logic_error).
  Outcome set(const std::string& key, const nlohmann::json& value);
  // Several controls changed as one (the rows' target is told once, with
  // all of them): refused, with nothing changed, when any of them cannot
  // give its value. `stored` is then {KEY: value} of the controls changed.
  Outcome set(const std::vector<std::pair<std::string, nlohmann::json>>& changes);

  // A person opens the app-list row of LIST (the pane pushes the editor)
  // and checks or unchecks APP in it, then goes back. Refused when the row
  // is disabled or the pane pushed no editor.
  Outcome apps(AppList list, AppEdit edit, const std::string& app);

  // The alerts the pane showed since the process started, in order:
  //   [{"title": T, "message": M}]
  nlohmann::json alerts() const;

  // The view controllers on the navigation stack, bottom first (class names).
  nlohmann::json navigation() const;

  // The virtual clock moves on; due work runs in time order. In live mode
  // (real clock) this waits.
  void wait(double seconds);
  // Runs what is due now (cross-process deliveries included).
  void runDue();
  double now() const;

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace hostsim::settings
