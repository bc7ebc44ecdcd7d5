// Property-list files as bytes and libplist trees, without the runtime:
// the checks that every file passes before libplist 2.2.0 sees it, the
// bounded read of a regular file, and the atomic write. The platform's
// NSDictionary file methods (property_lists.h) and the tools that edit a
// device root's preference files (preference_file.h) both stand on
// this, so that they agree on what is a property list and how it is written.
//
// A file is untrusted input: libplist 2.2.0 trusts the offsets and lengths of
// a binary file more than it should and frees, copies and writes trees
// recursively, so nothing reaches it that could make it read outside the
// buffer, follow a cycle or recurse without limit.
#pragma once

#include "host/files/file_error.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace prefsfile {

// Files larger than this are no property list to the reader, and the writer
// refuses to produce one: the device's own preferences refuse domains of
// 4 MiB or more, and a settings file is a few hundred bytes.
inline constexpr size_t kMaxPropertyListBytes = size_t{4} << 20;

// Arrays and dictionaries nested deeper than this (the top-level container
// counts as 1) make a file no property list, and are refused by the writer.
// libplist frees, copies and writes trees recursively, so unbounded nesting
// would overflow the stack; settings files nest two or three levels.
inline constexpr int kMaxPropertyListDepth = 64;

// Values (keys and containers included) that one file may hold once every
// reference is followed. The binary format lets one object be referenced
// many times and libplist copies it for each reference, so a few hundred
// bytes could otherwise expand without limit.
inline constexpr size_t kMaxPropertyListValues = size_t{1} << 18;

// --- Bytes and trees ------------------------------------------------------------

// Why the checks refused bytes, and where.
struct PropertyListRefusal {
  enum class Reason {
    Empty,
    BadHeader,      // "bplist" of another version than 00
    TooLarge,       // more than kMaxPropertyListBytes
    BadOffset,      // a trailer, offset, length or reference outside the file
    BadObject,      // an object that is no property-list value (a UID, a bad marker)
    ReferenceCycle, // a container that holds itself
    Nesting,        // containers deeper than kMaxPropertyListDepth
    TooManyValues,  // more than kMaxPropertyListValues values
    BadXml,         // elements that are not balanced, or an odd tag
    NulInString,    // a string (a key or a value) holding U+0000
    BadDate,        // a date beyond libplist's 32-bit seconds since 2001
    Malformed,      // libplist cannot read it
  };
  Reason reason;
  std::optional<uint64_t> offset; // the byte where it was found, when known

  // "nesting deeper than 64 levels at byte 1234".
  std::string describe() const;
};

// Why `bytes` may not be handed to libplist, or nothing when they may: at
// most kMaxPropertyListBytes; a binary property list ("bplist00") whose
// trailer, offset table, objects and references all lie inside it, with no
// container inside itself, at most kMaxPropertyListDepth deep and
// kMaxPropertyListValues values; or XML whose elements are balanced within
// the same bounds.
std::optional<PropertyListRefusal> checkPropertyListBytes(std::span<const uint8_t> bytes);

// A libplist tree (a plist_t), freed with plist_free.
struct PlistTreeFree {
  void operator()(void* node) const;
};
using PlistTree = std::unique_ptr<void, PlistTreeFree>;

// The property list in `bytes` (XML or binary) as a libplist tree, or null
// when the bytes fail checkPropertyListBytes, libplist finds them malformed,
// or the tree holds what is no property-list value (a UID, a key outside a
// dictionary) or a date that libplist cannot give out as it is; `refusal`
// (when given) then says why. A dictionary that holds a key more than once
// holds it once in the tree, with the value that came last.
PlistTree parsePropertyListTree(std::span<const uint8_t> bytes,
                                PropertyListRefusal* refusal = nullptr);

// `tree` (a plist_t) as an XML property list; false when libplist cannot
// encode it or it would be larger than kMaxPropertyListBytes (the reader
// would refuse it).
bool propertyListXml(const void* tree, std::string& xml);

