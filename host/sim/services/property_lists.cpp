// Property-list files as objects: libplist trees (from plist_files.cpp, which
// checks the bytes before libplist sees them) turned into runtime objects and
// back, and the NSDictionary methods that read and write them.
#include "host/sim/services/property_lists.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/root_folder.h"
#include "host/sim/services/trace.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <plist/plist.h>
#include <vector>

namespace hostsim {
namespace {

namespace fs = std::filesystem;
using prefsfile::kMaxPropertyListBytes;
using prefsfile::kMaxPropertyListDepth;
using prefsfile::kMaxPropertyListValues;
using prefsfile::PlistTree;

struct MallocFree {
  void operator()(void* p) const { std::free(p); }
};

// --- libplist trees and objects ----------------------------------------------

// `depth`: the containers that enclose the node. Only the top-level
// dictionary is made mutable when asked.
Strong toObject(plist_t node, int depth, bool mutableDictionary) {
  using Kind = prefsfile::PlistScalar::Kind;
  const prefsfile::PlistScalar scalar = prefsfile::scalarOf(node);
  switch (scalar.kind) {
  case Kind::Boolean:
    return newBool(scalar.boolean);
  case Kind::Integer:
    return newInteger(scalar.integer);
  case Kind::Real:
    return newReal(scalar.real);
  case Kind::String:
    return newString(scalar.bytes);
  case Kind::Data: {
    const auto* bytes = reinterpret_cast<const uint8_t*>(scalar.bytes.data());
    return newData(std::vector<uint8_t>(bytes, bytes + scalar.bytes.size()));
  }
  case Kind::Date:
    return newDate(scalar.real);
  case Kind::Other:
    break;
  }
  switch (plist_get_node_type(node)) {
  case PLIST_ARRAY: {
    if (depth >= kMaxPropertyListDepth) return {};
    std::vector<Strong> items;
    uint32_t count = plist_array_get_size(node);
    items.reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
      Strong item = toObject(plist_array_get_item(node, i), depth + 1, false);
      if (!item) return {};
      items.push_back(std::move(item));
    }
    return newArray(std::move(items));
  }
  case PLIST_DICT: {
    if (depth >= kMaxPropertyListDepth) return {};
    std::map<std::string, Strong> entries;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    std::unique_ptr<void, MallocFree> ownedIterator(iterator);
    if (iterator == nullptr) return {};
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(node, iterator, &key, &value);
      std::unique_ptr<char, MallocFree> ownedKey(key);
      if (value == nullptr) break;
      if (key == nullptr) return {};
      Strong object = toObject(value, depth + 1, false);
      if (!object) return {};
      // The tree holds each key once (parsePropertyListTree).
      entries.emplace(std::string(key), std::move(object));
    }
    return newDictionary(std::move(entries), mutableDictionary);
  }
  default: // UIDs, keys outside a dictionary: no property-list values
    return {};
  }
}

// The node for `obj`, or null when it (or anything inside it) cannot be in
// a property list: nil, another class, a string with a NUL, a date beyond
// libplist's 32-bit seconds, a container inside itself or nested too deep.
PlistTree toNode(id obj, int depth, std::vector<id>& path, size_t& values) {
  if (obj == nullptr || ++values > kMaxPropertyListValues) return nullptr;
  if (isString(obj)) {
    const std::string& text = state<StringState>(obj).value;
    if (text.find('\0') != std::string::npos) return nullptr;
    return PlistTree(plist_new_string(text.c_str()));
  }
  if (isNumber(obj)) {
    const NumberState& n = state<NumberState>(obj);
    switch (n.kind) {
    case NumberState::Kind::Bool:
      return PlistTree(plist_new_bool(n.integer != 0 ? 1 : 0));
    case NumberState::Kind::Integer:
      return PlistTree(plist_new_uint(static_cast<uint64_t>(n.integer)));
    case NumberState::Kind::Real:
      return PlistTree(plist_new_real(n.real));
    }
    return nullptr;
  }
  if (isData(obj)) {
    static const char kNoBytes = 0;
    const std::vector<uint8_t>& bytes = state<DataState>(obj).bytes;
    const char* p = bytes.empty() ? &kNoBytes : reinterpret_cast<const char*>(bytes.data());
    return PlistTree(plist_new_data(p, bytes.size()));
  }
  if (isDate(obj)) {
    // Whole seconds, rounded down, as XML property lists hold them.
    double seconds = std::floor(state<DateState>(obj).sinceReferenceDate);
    if (!std::isfinite(seconds) || seconds < INT32_MIN || seconds > INT32_MAX) return nullptr;
    return PlistTree(plist_new_date(static_cast<int32_t>(seconds), 0));
  }
  const bool array = isArray(obj);
  if (!array && !isDictionary(obj)) return nullptr;
  if (depth >= kMaxPropertyListDepth) return nullptr;
  if (std::find(path.begin(), path.end(), obj) != path.end()) return nullptr;
  path.push_back(obj);
  PlistTree node(array ? plist_new_array() : plist_new_dict());
  bool ok = true;
  if (array) {
    for (const Strong& item : state<ArrayState>(obj).items) {
      PlistTree child = toNode(item.get(), depth + 1, path, values);
      if (!(ok = child != nullptr)) break;
      plist_array_append_item(node.get(), child.release());
    }
  } else {
    for (const auto& [key, value] : state<DictionaryState>(obj).entries) {
      PlistTree child;
      if (key.find('\0') == std::string::npos) child = toNode(value.get(), depth + 1, path, values);
      if (!(ok = child != nullptr)) break;
      plist_dict_set_item(node.get(), key.c_str(), child.release());
    }
  }
  path.pop_back();
  if (!ok) return nullptr;
  return node;
}

