// Property-list bytes through libplist 2.2.0: XML and binary read, XML
// written; and the files that hold them.
#include "host/files/plist_files.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <plist/plist.h>
#include <set>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace prefsfile {
namespace {

namespace fs = std::filesystem;
using Reason = PropertyListRefusal::Reason;

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

  // Why the bytes are refused, or nothing.
  std::optional<PropertyListRefusal> run() {
    if (bytes_.size() < kHeaderSize + kTrailerSize)
      return PropertyListRefusal{Reason::BadOffset, std::nullopt}; // no room for the trailer
    const uint64_t trailerStart = bytes_.size() - kTrailerSize;
    const uint8_t* trailer = bytes_.data() + trailerStart;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    const uint64_t count = readBigEndian(trailer + 8, 8);
    const uint64_t top = readBigEndian(trailer + 16, 8);
    const uint64_t table = readBigEndian(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8)
      return refusal(Reason::BadOffset, trailerStart);
    if (count == 0 || top >= count) return refusal(Reason::BadOffset, trailerStart);
    if (table < kHeaderSize || table >= trailerStart)
      return refusal(Reason::BadOffset, trailerStart);
    if (count > (trailerStart - table) / offsetSize_)
      return refusal(Reason::BadOffset, trailerStart);
    tableStart_ = table;
    offsets_.resize(count);
    for (uint64_t i = 0; i < count; ++i) {
      uint64_t offset = readBigEndian(bytes_.data() + table + i * offsetSize_, offsetSize_);
      if (offset < kHeaderSize || offset >= table)
        return refusal(Reason::BadOffset, table + i * offsetSize_);
      offsets_[i] = offset;
    }
    onPath_.assign(count, 0);
    if (visit(top, 0, trailerStart)) return std::nullopt;
    return refusal_;
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

  static PropertyListRefusal refusal(Reason reason, uint64_t offset) {
    return PropertyListRefusal{reason, offset};
  }

  // Notes why the walk stops; false, for `return refuse(...)`.
  bool refuse(Reason reason, uint64_t offset) {
    refusal_ = refusal(reason, offset);
    return false;
  }

  // Whether none of the n characters of `unit` bytes from `start` is NUL.
  // libplist 2.2.0 keeps a string's length beside its bytes but reads keys
  // up to the first NUL (and asserts that the two agree), and its XML
  // writer stops at a NUL: no such string is text of a property list.
  bool noNul(uint64_t start, uint64_t n, uint64_t unit) {
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* c = bytes_.data() + start + i * unit;
      if (c[0] == 0 && (unit == 1 || c[1] == 0))
        return refuse(Reason::NulInString, start + i * unit);
    }
    return true;
  }

  bool isStringObject(uint64_t index) const {
    if (index >= offsets_.size()) return false;
    uint8_t type = bytes_[offsets_[index]] >> 4;
    return type == 0x5 || type == 0x6;
  }