// A value of a tree that is no container, as every reader takes it.
struct PlistScalar {
  enum class Kind { Boolean, Integer, Real, String, Data, Date, Other };
  Kind kind = Kind::Other;
  bool boolean = false;
  // libplist 2.2.0 holds every integer as 64 bits and does not say whether
  // it was written signed: negative numbers come as two's complement, and
  // so do values above INT64_MAX (which the formats allow). The bits are
  // kept, read as signed: 18446744073709551615 reads as -1.
  int64_t integer = 0;
  // A real; or a date's seconds since 2001 (32-bit seconds and the
  // microseconds, as libplist 2.2.0 hands them out).
  double real = 0;
  // A string's UTF-8 or data's bytes, inside the node.
  std::string_view bytes;
};

// The value of `node` (a plist_t); Kind::Other for a container or no node.
PlistScalar scalarOf(const void* node);

// Whether `bytes` read back (parsePropertyListTree) as the value of `tree`:
// the same keys with the same values in any order, the same items in the
// same order, equal scalars. Every write checks its bytes so before it
// writes them.
bool readsBackAs(const void* tree, std::span<const uint8_t> bytes);

// --- Values as JSON, as the simulator shows them -------------------------------

// Data as base64 and dates (seconds since 2001) as ISO 8601 UTC, to the
// second.
std::string base64Text(std::span<const uint8_t> bytes);
std::string iso8601Text(double sinceReferenceDate);

// `tree` (a plist_t from parsePropertyListTree) as JSON: booleans, integers
// (64-bit, signed as the reader keeps them), reals, strings, arrays,
// dictionaries; data as {"data":BASE64}, dates as {"date":ISO8601}.
nlohmann::json propertyListJson(const void* tree);

// The dictionary in the regular file at host path `path` as JSON; null when
// the file is missing, unreadable, no property list or no dictionary.
nlohmann::json dictionaryFileJson(const std::filesystem::path& path);

// --- Files ----------------------------------------------------------------------

// Reads the regular file at `path` (a host path), at most `limit` bytes of
// it, into `bytes`. The file is opened without following a symbolic link and
// without blocking (a FIFO in its place is no file); a file that grows while
// it is read is read whole or refused. Returns what went wrong (Missing,
// TooLarge or Unreadable, e.g. "not a regular file"), or nothing.
[[nodiscard]] std::optional<FileError> readRegularFile(const std::filesystem::path& path,
                                                       size_t limit, std::vector<uint8_t>& bytes);

// Replaces the file at `path` with `bytes`: a temporary file in the same
// folder (".<name>.XXXXXX", locked while it is written), written whole,
// flushed to disk, then renamed over the file; the folder is flushed after.
// Temporary files of the same file that writers killed midway left behind
// (no longer locked) are removed first. The new file keeps the permission
// bits of the file it replaces, or is 0644 when there was none; anything in
// its place that is no regular file (a symbolic link, a folder) is not
// replaced. When a step before the rename fails, the temporary file is
// removed, the old file is left as it was, and the WriteFailed error says
// which step failed and why; when the folder cannot be flushed after it, the
// NotDurable error says that the new file is in place but may not survive a
// power failure.
[[nodiscard]] std::optional<FileError> writeFileAtomically(const std::filesystem::path& path,
                                                           std::span<const uint8_t> bytes);

// The same, for contents made piece by piece: `produce` calls `write` with
// each piece in order (a piece is written as it comes, a few at a time, so
// the whole is never held); `write` says false once a write failed, and the
// file is then left as it was.
using PieceWriter = std::function<bool(std::string_view)>;
[[nodiscard]] std::optional<FileError>
writeFileAtomically(const std::filesystem::path& path,
                    const std::function<void(const PieceWriter& write)>& produce);

// Overwrites the regular file at `path` with `bytes` where it stands (made
// 0644 when missing): a failure part way leaves it damaged, which is what a
// write that is not atomic accepts. A symbolic link or anything else that is
// no regular file is not written.
[[nodiscard]] bool writeFileInPlace(const std::filesystem::path& path,
                                    std::span<const uint8_t> bytes);

} // namespace prefsfile
