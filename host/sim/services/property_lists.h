// Property-list files read and written with libplist, XML and binary. A file
// is untrusted input: it is bounded and checked before libplist sees it.
#pragma once

#include "runtime/runtime.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace hostsim {

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

} // namespace hostsim
