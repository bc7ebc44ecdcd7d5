// Editing the property-list files of a device root, as the preference
// editor and the simulator's `prefs` and `apps` commands do: load a file,
// read and change keys of its top-level dictionary, save it atomically.
//
// A file is untrusted input: it is read only when it is a regular file of at
// most kMaxPreferenceFileBytes, and checked before libplist parses it, by
// the same code (plist_files.h) and to the same bounds as
// the platform's own reader: what one takes for a property list, so does the
// other. A file that is not a dictionary property list is never overwritten
// by an edit: the edit throws FileError and the file stays as it was,
// unless startEmpty() is asked for.
//
// Processes that change one file take its advisory lock around their
// read-change-write (editLocked), as the toggle module does, so that
// neither loses the other's change.
#pragma once

#include "host/files/file_error.h"
#include "host/files/plist_files.h"
#include "host/files/preference_value.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace prefsfile {

// Larger files are no property list to the reader, and save() refuses to
// write one: the device's preferences refuse domains of 4 MiB or more.
inline constexpr size_t kMaxPreferenceFileBytes = kMaxPropertyListBytes;

// What a load found at the path.
enum class FileState {
  Missing,         // no file: an edit creates it
  Unreadable,      // not a regular file, or it could not be read
  NotPropertyList, // too large, malformed, or not a property list at all
  NotDictionary,   // a property list whose top level is no dictionary
  Dictionary,      // editable
};

// The kind of value a key holds.
enum class Kind { Boolean, Integer, Real, String, Array, Dictionary, Date, Data, Other };

class PreferenceFile {
public:
  // Reads the file at `path` (a host path). Never throws for what the file
  // holds: state() and problem() say what was found.
  static PreferenceFile load(const std::filesystem::path& path);

  PreferenceFile(PreferenceFile&&) noexcept;
  PreferenceFile& operator=(PreferenceFile&&) noexcept;
  ~PreferenceFile();

  const std::filesystem::path& path() const;
  FileState state() const;
  // Why the file is not editable ("" when it is): "not a regular file",
  // "not a property list: nesting deeper than 64 levels at byte 9", ….
  const std::string& problem() const;
  // Missing or a dictionary: edits are allowed.
  bool editable() const;

  // The keys of the dictionary, sorted; none unless state() is Dictionary
  // (or the file was Missing and has been edited).
  std::vector<std::string> keys() const;
  bool has(std::string_view key) const;
  std::optional<Kind> kind(std::string_view key) const;
  // The value of `key` when it is a boolean, integer, real or string.
  std::optional<Value> value(std::string_view key) const;
  // The strings of the array under `key` (other items skipped); nullopt when
  // the key is absent or holds no array.
  std::optional<std::vector<std::string>> strings(std::string_view key) const;

  // Edits (in memory, until save()). Each throws FileError when the file is
  // not editable (its state's problem), or Refused when `key` is empty.
  void set(std::string_view key, const Value& value);
  // Whether the key was there.
  bool remove(std::string_view key);
  // Adds `item` to the array of strings under `key` (created when absent)
  // unless it is there already; whether it was added. Throws when the key
  // holds something other than an array (Refused).
  bool addString(std::string_view key, std::string_view item);
  // Removes every `item` from the array under `key`; whether any was there.
  // Throws when the key holds something other than an array.
  bool removeString(std::string_view key, std::string_view item);

  // Forgets what was read (a file that is no dictionary property list
  // included) and starts from an empty dictionary: the next save() replaces
  // the file. For a file that the user chose to give up; a file that could
  // not be read (Unreadable) is not replaced by a save either way, as the
  // writer replaces regular files only.
  void startEmpty();

  // Writes the dictionary as an XML property list, atomically (see
  // writeFileAtomically). Throws FileError when the file is not editable or
  // the write fails (WriteFailed); the file on disk is then unchanged.
  void save();

private:
  struct Impl;
  explicit PreferenceFile(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// --- Changes under the advisory lock -------------------------------------------------

// How long an editor (the preference editor, and quelline-sim's `prefs` and
// `apps` edits, which act as it does) waits for the lock of a file. The
// toggle module holds it for a few milliseconds and never waits for it (it
// tries again later from the home screen's run loop); a person at an
// editor can wait longer, but not forever for a process that is stuck.
inline constexpr double kEditorLockWait = 5.0;

// One read-change-write of the file at `path`: takes its lock (waiting at
// most `lockWait` seconds), loads the file, calls `change`, and saves when
// `change` returns true; the lock is held until the file is written.
// Returns what `change` returned. Throws FileError: LockUnavailable when
// the lock is not had (a missing folder included: nothing read), WriteFailed
// when the save fails (the file is unchanged); whatever `change` throws
// passes through, nothing written.
bool editLocked(const std::filesystem::path& path, double lockWait,
                const std::function<bool(PreferenceFile&)>& change);

} // namespace prefsfile