Strong parse(std::span<const uint8_t> bytes, bool mutableDictionary) {
  PlistTree tree = prefsfile::parsePropertyListTree(bytes);
  if (!tree) return {};
  return toObject(tree.get(), 0, mutableDictionary);
}

// --- Files ----------------------------------------------------------------------

// What the process's writes met: the device's storage, and the writes that
// failed since the process started.
struct WriteState {
  bool storageFull = false;
  size_t failed = 0;
};
WriteState& writeState() {
  static WriteState state;
  return state;
}

// Why a write failed, and whether for want of space.
struct WriteProblem {
  std::string text;
  bool noSpace = false;
};

bool writeBytes(std::span<const uint8_t> data, std::string_view devicePath, bool atomically,
                WriteProblem& problem) {
  const fs::path target = hostPath(devicePath);
  if (target.empty() || !target.has_filename()) {
    problem.text = "no device path";
    return false;
  }
  if (writeState().storageFull) {
    problem = {"No space left on device", true};
    return false;
  }
  if (!atomically) {
    if (prefsfile::writeFileInPlace(target, data)) return true;
    problem.text = "cannot write in place";
    return false;
  }
  if (std::optional<prefsfile::FileError> error = prefsfile::writeFileAtomically(target, data)) {
    problem.text = error->detail();
    return false;
  }
  return true;
}

std::span<const uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

bool writeFile(id plist, std::string_view devicePath, bool atomically, std::string& problem) {
  std::string xml;
  if (!encodePropertyList(plist, xml)) {
    problem = "no property list";
    return false;
  }
  WriteProblem why;
  const bool ok = writeBytes(bytesOf(xml), devicePath, atomically, why);
  problem = why.text;
  return ok;
}

// Foundation's error codes for files (NSCocoaErrorDomain).
constexpr long kFileWriteUnknownError = 512;
constexpr long kFileWriteOutOfSpaceError = 640;
constexpr long kPropertyListWriteInvalidError = 3851;

void setError(id* error, long code, std::string description) {
  if (error != nullptr)
    *error = autoreleased(newError("NSCocoaErrorDomain", code, std::move(description)));
}

// --- Methods ---------------------------------------------------------------------

bool inheritsFrom(Class cls, Class ancestor) {
  for (Class c = cls; c != nullptr; c = class_getSuperclass(c))
    if (c == ancestor) return true;
  return false;
}

// +[NSDictionary dictionaryWithContentsOfFile:] and its subclasses: a
// mutable dictionary when the receiver is NSMutableDictionary or inherits
// from it; an instance of the receiver itself when it is a subclass.
id NSDictionary_dictionaryWithContentsOfFile(id self, SEL, id path) {
  if (!isString(path)) return nullptr;
  Class receiver = reinterpret_cast<Class>(self);
  Class mutableClass = objc_getClass("NSMutableDictionary");
  Strong dictionary = readDictionaryFile(stringOf(path), inheritsFrom(receiver, mutableClass));
  if (!dictionary) return nullptr;
  if (receiver != DictionaryState::cls && receiver != mutableClass) {
    Strong own = Strong::adopt(class_createInstance(receiver, 0));
    state<DictionaryState>(own.get()).entries =
        std::move(state<DictionaryState>(dictionary.get()).entries);
    dictionary = own;
  }
  return autoreleased(std::move(dictionary));
}

BOOL NSDictionary_writeToFileAtomically(id self, SEL, id path, BOOL atomically) {
  return writePropertyListFile(self, stringOf(path), atomically);
}