  // `depth`: the containers that enclose the object; `from`: where the
  // reference to it was read.
  bool visit(uint64_t index, int depth, uint64_t from) {
    if (index >= offsets_.size()) return refuse(Reason::BadOffset, from);
    const uint64_t pos = offsets_[index];
    if (onPath_[index]) return refuse(Reason::ReferenceCycle, pos);
    if (++values_ > kMaxPropertyListValues) return refuse(Reason::TooManyValues, pos);
    const uint8_t marker = bytes_[pos];
    const uint8_t info = marker & 0x0F;
    uint64_t n = 0;
    uint64_t start = 0;
    // Whether the object's content lies before the offset table.
    auto inside = [&](bool ok) { return ok || refuse(Reason::BadOffset, pos); };
    switch (marker >> 4) {
    case 0x0: // false, true; null and fill are no property-list values
      return marker == 0x08 || marker == 0x09 || refuse(Reason::BadObject, pos);
    case 0x1: // integer of 1, 2, 4, 8 or 16 bytes
      if (info > 4) return refuse(Reason::BadObject, pos);
      return inside(fits(pos + 1, uint64_t{1} << info, 1));
    case 0x2: // real of 4 or 8 bytes
      if (info != 2 && info != 3) return refuse(Reason::BadObject, pos);
      return inside(fits(pos + 1, uint64_t{1} << info, 1));
    case 0x3: // date
      if (marker != 0x33) return refuse(Reason::BadObject, pos);
      return inside(fits(pos + 1, 8, 1));
    case 0x4: // data
      return inside(length(pos, n, start) && fits(start, n, 1));
    case 0x5: // ASCII string
      return inside(length(pos, n, start) && fits(start, n, 1)) && noNul(start, n, 1);
    case 0x6: // UTF-16 string
      return inside(length(pos, n, start) && fits(start, n, 2)) && noNul(start, n, 2);
    case 0xA: // array: n references
    case 0xD: // dictionary: n key references, then n value references
    {
      if (depth + 1 > kMaxPropertyListDepth) return refuse(Reason::Nesting, pos);
      const bool dictionary = (marker >> 4) == 0xD;
      const uint64_t perItem = dictionary ? 2 : 1;
      if (!inside(length(pos, n, start) && fits(start, n, perItem * refSize_))) return false;
      onPath_[index] = 1;
      bool ok = true;
      for (uint64_t i = 0; ok && i < n * perItem; ++i) {
        const uint64_t at = start + i * refSize_;
        uint64_t ref = readBigEndian(bytes_.data() + at, refSize_);
        if (dictionary && i < n && !isStringObject(ref))
          ok = refuse(ref < offsets_.size() ? Reason::BadObject : Reason::BadOffset, at);
        if (ok) ok = visit(ref, depth + 1, at);
      }
      onPath_[index] = 0;
      return ok;
    }
    default: // UIDs, sets and unknown markers
      return refuse(Reason::BadObject, pos);
    }
  }

  std::span<const uint8_t> bytes_;
  uint8_t offsetSize_ = 0;
  uint8_t refSize_ = 0;
  uint64_t tableStart_ = 0;
  std::vector<uint64_t> offsets_;
  std::vector<uint8_t> onPath_;
  size_t values_ = 0;
  PropertyListRefusal refusal_{Reason::BadOffset, std::nullopt};
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
std::optional<PropertyListRefusal> checkXml(std::string_view text) {
  auto refused = [](Reason reason, size_t at) { return PropertyListRefusal{reason, at}; };
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
      if ((end = text.find("-->", i + 2)) == npos) return refused(Reason::BadXml, i);
      i = end + 3;
      continue;
    }
    if (rest.starts_with("<![CDATA[")) {
      if ((end = text.find("]]>", i + 9)) == npos) return refused(Reason::BadXml, i);
      i = end + 3;
      continue;
    }
    if (rest.starts_with("<?")) {
      if ((end = text.find("?>", i + 1)) == npos) return refused(Reason::BadXml, i);
      i = end + 2;
      continue;
    }
    if (rest.starts_with("<!")) { // <!DOCTYPE ...>
      if ((end = text.find('>', i + 2)) == npos) return refused(Reason::BadXml, i);
      i = end + 1;
      continue;
    }
    const bool closing = rest.starts_with("</");
    const size_t nameStart = i + (closing ? 2 : 1);
    size_t nameEnd = nameStart;
    while (nameEnd < text.size() && isNameChar(text[nameEnd]))
      ++nameEnd;
    if (nameEnd == nameStart || nameEnd == text.size()) return refused(Reason::BadXml, i);
    if (!isSpace(text[nameEnd]) && text[nameEnd] != '/' && text[nameEnd] != '>')
      return refused(Reason::BadXml, i);
    const size_t close = text.find('>', nameEnd);
    if (close == npos) return refused(Reason::BadXml, i);
    const std::string_view name = text.substr(nameStart, nameEnd - nameStart);
    const bool container = name == "array" || name == "dict";
    if (closing) {
      if (open.empty() || open.back() != name) return refused(Reason::BadXml, i);
      open.pop_back();
      if (container) --containers;
    } else {
      if (name != "plist" && ++values > kMaxPropertyListValues)
        return refused(Reason::TooManyValues, i);
      bool empty = text[close - 1] == '/';
      // An empty container is "<array/>" or "<array />", nothing else.
      for (size_t k = nameEnd; empty && container && k + 1 < close; ++k)
        if (!isSpace(text[k])) empty = false;
      if (!empty) {
        if (container && ++containers > kMaxPropertyListDepth) return refused(Reason::Nesting, i);
        open.push_back(name);
        if (open.size() > kMaxOpenElements) return refused(Reason::Nesting, i);
      }
    }
    i = close + 1;
  }
  if (!open.empty()) return refused(Reason::BadXml, text.size());
  return std::nullopt;
}

