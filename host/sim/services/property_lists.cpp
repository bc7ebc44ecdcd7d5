// Property-list files through libplist 2.2.0: XML and binary read, XML
// written. libplist 2.2.0 trusts the offsets and lengths of a binary file
// more than it should and frees, copies and writes trees recursively, so the
// bytes are bounded and checked here first: nothing reaches it that could
// make it read outside the buffer, follow a cycle or recurse without limit.
#include "services/property_lists.h"

#include "services/device_paths.h"
#include "services/foundation.h"
#include "services/trace.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace hostsim {
namespace {

namespace fs = std::filesystem;

struct PlistFree {
  void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

struct MallocFree {
  void operator()(void* p) const { std::free(p); }
};

// --- Binary property lists ---------------------------------------------------

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;

uint64_t readBigEndian(const uint8_t* p, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v = (v << 8) | p[i];
  return v;
}

// Checks a binary property list as libplist will read it: a trailer whose
// sizes and counts are sane, an offset table inside the file, every object
// between the header and the offset table with its whole length before the
// table, every reference naming an object, dictionary keys that are strings,
// no container inside itself, containers at most kMaxPropertyListDepth deep
// and at most kMaxPropertyListValues values once references are followed.
class BinaryCheck {
public:
  explicit BinaryCheck(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  bool run() {
    if (bytes_.size() < kHeaderSize + kTrailerSize) return false;
    const uint64_t trailerStart = bytes_.size() - kTrailerSize;
    const uint8_t* trailer = bytes_.data() + trailerStart;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    const uint64_t count = readBigEndian(trailer + 8, 8);
    const uint64_t top = readBigEndian(trailer + 16, 8);
    const uint64_t table = readBigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return false;
    if (count == 0 || top >= count) return false;
    if (table < kHeaderSize || table >= trailerStart) return false;
    if (count > (trailerStart - table) / offsetSize_) return false;
    tableStart_ = table;
    offsets_.resize(count);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t offset = readBigEndian(bytes_.data() + table + i * offsetSize_, offsetSize_);
      if (offset < kHeaderSize || offset >= table) return false;
      offsets_[i] = offset;
    }
    onPath_.assign(count, 0);
    return visit(top, 0);
  }

private:
  // Whether n items of `unit` bytes from `start` end before the offset table.
  bool fits(uint64_t start, uint64_t n, uint64_t unit) const {
    return start <= tableStart_ && n <= (tableStart_ - start) / unit;
  }

  // The item count of the object at `pos` and where its content starts: the
  // marker's low four bits, or (when they are all set) an integer object
  // that follows the marker.
  bool length(uint64_t pos, uint64_t& n, uint64_t& start) const {
    uint8_t info = bytes_[pos] & 0x0F;
    if (info != 0x0F) {
      n = info;
      start = pos + 1;
      return true;
    }
    if (!fits(pos + 1, 1, 1)) return false;
    uint8_t marker = bytes_[pos + 1];
    if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) return false;
    uint64_t width = uint64_t{1} << (marker & 0x0F);
    if (!fits(pos + 2, width, 1)) return false;
    n = readBigEndian(bytes_.data() + pos + 2, width);
    start = pos + 2 + width;
    return true;
  }

  bool isStringObject(uint64_t index) const {
    if (index >= offsets_.size()) return false;
    uint8_t type = bytes_[offsets_[index]] >> 4;
    return type == 0x5 || type == 0x6;
  }

  // `depth`: the containers that enclose the object.
  bool visit(uint64_t index, int depth) {
    if (index >= offsets_.size() || onPath_[index]) return false;
    if (++values_ > kMaxPropertyListValues) return false;
    const uint64_t pos = offsets_[index];
    const uint8_t marker = bytes_[pos];
    const uint8_t info = marker & 0x0F;
    uint64_t n = 0;
    uint64_t start = 0;
    switch (marker >> 4) {
    case 0x0: // false, true; null and fill are no property-list values
      return marker == 0x08 || marker == 0x09;
    case 0x1: // integer of 1, 2, 4, 8 or 16 bytes
      return info <= 4 && fits(pos + 1, uint64_t{1} << info, 1);
    case 0x2: // real of 4 or 8 bytes
      return (info == 2 || info == 3) && fits(pos + 1, uint64_t{1} << info, 1);
    case 0x3: // date
      return marker == 0x33 && fits(pos + 1, 8, 1);
    case 0x4: // data
    case 0x5: // ASCII string
      return length(pos, n, start) && fits(start, n, 1);
    case 0x6: // UTF-16 string
      return length(pos, n, start) && fits(start, n, 2);
    case 0xA: // array: n references
    case 0xD: // dictionary: n key references, then n value references
    {
      if (depth + 1 > kMaxPropertyListDepth) return false;
      const bool dictionary = (marker >> 4) == 0xD;
      const uint64_t perItem = dictionary ? 2 : 1;
      if (!length(pos, n, start) || !fits(start, n, perItem * refSize_)) return false;
      onPath_[index] = 1;
      bool ok = true;
      for (uint64_t i = 0; ok && i < n * perItem; ++i) {
        uint64_t ref = readBigEndian(bytes_.data() + start + i * refSize_, refSize_);
        if (dictionary && i < n && !isStringObject(ref)) ok = false;
        if (ok) ok = visit(ref, depth + 1);
      }
      onPath_[index] = 0;
      return ok;
    }
    default: // UIDs, sets and unknown markers
      return false;
    }
  }