// +[NSPropertyListSerialization dataWithPropertyList:format:options:error:]:
// XML whatever the format asked (the stand-in writes no other), or nil with
// the error when the value holds what no property list can.
id NSPropertyListSerialization_dataWithPropertyList(id, SEL, id plist, unsigned long, unsigned long,
                                                    id* error) {
  std::string xml;
  if (!encodePropertyList(plist, xml)) {
    setError(error, kPropertyListWriteInvalidError,
             "The data couldn’t be written because it isn’t in the correct format.");
    return nullptr;
  }
  const std::span<const uint8_t> bytes = bytesOf(xml);
  return autoreleased(newData(std::vector<uint8_t>(bytes.begin(), bytes.end())));
}

// -[NSData writeToFile:options:error:]: option 1 (NSDataWritingAtomic)
// writes a temporary file and renames it over the file. Emits "write", and
// "write-failed" with the reason when it fails; the error then says why, in
// the words of the device's Foundation for a full disk.
BOOL NSData_writeToFileOptionsError(id self, SEL, id path, unsigned long options, id* error) {
  const std::string devicePath = stringOf(path);
  WriteProblem why;
  const bool ok = writeBytes(state<DataState>(self).bytes, devicePath, (options & 1) != 0, why);
  trace::emit("write", {{"path", devicePath}, {"ok", ok}});
  if (ok) return YES;
  recordFailedWrite(devicePath, why.text);
  const std::string name = fs::path(devicePath).filename().string();
  if (why.noSpace)
    setError(error, kFileWriteOutOfSpaceError,
             "The file “" + name + "” couldn’t be saved because there isn’t enough space.");
  else
    setError(error, kFileWriteUnknownError,
             "The file “" + name + "” couldn’t be saved: " + why.text + ".");
  return NO;
}

// +[NSFileManager defaultManager]: the process's file manager. It holds no
// state of its own, so any instance serves.
id NSFileManager_defaultManager(id self, SEL) {
  return autoreleased(Strong::adopt(class_createInstance(reinterpret_cast<Class>(self), 0)));
}

// -[NSFileManager fileExistsAtPath:]: whether anything is at the device
// path, a symbolic link counting as what it points to (as on the device).
BOOL NSFileManager_fileExistsAtPath(id, SEL, id path) {
  if (!isString(path)) return NO;
  const fs::path target = hostPath(stringOf(path));
  std::error_code ec;
  return !target.empty() && fs::exists(target, ec);
}

} // namespace

void registerPropertyLists() {
  writeState().failed = 0;
  Class dictionary = objc_getClass("NSDictionary");
  addClassMethod(dictionary,
                 "dictionaryWithContentsOfFile:", NSDictionary_dictionaryWithContentsOfFile);
  addMethod(dictionary, "writeToFile:atomically:", NSDictionary_writeToFileAtomically);
  addMethod(objc_getClass("NSData"), "writeToFile:options:error:", NSData_writeToFileOptionsError);
  Class serialization = defineClass("NSPropertyListSerialization", objc_getClass("NSObject"));
  addClassMethod(serialization, "dataWithPropertyList:format:options:error:",
                 NSPropertyListSerialization_dataWithPropertyList);
  Class fileManager = defineClass("NSFileManager", objc_getClass("NSObject"));
  addClassMethod(fileManager, "defaultManager", NSFileManager_defaultManager);
  addMethod(fileManager, "fileExistsAtPath:", NSFileManager_fileExistsAtPath);
}

bool encodePropertyList(id plist, std::string& xml) {
  std::vector<id> path;
  size_t values = 0;
  PlistTree node = toNode(plist, 0, path, values);
  return node != nullptr && prefsfile::propertyListXml(node.get(), xml);
}

Strong parsePropertyList(std::span<const uint8_t> bytes) {
  return parse(bytes, false);
}

Strong readDictionaryFile(std::string_view path, bool mutableDictionary) {
  std::vector<uint8_t> bytes;
  if (prefsfile::readRegularFile(hostPath(path), kMaxPropertyListBytes, bytes)) return {};
  Strong plist = parse(bytes, mutableDictionary);
  if (!isDictionary(plist.get())) return {};
  return plist;
}

bool writePropertyListFile(id plist, std::string_view path, bool atomically) {
  std::string problem;
  bool ok = writeFile(plist, path, atomically, problem);
  trace::emit("write", {{"path", std::string(path)}, {"ok", ok}});
  if (!ok) recordFailedWrite(path, problem);
  return ok;
}

void recordFailedWrite(std::string_view path, const std::string& problem) {
  ++writeState().failed;
  trace::emit("write-failed", {{"path", std::string(path)}, {"error", problem}});
}

void setStorageFull(bool full) {
  writeState().storageFull = full;
}

size_t failedWrites() {
  return writeState().failed;
}

std::string preferencesFilePath(std::string_view domain) {
  if (domain.empty() || domain.find('/') != std::string_view::npos ||
      domain.find("..") != std::string_view::npos || domain.find('\0') != std::string_view::npos)
    return {};
  return "/var/mobile/Library/Preferences/" + std::string(domain) + ".plist";
}

} // namespace hostsim