// --- Trees ---------------------------------------------------------------------

struct MallocFree {
  void operator()(void* p) const { std::free(p); }
};

// Calls visit(key, value) for each entry of the dictionary `node`, in the
// file's order, while it returns true; false when it stopped early or the
// dictionary cannot be walked.
template <class Visit> bool eachEntry(plist_t node, Visit visit) {
  plist_dict_iter iterator = nullptr;
  plist_dict_new_iter(node, &iterator);
  std::unique_ptr<void, MallocFree> ownedIterator(iterator);
  if (iterator == nullptr) return false;
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(node, iterator, &key, &value);
    std::unique_ptr<char, MallocFree> ownedKey(key);
    if (value == nullptr) return true;
    if (key == nullptr || !visit(std::string_view(key), value)) return false;
  }
}

// Whether libplist 2.2.0 hands out the date of `node` as it is: it keeps
// seconds since 2001 as a real number but gives them out as 32-bit seconds
// (1932-12-13 to 2069-01-19) and microseconds, and a date outside that
// range would read (and be written back) as some other date.
bool dateIsRepresentable(plist_t node) {
  int32_t seconds = 0;
  int32_t microseconds = 0;
  plist_get_date_val(node, &seconds, &microseconds);
  PlistTree same(plist_new_date(seconds, microseconds));
  return plist_compare_node_value(node, same.get()) != 0;
}

// Why a node of the tree is no property-list value that reads as what the
// file holds, or nothing: a UID or a key node outside a dictionary (which
// the byte checks keep libplist 2.2.0 from making; this keeps the trees that
// the tools edit to what the platform's objects can hold, whatever libplist
// makes), or a date that libplist cannot give out. `repeatedKeys` is set
// when a dictionary holds a key more than once. The depth is bounded by the
// byte checks.
std::optional<Reason> notAValue(plist_t node, bool& repeatedKeys) {
  switch (plist_get_node_type(node)) {
  case PLIST_BOOLEAN:
  case PLIST_UINT:
  case PLIST_REAL:
  case PLIST_STRING:
  case PLIST_DATA:
    return std::nullopt;
  case PLIST_DATE:
    if (dateIsRepresentable(node)) return std::nullopt;
    return Reason::BadDate;
  case PLIST_ARRAY: {
    const uint32_t count = plist_array_get_size(node);
    for (uint32_t i = 0; i < count; ++i)
      if (auto why = notAValue(plist_array_get_item(node, i), repeatedKeys)) return why;
    return std::nullopt;
  }
  case PLIST_DICT: {
    std::set<std::string, std::less<>> keys;
    std::optional<Reason> why;
    const bool walked = eachEntry(node, [&](std::string_view key, plist_t value) {
      if (!keys.emplace(key).second) repeatedKeys = true;
      why = notAValue(value, repeatedKeys);
      return !why;
    });
    if (!walked && !why) why = Reason::BadObject;
    return why;
  }
  default:
    return Reason::BadObject;
  }
}

