// Property-list files read and written with libplist, XML and binary. A file
// is untrusted input: it is bounded and checked before libplist sees it.
#pragma once

#include "runtime/runtime.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace hostsim {

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

// +[NSDictionary dictionaryWithContentsOfFile:],
// +[NSMutableDictionary dictionaryWithContentsOfFile:],
// -[NSDictionary writeToFile:atomically:].
void registerPropertyLists();

// The property list in `bytes` (XML or binary) as objects, or nil when it is
// no property list, too large, too deep, cyclic or malformed.
Strong parsePropertyList(std::span<const uint8_t> bytes);

// The dictionary in the file at device path `path`, mutable or not; nil when
// the file is missing, unreadable, no property list or not a dictionary.
Strong readDictionaryFile(std::string_view path, bool mutableDictionary);

// Writes `plist` as an XML property list to device path `path`; atomically:
// a temporary file beside it, flushed, then renamed over it. False when any
// step fails; the old file is then left as it was. Emits the "write" event.
bool writePropertyListFile(id plist, std::string_view path, bool atomically);

// The device path of the preference file of `domain`,
// /var/mobile/Library/Preferences/<domain>.plist, or "" when domain is no
// plain file name (empty, or holding '/', ".." or a NUL).
std::string preferencesFilePath(std::string_view domain);

} // namespace hostsim