  std::span<const uint8_t> bytes_;
  uint8_t offsetSize_ = 0;
  uint8_t refSize_ = 0;
  uint64_t tableStart_ = 0;
  std::vector<uint64_t> offsets_;
  std::vector<uint8_t> onPath_;
  size_t values_ = 0;
};

// --- XML property lists --------------------------------------------------------

bool isSpace(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0;
}
bool isNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '-' || c == '.' ||
         c == ':';
}

// Checks the element structure of an XML property list: start and end tags
// that match, containers (<array>, <dict>) at most kMaxPropertyListDepth
// deep, at most kMaxPropertyListValues elements. Comments, CDATA sections,
// processing instructions and declarations are skipped, each ending no later
// than libplist ends it, so that no tag libplist reads goes unseen here; any
// doubt (an odd name, a container with attributes written as empty, an
// unmatched tag) makes the file no property list.
bool checkXml(std::string_view text) {
  constexpr size_t npos = std::string_view::npos;
  // <plist>, the containers, and one value inside the innermost container.
  constexpr size_t kMaxOpenElements = kMaxPropertyListDepth + 2;
  std::vector<std::string_view> open;
  int containers = 0;
  size_t values = 0;
  size_t i = 0;
  while ((i = text.find('<', i)) != npos) {
    std::string_view rest = text.substr(i);
    size_t end = npos;
    if (rest.starts_with("<!--")) {
      // From the comment's own dashes: "<!-->" ends here at the latest.
      if ((end = text.find("-->", i + 2)) == npos) return false;
      i = end + 3;
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      if ((end = text.find("]]>", i + 9)) == npos) return false;
      i = end + 3;
      continue;
    }
    if (rest.starts_with("<?")) {
      if ((end = text.find("?>", i + 1)) == npos) return false;
      i = end + 2;
      continue;
    }
    if (rest.starts_with("<!")) { // <!DOCTYPE ...>
      if ((end = text.find('>', i + 2)) == npos) return false;
      i = end + 1;
      continue;
    }
    const bool closing = rest.starts_with("</");
    const size_t nameStart = i + (closing ? 2 : 1);
    size_t nameEnd = nameStart;
    while (nameEnd < text.size() && isNameChar(text[nameEnd]))
      ++nameEnd;
    if (nameEnd == nameStart || nameEnd == text.size()) return false;
    if (!isSpace(text[nameEnd]) && text[nameEnd] != '/' && text[nameEnd] != '>') return false;
    const size_t close = text.find('>', nameEnd);
    if (close == npos) return false;
    const std::string_view name = text.substr(nameStart, nameEnd - nameStart);
    const bool container = name == "array" || name == "dict";
    if (closing) {
      if (open.empty() || open.back() != name) return false;
      open.pop_back();
      if (container) --containers;
    } else {
      if (name != "plist" && ++values > kMaxPropertyListValues) return false;
      bool empty = text[close - 1] == '/';
      // An empty container is "<array/>" or "<array />", nothing else.
      for (size_t k = nameEnd; empty && container && k + 1 < close; ++k)
        if (!isSpace(text[k])) empty = false;
      if (!empty) {
        if (container && ++containers > kMaxPropertyListDepth) return false;
        open.push_back(name);
        if (open.size() > kMaxOpenElements) return false;
      }
    }
    i = close + 1;
  }
  return open.empty();
}

// --- libplist trees and objects ----------------------------------------------