// A copy of `node` in which each dictionary holds each of its keys once,
// with the value that came last in the file: a repeated key means the same
// to every reader, and a write leaves one entry.
plist_t withLastValues(plist_t node) {
  switch (plist_get_node_type(node)) {
  case PLIST_ARRAY: {
    plist_t copy = plist_new_array();
    const uint32_t count = plist_array_get_size(node);
    for (uint32_t i = 0; i < count; ++i)
      plist_array_append_item(copy, withLastValues(plist_array_get_item(node, i)));
    return copy;
  }
  case PLIST_DICT: {
    plist_t copy = plist_new_dict();
    // Setting a key that is there already replaces its value.
    eachEntry(node, [&](std::string_view key, plist_t value) {
      plist_dict_set_item(copy, std::string(key).c_str(), withLastValues(value));
      return true;
    });
    return copy;
  }
  default:
    return plist_copy(node);
  }
}

// Whether two trees hold the same value: the same keys with the same values
// in any order, the same items in the same order, equal scalars.
bool sameValue(plist_t a, plist_t b) {
  const plist_type type = plist_get_node_type(a);
  if (type != plist_get_node_type(b)) return false;
  switch (type) {
  case PLIST_ARRAY: {
    const uint32_t count = plist_array_get_size(a);
    if (count != plist_array_get_size(b)) return false;
    for (uint32_t i = 0; i < count; ++i)
      if (!sameValue(plist_array_get_item(a, i), plist_array_get_item(b, i))) return false;
    return true;
  }
  case PLIST_DICT:
    return plist_dict_get_size(a) == plist_dict_get_size(b) &&
           eachEntry(a, [&](std::string_view key, plist_t value) {
             plist_t other = plist_dict_get_item(b, std::string(key).c_str());
             return other != nullptr && sameValue(value, other);
           });
  case PLIST_BOOLEAN: {
    uint8_t x = 0;
    uint8_t y = 0;
    plist_get_bool_val(a, &x);
    plist_get_bool_val(b, &y);
    return (x != 0) == (y != 0);
  }
  case PLIST_UINT: {
    uint64_t x = 0;
    uint64_t y = 0;
    plist_get_uint_val(a, &x);
    plist_get_uint_val(b, &y);
    return x == y;
  }
  case PLIST_REAL: {
    double x = 0;
    double y = 0;
    plist_get_real_val(a, &x);
    plist_get_real_val(b, &y);
    return x == y;
  }
  case PLIST_STRING:
  case PLIST_DATA: {
    uint64_t x = 0;
    uint64_t y = 0;
    const char* p = type == PLIST_STRING ? plist_get_string_ptr(a, &x) : plist_get_data_ptr(a, &x);
    const char* q = type == PLIST_STRING ? plist_get_string_ptr(b, &y) : plist_get_data_ptr(b, &y);
    return x == y && (x == 0 || std::memcmp(p, q, x) == 0);
  }
  case PLIST_DATE:
    return plist_compare_node_value(a, b) != 0;
  default:
    return false;
  }
}

// --- Files ----------------------------------------------------------------------

std::string errnoText(int error) {
  return std::strerror(error);
}

bool writeAll(int fd, std::span<const uint8_t> data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data = data.subspan(static_cast<size_t>(n));
  }
  return true;
}

// What `produce` gives, written to `fd` through a buffer of a few hundred
// KiB; false when a write failed.
bool writePieces(int fd, const std::function<void(const PieceWriter&)>& produce) {
  constexpr size_t kBuffer = 256 * 1024;
  std::string buffer;
  bool ok = true;
  auto flush = [&] {
    ok = ok &&
         writeAll(fd, std::span(reinterpret_cast<const uint8_t*>(buffer.data()), buffer.size()));
    buffer.clear();
    return ok;
  };
  produce([&](std::string_view piece) {
    if (!ok) return false;
    if (buffer.size() + piece.size() > kBuffer && !flush()) return false;
    if (piece.size() >= kBuffer)
      return ok = writeAll(fd,
                           std::span(reinterpret_cast<const uint8_t*>(piece.data()), piece.size()));
    buffer.append(piece);
    return true;
  });
  return flush();
}

