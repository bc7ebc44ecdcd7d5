// The one error of the file library: which file, what kind of failure, and
// why, in words that name the file. Whoever reports it (the preference
// editor, the simulator) chooses its exit status from the kind.
#pragma once

#include "host/files/shown_text.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace prefsfile {

enum class FileProblem {
  Missing,         // no such file
  Unreadable,      // not a regular file, or it could not be read
  TooLarge,        // larger than the bound for the read
  NotPropertyList, // malformed, or refused by the checks that guard libplist
  NotDictionary,   // a property list whose top level is no dictionary
  Refused,         // a key or value that cannot be stored, or no array where one is edited
  LockUnavailable, // the lock was not had in time: nothing was read or written
  WriteFailed,     // the write did not happen; the file is unchanged
  NotDurable,      // the file was replaced, but may not survive a power failure
};

class FileError : public std::runtime_error {
public:
  // what() is "\"PATH\": DETAIL".
  FileError(FileProblem problem, const std::filesystem::path& path, const std::string& detail);

  FileProblem problem() const { return problem_; }
  const std::filesystem::path& path() const { return path_; }
  // Why, without the file's name.
  const std::string& detail() const { return detail_; }

private:
  FileProblem problem_;
  std::filesystem::path path_;
  std::string detail_;
};

} // namespace prefsfile
