// The commands of quelline-prefs, run against one device root. Each reads or
// changes a preference file of the root; a change is one read-change-write
// under the file's advisory lock (the one the toggle module takes), and is
// followed by the cross-process reload notification.
#pragma once

#include "host/files/preference_file.h"
#include "tools/quelline_prefs/editor_domain.h"

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

namespace quelline::prefs {

// Exit statuses of quelline-prefs.
enum ExitStatus : int {
  kExitOk = 0,
  kExitRefused = 2,  // the command line is wrong, or a key, value or bundle is refused
  kExitFileError = 3 // a file could not be read or written; nothing was changed
};

struct EditorOptions {
  std::filesystem::path root; // the device root: device path P is ROOT/P; made by a change
  bool json = false;          // every command: one JSON object instead of text
  bool plain = false;         // get: the effective value alone, for $(…)
  bool force = false;         // changes: start a corrupt file over from an empty dictionary
  double lockWait = prefsfile::kEditorLockWait;
};

class Editor {
public:
  Editor(EditorOptions options, std::ostream& out, std::ostream& err);

  // Each returns the exit status, having reported on `err` what went wrong.
  int list();
  // Every key with its type, what it takes, its default and what it does
  // (reads no file).
  int describeKeys();
  int get(const std::string& key);
  int set(const std::string& key, const std::string& value);
  // Several keys in one change: every pair is read, all are applied, and
  // the result is checked as a whole and written once under one lock.
  int set(const std::vector<std::pair<std::string, std::string>>& pairs);
  int reset(const std::string& key);
  int resetAll();
  int listApps(AppList list);
  int addApp(AppList list, const std::string& bundle);
  int removeApp(AppList list, const std::string& bundle);

private:
  std::filesystem::path hostPath(std::string_view devicePath) const;
  // "DEVICE-PATH (on this machine: HOST-PATH)".
  std::string where(std::string_view devicePath) const;
  // The file at `devicePath`, loaded to be read; throws when it cannot be.
  prefsfile::PreferenceFile loadForReading(std::string_view devicePath) const;
  // Makes a loaded file editable: a corrupt file is refused, or with
  // --force started over (said on `err`). Throws when refused; false when
  // the file was started over.
  bool requireEditable(prefsfile::PreferenceFile& file, std::string_view devicePath);
  // Runs `edit` on the file (made editable) under its lock, saving when it
  // returns true or the file was started over; then posts the reload.
  // Whether the file was written.
  bool change(std::string_view devicePath,
              const std::function<bool(prefsfile::PreferenceFile&)>& edit);
  int run(const std::function<void()>& command);

  EditorOptions options_;
  std::ostream& out_;
  std::ostream& err_;
};

} // namespace quelline::prefs