// Whether `entry` is the name of a temporary file of the file `name`:
// ".<name>." and the six characters that mkostemp chose.
bool isTemporaryOf(std::string_view entry, std::string_view name) {
  constexpr size_t kRandom = 6;
  if (entry.size() != name.size() + 2 + kRandom || !entry.starts_with('.')) return false;
  if (entry.substr(1, name.size()) != name || entry[name.size() + 1] != '.') return false;
  return std::all_of(entry.end() - kRandom, entry.end(),
                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// Removes the temporary files of `name` in `folder` that writers killed
// midway left behind. A writer holds its temporary file locked until it
// has renamed it, and the lock goes with the process: a temporary file
// that can be locked is stale.
void removeStaleTemporaryFiles(const fs::path& folder, const std::string& name) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  const int dirFd = ::dirfd(dir);
  while (const dirent* entry = ::readdir(dir)) {
    if (!isTemporaryOf(entry->d_name, name)) continue;
    const int fd = ::openat(dirFd, entry->d_name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) continue;
    struct stat locked {};
    struct stat named {};
    // Still the file that was locked: not renamed into place meanwhile.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 &&
        S_ISREG(locked.st_mode) &&
        ::fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == locked.st_dev && named.st_ino == locked.st_ino)
      ::unlinkat(dirFd, entry->d_name, 0);
    ::close(fd);
  }
  ::closedir(dir);
}

// Creates and locks a new temporary file of `name` in `folder` (its path in
// `temporary`); -1 with errno when none can be made. A file that another
// writer took for stale before it was locked is left to that writer, and
// another one made.
int createTemporaryFile(const fs::path& folder, const std::string& name, std::string& temporary) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = (folder / ("." + name + ".XXXXXX")).string();
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat created {};
    struct stat named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &created) == 0 &&
        ::lstat(temporary.c_str(), &named) == 0 && named.st_dev == created.st_dev &&
        named.st_ino == created.st_ino)
      return fd;
    ::close(fd);
  }
  errno = EAGAIN;
  return -1;
}

} // namespace

std::string PropertyListRefusal::describe() const {
  std::string text;
  switch (reason) {
  case Reason::Empty:
    text = "empty";
    break;
  case Reason::BadHeader:
    text = "a binary property list of another version than bplist00";
    break;
  case Reason::TooLarge:
    text = "larger than " + std::to_string(kMaxPropertyListBytes) + " bytes";
    break;
  case Reason::BadOffset:
    text = "an offset, length or reference outside the file";
    break;
  case Reason::BadObject:
    text = "an object that is no property-list value";
    break;
  case Reason::ReferenceCycle:
    text = "a container that holds itself";
    break;
  case Reason::Nesting:
    text = "nesting deeper than " + std::to_string(kMaxPropertyListDepth) + " levels";
    break;
  case Reason::TooManyValues:
    text = "more than " + std::to_string(kMaxPropertyListValues) + " values";
    break;
  case Reason::BadXml:
    text = "XML elements that do not match";
    break;
  case Reason::NulInString:
    text = "a string holding a NUL character (U+0000)";
    break;
  case Reason::BadDate:
    text = "a date outside 1932-12-13 to 2069-01-19 (what libplist can read)";
    break;
  case Reason::Malformed:
    text = "malformed (libplist cannot read it)";
    break;
  }
  if (offset) text += " at byte " + std::to_string(*offset);
  return text;
}