// `depth`: the containers that enclose the node. Only the top-level
// dictionary is made mutable when asked.
Strong toObject(plist_t node, int depth, bool mutableDictionary) {
  switch (plist_get_node_type(node)) {
  case PLIST_BOOLEAN: {
    uint8_t v = 0;
    plist_get_bool_val(node, &v);
    return newBool(v != 0);
  }
  case PLIST_UINT: {
    // libplist 2.2.0 holds every integer as 64 bits and does not say whether
    // they were written signed: negative numbers come as two's complement,
    // and so do values above INT64_MAX (which the formats allow). The bits
    // are kept, read as signed: 18446744073709551615 reads as -1.
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return newInteger(static_cast<int64_t>(v));
  }
  case PLIST_REAL: {
    double v = 0;
    plist_get_real_val(node, &v);
    return newReal(v);
  }
  case PLIST_STRING: {
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return newString(text == nullptr ? std::string_view() : std::string_view(text, length));
  }
  case PLIST_DATA: {
    uint64_t length = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(plist_get_data_ptr(node, &length));
    return newData(bytes == nullptr ? std::vector<uint8_t>()
                                    : std::vector<uint8_t>(bytes, bytes + length));
  }
  case PLIST_DATE: {
    // Seconds since 2001 as libplist 2.2.0 hands them out: 32-bit seconds
    // and the microseconds.
    int32_t seconds = 0;
    int32_t microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    return newDate(seconds + microseconds / 1e6);
  }
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
      // A key written twice: the last value stands, as libplist's XML reader
      // does it.
      entries.insert_or_assign(std::string(key), std::move(object));
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
PlistPtr toNode(id obj, int depth, std::vector<id>& path, size_t& values) {
  if (obj == nullptr || ++values > kMaxPropertyListValues) return nullptr;
  if (isString(obj)) {
    const std::string& text = state<StringState>(obj).value;
    if (text.find('\0') != std::string::npos) return nullptr;
    return PlistPtr(plist_new_string(text.c_str()));
  }
  if (isNumber(obj)) {
    const NumberState& n = state<NumberState>(obj);
    switch (n.kind) {
    case NumberState::Kind::Bool:
      return PlistPtr(plist_new_bool(n.integer != 0 ? 1 : 0));
    case NumberState::Kind::Integer:
      return PlistPtr(plist_new_uint(static_cast<uint64_t>(n.integer)));
    case NumberState::Kind::Real:
      return PlistPtr(plist_new_real(n.real));
    }
    return nullptr;
  }
  if (isData(obj)) {
    static const char kNoBytes = 0;
    const std::vector<uint8_t>& bytes = state<DataState>(obj).bytes;
    const char* p = bytes.empty() ? &kNoBytes : reinterpret_cast<const char*>(bytes.data());
    return PlistPtr(plist_new_data(p, bytes.size()));
  }
  if (isDate(obj)) {
    // Whole seconds, rounded down, as XML property lists hold them.
    double seconds = std::floor(state<DateState>(obj).sinceReferenceDate);
    if (!std::isfinite(seconds) || seconds < INT32_MIN || seconds > INT32_MAX) return nullptr;
    return PlistPtr(plist_new_date(static_cast<int32_t>(seconds), 0));
  }
  const bool array = isArray(obj);
  if (!array && !isDictionary(obj)) return nullptr;
  if (depth >= kMaxPropertyListDepth) return nullptr;
  if (std::find(path.begin(), path.end(), obj) != path.end()) return nullptr;
  path.push_back(obj);
  PlistPtr node(array ? plist_new_array() : plist_new_dict());
  bool ok = true;
  if (array) {
    for (const Strong& item : state<ArrayState>(obj).items) {
      PlistPtr child = toNode(item.get(), depth + 1, path, values);
      if (!(ok = child != nullptr)) break;
      plist_array_append_item(node.get(), child.release());
    }
  } else {
    for (const auto& [key, value] : state<DictionaryState>(obj).entries) {
      PlistPtr child;
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
  if (bytes.empty() || bytes.size() > kMaxPropertyListBytes) return {};
  const std::string_view head(reinterpret_cast<const char*>(bytes.data()),
                              std::min(bytes.size(), kBinaryMagic.size()));
  const bool binary = head.starts_with("bplist");
  if (binary && (head != kBinaryMagic || !BinaryCheck(bytes).run())) return {};
  // libplist reads its own copy, followed by NUL bytes that it may look at
  // but that are never content.
  std::vector<char> buffer(bytes.size() + 8, '\0');
  std::memcpy(buffer.data(), bytes.data(), bytes.size());
  const auto length = static_cast<uint32_t>(bytes.size());
  if (!binary && !checkXml(std::string_view(buffer.data(), bytes.size()))) return {};
  plist_t root = nullptr;
  if (binary)
    plist_from_bin(buffer.data(), length, &root);
  else
    plist_from_xml(buffer.data(), length, &root);
  PlistPtr tree(root);
  if (root == nullptr) return {};
  return toObject(root, 0, mutableDictionary);
}

// --- Files ----------------------------------------------------------------------

// The bytes of a regular file, at most kMaxPropertyListBytes of them; false
// when the file is missing, a symbolic link, no regular file, unreadable or
// too large.
bool readBoundedFile(const fs::path& path, std::vector<uint8_t>& bytes) {
  if (path.empty()) return false;
  // O_NONBLOCK: a FIFO in the file's place must not block the read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size >= 0 &&
            static_cast<uint64_t>(st.st_size) <= kMaxPropertyListBytes;
  if (ok) {
    // Room for one byte more than fstat saw, growing up to one byte more
    // than allowed: a file that grew meanwhile is read (or refused) whole.
    bytes.resize(static_cast<size_t>(st.st_size) + 1);
    size_t total = 0;
    for (;;) {
      if (total == bytes.size()) {
        if (total > kMaxPropertyListBytes) break;
        bytes.resize(std::min(total * 2, kMaxPropertyListBytes + 1));
      }
      ssize_t n = ::read(fd, bytes.data() + total, bytes.size() - total);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      total += static_cast<size_t>(n);
    }
    bytes.resize(total);
    ok = ok && total <= kMaxPropertyListBytes;
  }
  ::close(fd);
  return ok;
}

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Overwrites the file in place: a failure part way leaves it damaged, which
// is what a non-atomic write accepts.
bool writeInPlace(const fs::path& target, std::string_view data) {
  int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  struct stat st {};
  bool ok =
      ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) == 0 && writeAll(fd, data);
  ok = ::close(fd) == 0 && ok;
  return ok;
}

// A temporary file beside the target, written and flushed, then renamed
// over it; the folder is flushed after (at best: the new file is in place
// by then). On any failure the temporary file goes and the target stays.
bool writeAtomically(const fs::path& target, std::string_view data) {
  const fs::path folder = target.parent_path();
  std::string name = ".";
  name += target.filename().string();
  name += ".XXXXXX";
  std::string temporary = (folder / name).string();
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, data) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (!ok || ::rename(temporary.c_str(), target.c_str()) != 0) {
    ::unlink(temporary.c_str());
    return false;
  }
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
  return true;
}

bool writeFile(id plist, std::string_view devicePath, bool atomically) {
  const fs::path target = hostPath(devicePath);
  if (target.empty() || !target.has_filename()) return false;
  std::vector<id> path;
  size_t values = 0;
  PlistPtr node = toNode(plist, 0, path, values);
  if (node == nullptr) return false;
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(node.get(), &xml, &length);
  struct XmlFree {
    void operator()(char* p) const { plist_to_xml_free(p); }
  };
  std::unique_ptr<char, XmlFree> text(xml);
  // Never write what the reader would refuse.
  if (xml == nullptr || length == 0 || length > kMaxPropertyListBytes) return false;
  const std::string_view data(xml, length);
  return atomically ? writeAtomically(target, data) : writeInPlace(target, data);
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

} // namespace

void registerPropertyLists() {
  Class dictionary = objc_getClass("NSDictionary");
  addClassMethod(dictionary,
                 "dictionaryWithContentsOfFile:", NSDictionary_dictionaryWithContentsOfFile);
  addMethod(dictionary, "writeToFile:atomically:", NSDictionary_writeToFileAtomically);
}

Strong parsePropertyList(std::span<const uint8_t> bytes) {
  return parse(bytes, false);
}

Strong readDictionaryFile(std::string_view path, bool mutableDictionary) {
  std::vector<uint8_t> bytes;
  if (!readBoundedFile(hostPath(path), bytes)) return {};
  Strong plist = parse(bytes, mutableDictionary);
  if (!isDictionary(plist.get())) return {};
  return plist;
}

bool writePropertyListFile(id plist, std::string_view path, bool atomically) {
  bool ok = writeFile(plist, path, atomically);
  trace::emit("write", {{"path", std::string(path)}, {"ok", ok}});
  return ok;
}

std::string preferencesFilePath(std::string_view domain) {
  if (domain.empty() || domain.find('/') != std::string_view::npos ||
      domain.find("..") != std::string_view::npos || domain.find('\0') != std::string_view::npos)
    return {};
  return "/var/mobile/Library/Preferences/" + std::string(domain) + ".plist";
}

} // namespace hostsim
