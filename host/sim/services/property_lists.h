// Property-list files read and written with libplist, XML and binary, as
// objects: the NSDictionary file methods. The bytes, their checks and the
// files themselves are plist_files.h's; this is the objects side on top.
#pragma once

#include "host/files/plist_files.h"
#include "host/sim/runtime/runtime.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace hostsim {

// +[NSDictionary dictionaryWithContentsOfFile:],
// +[NSMutableDictionary dictionaryWithContentsOfFile:],
// -[NSDictionary writeToFile:atomically:],
// +[NSPropertyListSerialization dataWithPropertyList:format:options:error:],
// -[NSData writeToFile:options:error:] (the error says why: the device's
// words for a full disk), and +[NSFileManager defaultManager] with
// -fileExistsAtPath:.
void registerPropertyLists();

// The property list in `bytes` (XML or binary) as objects, or nil when it is
// no property list, too large, too deep, cyclic or malformed.
Strong parsePropertyList(std::span<const uint8_t> bytes);

// `plist` as an XML property list, as writePropertyListFile writes it; false
// when it holds what no property list can (nil, another class, a string
// with a NUL, a date beyond libplist's 32-bit seconds, a container inside
// itself or nested too deep) or the reader would refuse the result.
bool encodePropertyList(id plist, std::string& xml);

// The dictionary in the file at device path `path`, mutable or not; nil when
// the file is missing, unreadable, no property list or not a dictionary.
Strong readDictionaryFile(std::string_view path, bool mutableDictionary);

// Writes `plist` as an XML property list to device path `path`; atomically:
// a temporary file beside it, flushed, then renamed over it (see
// writeFileAtomically: the permission bits of the old file are kept, and
// what is no regular file is not replaced). False when any step fails; the
// old file is then left as it was. Emits the "write" event, and
// "write-failed" with the reason when it fails.
[[nodiscard]] bool writePropertyListFile(id plist, std::string_view path, bool atomically);

// The device's storage is full: every write of writePropertyListFile fails
// ("No space left on device") until it is not.
void setStorageFull(bool full);
// A write of the process that failed, for `problem` (one of
// writePropertyListFile's, or a lock of the file that could not be had):
// counted, and emitted as "write-failed".
void recordFailedWrite(std::string_view path, const std::string& problem);
// Writes of the process that failed since the platform booted.
size_t failedWrites();

// The device path of the preference file of `domain`,
// /var/mobile/Library/Preferences/<domain>.plist, or "" when domain is no
// plain file name (empty, or holding '/', ".." or a NUL).
std::string preferencesFilePath(std::string_view domain);

} // namespace hostsim