std::optional<PropertyListRefusal> checkPropertyListBytes(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return PropertyListRefusal{Reason::Empty, std::nullopt};
  if (bytes.size() > kMaxPropertyListBytes)
    return PropertyListRefusal{Reason::TooLarge, std::nullopt};
  const std::string_view head(reinterpret_cast<const char*>(bytes.data()),
                              std::min(bytes.size(), kBinaryMagic.size()));
  if (head.starts_with("bplist")) {
    if (head != kBinaryMagic) return PropertyListRefusal{Reason::BadHeader, 0};
    return BinaryCheck(bytes).run();
  }
  return checkXml(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void PlistTreeFree::operator()(void* node) const {
  plist_free(node);
}

PlistTree parsePropertyListTree(std::span<const uint8_t> bytes, PropertyListRefusal* refusal) {
  auto refuse = [&](PropertyListRefusal why) {
    if (refusal != nullptr) *refusal = why;
    return nullptr;
  };
  if (std::optional<PropertyListRefusal> why = checkPropertyListBytes(bytes)) return refuse(*why);
  // libplist reads its own copy, followed by NUL bytes that it may look at
  // but that are never content.
  std::vector<char> buffer(bytes.begin(), bytes.end());
  buffer.resize(bytes.size() + 8, '\0');
  const auto length = static_cast<uint32_t>(bytes.size());
  plist_t root = nullptr;
  if (std::string_view(buffer.data(), bytes.size()).starts_with(kBinaryMagic))
    plist_from_bin(buffer.data(), length, &root);
  else
    plist_from_xml(buffer.data(), length, &root);
  PlistTree tree(root);
  if (!tree) return refuse({Reason::Malformed, std::nullopt});
  bool repeatedKeys = false;
  if (std::optional<Reason> why = notAValue(tree.get(), repeatedKeys))
    return refuse({*why, std::nullopt});
  if (repeatedKeys) tree.reset(withLastValues(tree.get()));
  return tree;
}

bool propertyListXml(const void* tree, std::string& xml) {
  if (tree == nullptr) return false;
  char* text = nullptr;
  uint32_t length = 0;
  plist_to_xml(const_cast<plist_t>(tree), &text, &length);
  struct XmlFree {
    void operator()(char* p) const { plist_to_xml_free(p); }
  };
  std::unique_ptr<char, XmlFree> owned(text);
  // Never write what the reader would refuse, or read as something else.
  if (text == nullptr || length == 0 || length > kMaxPropertyListBytes) return false;
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(text), length);
  if (!readsBackAs(tree, bytes)) return false;
  xml.assign(text, length);
  return true;
}

PlistScalar scalarOf(const void* node) {
  plist_t n = const_cast<plist_t>(node);
  PlistScalar s;
  if (n == nullptr) return s;
  switch (plist_get_node_type(n)) {
  case PLIST_BOOLEAN: {
    uint8_t v = 0;
    plist_get_bool_val(n, &v);
    s.kind = PlistScalar::Kind::Boolean;
    s.boolean = v != 0;
    break;
  }
  case PLIST_UINT: {
    uint64_t v = 0;
    plist_get_uint_val(n, &v);
    s.kind = PlistScalar::Kind::Integer;
    s.integer = static_cast<int64_t>(v);
    break;
  }
  case PLIST_REAL:
    s.kind = PlistScalar::Kind::Real;
    plist_get_real_val(n, &s.real);
    break;
  case PLIST_STRING: {
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(n, &length);
    s.kind = PlistScalar::Kind::String;
    if (text != nullptr) s.bytes = std::string_view(text, static_cast<size_t>(length));
    break;
  }
  case PLIST_DATA: {
    uint64_t length = 0;
    const char* data = plist_get_data_ptr(n, &length);
    s.kind = PlistScalar::Kind::Data;
    if (data != nullptr) s.bytes = std::string_view(data, static_cast<size_t>(length));
    break;
  }
  case PLIST_DATE: {
    int32_t seconds = 0;
    int32_t microseconds = 0;
    plist_get_date_val(n, &seconds, &microseconds);
    s.kind = PlistScalar::Kind::Date;
    s.real = seconds + microseconds / 1e6;
    break;
  }
  default:
    break;
  }
  return s;
}

bool readsBackAs(const void* tree, std::span<const uint8_t> bytes) {
  PlistTree back = parsePropertyListTree(bytes);
  return tree != nullptr && back && sameValue(const_cast<plist_t>(tree), back.get());
}

std::optional<FileError> readRegularFile(const fs::path& path, size_t limit,
                                         std::vector<uint8_t>& bytes) {
  bytes.clear();
  if (path.empty()) return FileError(FileProblem::Missing, path, "no such file");
  // O_NOFOLLOW: a symbolic link is no file of the device's own; O_NONBLOCK:
  // a FIFO in the file's place must not block the read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) return FileError(FileProblem::Missing, path, "no such file");
    return FileError(FileProblem::Unreadable, path,
                     error == ELOOP ? "a symbolic link, not a regular file"
                                    : "cannot be opened: " + errnoText(error));
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    return FileError(FileProblem::Unreadable, path, "cannot be read: " + errnoText(errno));
  if (!S_ISREG(st.st_mode)) return FileError(FileProblem::Unreadable, path, "not a regular file");
  const FileError tooLarge(FileProblem::TooLarge, path,
                           "larger than " + std::to_string(limit) + " bytes");
  if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > limit) return tooLarge;
  // Room for one byte more than fstat saw, growing up to one byte more than
  // allowed: a file that grew meanwhile is read (or refused) whole.
  bytes.resize(static_cast<size_t>(st.st_size) + 1);
  size_t total = 0;
  for (;;) {
    if (total == bytes.size()) {
      if (total > limit) break;
      bytes.resize(std::min(total * 2, limit + 1));
    }
    ssize_t n = ::read(fd, bytes.data() + total, bytes.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      bytes.clear();
      return FileError(FileProblem::Unreadable, path, "cannot be read: " + errnoText(error));
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  if (total > limit) {
    bytes.clear();
    return tooLarge;
  }
  bytes.resize(total);
  return std::nullopt;
}

std::optional<FileError> writeFileAtomically(const fs::path& path, std::span<const uint8_t> bytes) {
  return writeFileAtomically(path, [&](const PieceWriter& write) {
    write(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  });
}

std::optional<FileError>
writeFileAtomically(const fs::path& path, const std::function<void(const PieceWriter&)>& produce) {
  // Every failure before the rename leaves the file as it was.
  auto failed = [&](const std::string& why) {
    return FileError(FileProblem::WriteFailed, path, why + "; the file is unchanged");
  };
  if (path.empty() || !path.has_filename()) return failed("not a file name");
  const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  mode_t mode = 0644;
  struct stat old {};
  if (::lstat(path.c_str(), &old) == 0) {
    if (!S_ISREG(old.st_mode)) return failed("not a regular file; not replaced");
    mode = old.st_mode & 07777;
  }
  const std::string name = path.filename().string();
  removeStaleTemporaryFiles(folder, name);
  std::string temporary;
  const int fd = createTemporaryFile(folder, name, temporary);
  if (fd < 0)
    return failed("cannot create a temporary file in " + inQuotes(folder.string()) + ": " +
                  errnoText(errno));
  // The descriptor stays open, and the temporary file locked, until it has
  // been renamed: no other writer takes it for a stale one meanwhile.
  const char* step = nullptr;
  errno = 0;
  if (::fchmod(fd, mode) != 0)
    step = "cannot set the permissions of the temporary file";
  else if (!writePieces(fd, produce))
    step = "cannot write the temporary file";
  else if (::fsync(fd) != 0)
    step = "cannot flush the temporary file";
  else if (::rename(temporary.c_str(), path.c_str()) != 0)
    step = "cannot rename the temporary file over it";
  if (step != nullptr) {
    const int error = errno;
    ::unlink(temporary.c_str());
    ::close(fd);
    return failed(std::string(step) + ": " + (error != 0 ? errnoText(error) : "short write"));
  }
  ::close(fd); // its data is on disk already: fsync said so
  // The new file is in place; flushing the folder makes the rename durable.
  // When that fails, a power failure may still bring the old file back.
  const int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0 || ::fsync(folderFd) != 0) {
    const int error = errno;
    if (folderFd >= 0) ::close(folderFd);
    return FileError(FileProblem::NotDurable, path,
                     "the file was replaced, but its folder " + inQuotes(folder.string()) +
                         " cannot be flushed to disk: " + errnoText(error) +
                         "; the change may be lost if the device loses power");
  }
  ::close(folderFd);
  return std::nullopt;
}

bool writeFileInPlace(const fs::path& path, std::span<const uint8_t> bytes) {
  if (path.empty() || !path.has_filename()) return false;
  constexpr int kFlags = O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = ::open(path.c_str(), kFlags);
  if (fd < 0 && errno == ENOENT) {
    // A new file: 0644 whatever the umask, as the atomic write makes it.
    fd = ::open(path.c_str(), kFlags | O_CREAT | O_EXCL, 0644);
    if (fd >= 0 && ::fchmod(fd, 0644) != 0) {
      ::close(fd);
      ::unlink(path.c_str());
      return false;
    }
  }
  if (fd < 0) return false;
  struct stat st {};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) == 0 &&
            writeAll(fd, bytes);
  ok = ::close(fd) == 0 && ok;
  return ok;
}

std::string base64Text(std::span<const uint8_t> bytes) {
  static const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    for (int s = 18; s >= 0; s -= 6)
      out += alphabet[(v >> s) & 63];
  }
  if (i + 1 == bytes.size()) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += "==";
  } else if (i + 2 == bytes.size()) {
    uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8);
    out += alphabet[(v >> 18) & 63];
    out += alphabet[(v >> 12) & 63];
    out += alphabet[(v >> 6) & 63];
    out += '=';
  }
  return out;
}

