// Editing the property-list files of a device root, as the preference
// editor and the simulator's `prefs` and `apps` commands do: load a file,
// read and change keys of its top-level dictionary, save it atomically.
//
// A file is untrusted input: it is read only when it is a regular file of at
// most kMaxPreferenceFileBytes, and checked before libplist parses it. A file
// that is not a dictionary property list is never overwritten by an edit:
// the edit throws PreferenceFileError and the file stays as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quelline::prefsfile {

// Larger files are no property list to the reader, and save() refuses to
// write one: the device's preferences refuse domains of 4 MiB or more.
inline constexpr size_t kMaxPreferenceFileBytes = size_t{4} << 20;

// What a load found at the path.
enum class FileState {
  Missing,         // no file: an edit creates it
  Unreadable,      // not a regular file, or it could not be read
  NotPropertyList, // too large, malformed, or not a property list at all
  NotDictionary,   // a property list whose top level is no dictionary
  Dictionary,      // editable
};

// A scalar value of a key.
using Value = std::variant<bool, int64_t, double, std::string>;

// The kind of value a key holds.
enum class Kind { Boolean, Integer, Real, String, Array, Dictionary, Date, Data, Other };

// An edit or a save that cannot be done; what() names the file and says why.
class PreferenceFileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

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
  // Why the file is not editable ("" when it is).
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

  // Edits (in memory, until save()). Each throws PreferenceFileError when
  // the file is not editable, or when `key` is empty.
  void set(std::string_view key, const Value& value);
  // Whether the key was there.
  bool remove(std::string_view key);
  // Adds `item` to the array of strings under `key` (created when absent)
  // unless it is there already; whether it was added. Throws when the key
  // holds something other than an array.
  bool addString(std::string_view key, std::string_view item);
  // Removes every `item` from the array under `key`; whether any was there.
  // Throws when the key holds something other than an array.
  bool removeString(std::string_view key, std::string_view item);

  // Writes the dictionary as an XML property list, atomically (see
  // writeFileAtomically). Throws PreferenceFileError when the file is not
  // editable or the write fails; the file on disk is then unchanged.
  void save();

private:
  struct Impl;
  explicit PreferenceFile(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Whether `bytes` may be handed to libplist: bounded in size, and (where the
// platform's checker is available) well formed enough that the parser stays
// inside the buffer and its recursion stays bounded.
bool bytesSafeToParse(std::span<const uint8_t> bytes);

// Replaces the file at `path` with `bytes`: a temporary file in the same
// folder, written, flushed to disk, then renamed over the file; the folder
// is flushed after. The new file keeps the old file's permission bits (0644
// for a new file). On failure the temporary file is removed, the old file
// is left as it was, and PreferenceFileError says which step failed.
void writeFileAtomically(const std::filesystem::path& path, std::span<const uint8_t> bytes);

// The bytes of the regular file at `path`, at most `limit` of them; throws
// PreferenceFileError when it is missing, no regular file, unreadable or
// larger than `limit`.
std::vector<uint8_t> readFileBytes(const std::filesystem::path& path, size_t limit);

} // namespace quelline::prefsfile