std::string iso8601Text(double sinceReferenceDate) {
  constexpr double kReferenceToUnix = 978307200.0;
  auto seconds = static_cast<time_t>(std::floor(sinceReferenceDate + kReferenceToUnix));
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

nlohmann::json propertyListJson(const void* tree) {
  auto node = static_cast<plist_t>(const_cast<void*>(tree));
  switch (plist_get_node_type(node)) {
  case PLIST_BOOLEAN: {
    uint8_t v = 0;
    plist_get_bool_val(node, &v);
    return v != 0;
  }
  case PLIST_UINT: {
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return static_cast<int64_t>(v);
  }
  case PLIST_REAL: {
    double v = 0;
    plist_get_real_val(node, &v);
    return v;
  }
  case PLIST_STRING: {
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return text == nullptr ? std::string() : std::string(text, static_cast<size_t>(length));
  }
  case PLIST_DATA: {
    uint64_t length = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(plist_get_data_ptr(node, &length));
    return {{"data", base64Text(bytes == nullptr ? std::span<const uint8_t>()
                                                 : std::span<const uint8_t>(bytes, length))}};
  }
  case PLIST_DATE: {
    int32_t seconds = 0;
    int32_t microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    return {{"date", iso8601Text(seconds + microseconds / 1e6)}};
  }
  case PLIST_ARRAY: {
    nlohmann::json out = nlohmann::json::array();
    const uint32_t count = plist_array_get_size(node);
    for (uint32_t i = 0; i < count; ++i)
      out.push_back(propertyListJson(plist_array_get_item(node, i)));
    return out;
  }
  case PLIST_DICT: {
    nlohmann::json out = nlohmann::json::object();
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(node, iterator, &key, &value);
      if (value == nullptr || key == nullptr) {
        std::free(key);
        break;
      }
      out[key] = propertyListJson(value);
      std::free(key);
    }
    std::free(iterator);
    return out;
  }
  default:
    return nullptr;
  }
}

nlohmann::json dictionaryFileJson(const std::filesystem::path& path) {
  std::vector<uint8_t> bytes;
  if (readRegularFile(path, kMaxPropertyListBytes, bytes)) return nullptr;
  PlistTree tree = parsePropertyListTree(bytes);
  if (!tree || plist_get_node_type(static_cast<plist_t>(tree.get())) != PLIST_DICT) return nullptr;
  return propertyListJson(tree.get());
}

} // namespace prefsfile
