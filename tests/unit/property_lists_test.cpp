// Property-list files: every value type written and read back, binary files
// from libplist read, and hostile files (corrupt, truncated, too deep,
// cyclic, too large, the fuzzing corpus) read as no property list without
// harm. Writes that cannot complete leave the old file as it was, keep its
// permission bits and replace nothing that is no regular file. The byte
// checks and trees underneath (plist_files.h) work without a booted
// platform, for the tools.
#include "tests/unit/platform_fixture.h"
#include "tests/unit/temp_folder.h"

#include "host/files/plist_files.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/root_folder.h"
#include "host/sim/services/trace.h"
#include "platform/foundation.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <gmock/gmock.h>
#include <map>
#include <nlohmann/json.hpp>
#include <plist/plist.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using hostsim::Strong;
namespace fs = std::filesystem;

namespace {

constexpr const char* kFile = "/var/mobile/Library/Preferences/com.example.lists.plist";

std::string inQuotes(std::string_view text) {
  std::string out(1, '\'');
  out.append(text);
  out += '\'';
  return out;
}

// A value with its kind spelled out (2 and 2.0 differ), for comparisons.
std::string describe(id obj) {
  using namespace hostsim;
  char text[64];
  if (obj == nullptr) return "nil";
  if (isString(obj)) return inQuotes(stringOf(obj));
  if (isNumber(obj)) {
    const NumberState& n = state<NumberState>(obj);
    switch (n.kind) {
    case NumberState::Kind::Bool:
      return n.integer != 0 ? "true" : "false";
    case NumberState::Kind::Integer:
      return std::to_string(n.integer);
    case NumberState::Kind::Real:
      std::snprintf(text, sizeof text, "%.17gr", n.real);
      return text;
    }
  }
  if (isData(obj)) {
    std::string out = "<";
    for (uint8_t b : state<DataState>(obj).bytes) {
      std::snprintf(text, sizeof text, "%02x", b);
      out += text;
    }
    return out + ">";
  }
  if (isDate(obj)) {
    std::snprintf(text, sizeof text, "@%.17g", state<DateState>(obj).sinceReferenceDate);
    return text;
  }
  if (isArray(obj)) {
    std::string out = "[";
    for (const Strong& item : state<ArrayState>(obj).items)
      out += describe(item.get()) + ",";
    return out + "]";
  }
  if (isDictionary(obj)) {
    std::string out = "{";
    for (const auto& [key, value] : state<DictionaryState>(obj).entries)
      out += key + "=" + describe(value.get()) + ";";
    return out + "}";
  }
  return std::string("?") + class_getName(object_getClass(obj));
}

// The same spelling for a libplist tree: what a file really holds.
std::string describe(plist_t node) {
  char text[64];
  switch (plist_get_node_type(node)) {
  case PLIST_BOOLEAN: {
    uint8_t v = 0;
    plist_get_bool_val(node, &v);
    return v ? "true" : "false";
  }
  case PLIST_UINT: {
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return std::to_string(static_cast<int64_t>(v));
  }
  case PLIST_REAL: {
    double v = 0;
    plist_get_real_val(node, &v);
    std::snprintf(text, sizeof text, "%.17gr", v);
    return text;
  }
  case PLIST_STRING: {
    uint64_t length = 0;
    const char* p = plist_get_string_ptr(node, &length);
    return inQuotes(std::string_view(p, length));
  }
  case PLIST_DATA: {
    uint64_t length = 0;
    const char* p = plist_get_data_ptr(node, &length);
    std::string out = "<";
    for (uint64_t i = 0; i < length; ++i) {
      std::snprintf(text, sizeof text, "%02x", static_cast<uint8_t>(p[i]));
      out += text;
    }
    return out + ">";
  }
  case PLIST_DATE: {
    int32_t s = 0;
    int32_t us = 0;
    plist_get_date_val(node, &s, &us);
    std::snprintf(text, sizeof text, "@%.17g", s + us / 1e6);
    return text;
  }
  case PLIST_ARRAY: {
    std::string out = "[";
    for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
      out += describe(plist_array_get_item(node, i)) + ",";
    return out + "]";
  }
  case PLIST_DICT: {
    std::map<std::string, std::string> entries;
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(node, it, &key, &value);
      if (value == nullptr) {
        std::free(key);
        break;
      }
      entries[key] = describe(value);
      std::free(key);
    }
    std::free(it);
    std::string out = "{";
    for (const auto& [key, value] : entries)
      out += key + "=" + value + ";";
    return out + "}";
  }
  default:
    return "unsupported";
  }
}

Strong parse(const std::string& bytes) {
  return hostsim::parsePropertyList(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

// Why the checks refuse `bytes` ("" when they pass).
std::string refusalOf(const std::string& bytes) {
  const auto refusal = prefsfile::checkPropertyListBytes(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  return refusal ? refusal->describe() : "";
}

void putBigEndian(std::string& bytes, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i)
    bytes[at + i] = static_cast<char>(value >> (8 * (width - 1 - i)));
}
uint64_t getBigEndian(const std::string& bytes, size_t at, size_t width) {
  uint64_t v = 0;
  for (size_t i = 0; i < width; ++i)
    v = (v << 8) | static_cast<uint8_t>(bytes[at + i]);
  return v;
}

// A binary property list put together object by object, to make files that
// no writer would: cycles, bad offsets and references, lying lengths.
class Bplist {
public:
  explicit Bplist(size_t refSize = 1) : refSize_(refSize) {}

  uint64_t add(std::string encoded) {
    objects_.push_back(std::move(encoded));
    return objects_.size() - 1;
  }
  uint64_t string(std::string_view text) { return add(head(0x5, text.size()) + std::string(text)); }
  uint64_t integer(uint8_t value) { return add(std::string("\x10", 1) + static_cast<char>(value)); }
  uint64_t array(const std::vector<uint64_t>& refs) {
    std::string out = head(0xA, refs.size());
    for (uint64_t r : refs)
      out += ref(r);
    return add(out);
  }
  uint64_t dict(const std::vector<uint64_t>& keys, const std::vector<uint64_t>& values) {
    std::string out = head(0xD, keys.size());
    for (uint64_t r : keys)
      out += ref(r);
    for (uint64_t r : values)
      out += ref(r);
    return add(out);
  }
  // Reserves an object to be filled in later (to refer to it before).
  uint64_t reserve() { return add(""); }
  void set(uint64_t index, std::string encoded) { objects_[index] = std::move(encoded); }
  std::string arrayOf(const std::vector<uint64_t>& refs) const {
    std::string out = head(0xA, refs.size());
    for (uint64_t r : refs)
      out += ref(r);
    return out;
  }

  std::string build(uint64_t top) const {
    std::string out = "bplist00";
    std::vector<uint64_t> offsets;
    for (const std::string& o : objects_) {
      offsets.push_back(out.size());
      out += o;
    }
    const uint64_t table = out.size();
    const size_t offsetSize = table < 0x100 ? 1 : table < 0x10000 ? 2 : 4;
    for (uint64_t offset : offsets) {
      out.append(offsetSize, '\0');
      putBigEndian(out, out.size() - offsetSize, offset, offsetSize);
    }
    out.append(32, '\0');
    const size_t t = out.size() - 32;
    out[t + 6] = static_cast<char>(offsetSize);
    out[t + 7] = static_cast<char>(refSize_);
    putBigEndian(out, t + 8, objects_.size(), 8);
    putBigEndian(out, t + 16, top, 8);
    putBigEndian(out, t + 24, table, 8);
    return out;
  }

  // Where the trailer's fields are in a built file.
  static size_t offsetSizeAt(const std::string& b) { return b.size() - 26; }
  static size_t refSizeAt(const std::string& b) { return b.size() - 25; }
  static size_t countAt(const std::string& b) { return b.size() - 24; }
  static size_t topAt(const std::string& b) { return b.size() - 16; }
  static size_t tableAt(const std::string& b) { return b.size() - 8; }

private:
  static std::string head(uint8_t type, uint64_t n) {
    if (n < 15) return std::string(1, static_cast<char>(type << 4 | n));
    std::string out(1, static_cast<char>(type << 4 | 0xF));
    out += '\x13';
    out.append(8, '\0');
    putBigEndian(out, 2, n, 8);
    return out;
  }
  std::string ref(uint64_t r) const {
    std::string out(refSize_, '\0');
    putBigEndian(out, 0, r, refSize_);
    return out;
  }

  size_t refSize_;
  std::vector<std::string> objects_;
};

std::string nestedArraysXml(size_t depth) {
  std::string out = "<plist>";
  for (size_t i = 0; i < depth; ++i)
    out += "<array>";
  out += "<true/>";
  for (size_t i = 0; i < depth; ++i)
    out += "</array>";
  return out + "</plist>";
}

// `depth` arrays, each holding the next; the innermost holds a string.
std::string nestedArraysBinary(size_t depth) {
  Bplist b(4);
  std::vector<uint64_t> arrays;
  for (size_t i = 0; i < depth; ++i)
    arrays.push_back(b.reserve());
  uint64_t leaf = b.string("x");
  for (size_t i = 0; i < depth; ++i)
    b.set(arrays[i], b.arrayOf({i + 1 < depth ? i + 1 : leaf}));
  return b.build(0);
}

std::string toBinary(plist_t node) {
  char* bytes = nullptr;
  uint32_t length = 0;
  plist_to_bin(node, &bytes, &length);
  std::string out(bytes, length);
  plist_to_bin_free(bytes);
  return out;
}

// Lowers this process's file size limit, with SIGXFSZ ignored so that a
// write past it fails with EFBIG; both are restored when it goes.
class FileSizeLimit {
public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    savedHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit lowered = saved_;
    lowered.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, savedHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
  rlimit saved_{};
  void (*savedHandler_)(int) = SIG_DFL;
};

class PropertyListTest : public PlatformTest {
protected:
  fs::path host(std::string_view devicePath) const { return hostsim::hostPath(devicePath); }

  void put(std::string_view devicePath, const std::string& bytes) const {
    std::ofstream out(host(devicePath), std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  std::string contents(std::string_view devicePath) const {
    std::ifstream in(host(devicePath), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::vector<std::string> folderEntries(std::string_view deviceFolder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(host(deviceFolder)))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  Strong read(bool mutableDictionary = false) const {
    return hostsim::readDictionaryFile(kFile, mutableDictionary);
  }
  Strong readBytes(const std::string& bytes) const {
    put(kFile, bytes);
    return read();
  }

  // A dictionary of every kind of value.
  static Strong everyKind() {
    using namespace hostsim;
    std::map<std::string, Strong> inner;
    inner["deeper"] = newDictionary({{"leaf", newString("x")}}, false);
    return newDictionary(
        {
            {"string", newString("Grüße, 日本 & <tags> \"quoted\" 'single'\ttab")},
            {"emptyString", newString("")},
            {"yes", newBool(true)},
            {"no", newBool(false)},
            {"zero", newInteger(0)},
            {"negative", newInteger(-42)},
            {"min", newInteger(INT64_MIN)},
            {"max", newInteger(INT64_MAX)},
            {"real", newReal(0.1)},
            {"wholeReal", newReal(2.0)},
            {"hugeReal", newReal(-1e300)},
            {"tinyReal", newReal(5e-324)},
            {"data", newData({0x00, 0x01, 0xFF, '<', '&'})},
            {"emptyData", newData({})},
            {"date", newDate(700000000)},
            {"oldDate", newDate(-1000000000)},
            {"array", newArray({newInteger(1), newString("two"), newArray({newBool(true)})})},
            {"emptyArray", newArray({})},
            {"nested", newDictionary(std::move(inner), false)},
            {"emptyDictionary", newDictionary({}, false)},
        },
        false);
  }
};

// --- Reading and writing every value --------------------------------------------

TEST_F(PropertyListTest, EveryValueTypeSurvivesAWriteAndARead) {
  Strong written = everyKind();
  for (bool atomically : {true, false}) {
    SCOPED_TRACE(atomically ? "atomically" : "in place");
    ASSERT_TRUE(hostsim::writePropertyListFile(written.get(), kFile, atomically));
    EXPECT_TRUE(contents(kFile).starts_with("<?xml")) << "written as XML";
    Strong back = read();
    ASSERT_TRUE(back);
    EXPECT_EQ(describe(back.get()), describe(written.get()));
  }
}

TEST_F(PropertyListTest, DatesAreWrittenToTheWholeSecondRoundedDown) {
  using namespace hostsim;
  Strong dates = newDictionary({{"later", newDate(100.75)}, {"earlier", newDate(-100.25)}}, false);
  ASSERT_TRUE(writePropertyListFile(dates.get(), kFile, true));
  EXPECT_EQ(describe(read().get()), "{earlier=@-101;later=@100;}");
}

TEST_F(PropertyListTest, OnlyTheTopLevelDictionaryIsMadeMutable) {
  ASSERT_TRUE(hostsim::writePropertyListFile(everyKind().get(), kFile, true));
  Class mutableClass = objc_getClass("NSMutableDictionary");
  Strong mutableRead = read(true);
  ASSERT_TRUE(mutableRead);
  EXPECT_EQ(object_getClass(mutableRead.get()), mutableClass);
  id nested = platform::NSDictionary::objectForKey(mutableRead.get(), NSSTR("nested"));
  EXPECT_EQ(object_getClass(nested), objc_getClass("NSDictionary"));
  EXPECT_EQ(object_getClass(read(false).get()), objc_getClass("NSDictionary"));
}

TEST_F(PropertyListTest, BinaryFilesFromLibplistAreRead) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "ascii", plist_new_string("plain"));
  plist_dict_set_item(root, "unicode", plist_new_string("Grüße 日本"));
  plist_dict_set_item(root, "yes", plist_new_bool(1));
  plist_dict_set_item(root, "small", plist_new_uint(7));
  plist_dict_set_item(root, "negative", plist_new_uint(static_cast<uint64_t>(-300000)));
  plist_dict_set_item(root, "big", plist_new_uint(1ull << 40));
  plist_dict_set_item(root, "real", plist_new_real(-2.5));
  plist_dict_set_item(root, "data", plist_new_data("\0\x01\xff", 3));
  plist_dict_set_item(root, "date", plist_new_date(700000000, 250000));
  plist_t list = plist_new_array();
  plist_array_append_item(list, plist_new_string("com.apple.mobilesafari"));
  plist_array_append_item(list, plist_new_dict());
  plist_dict_set_item(root, "list", list);
  const std::string bytes = toBinary(root);
  plist_free(root);
  ASSERT_TRUE(bytes.starts_with("bplist00"));

  Strong back = readBytes(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(describe(back.get()),
            "{ascii='plain';big=1099511627776;data=<0001ff>;date=@700000000.25;"
            "list=['com.apple.mobilesafari',{},];negative=-300000;real=-2.5r;small=7;"
            "unicode='Grüße 日本';yes=true;}");
}

// libplist cannot tell an integer above INT64_MAX from a negative one; the
// 64 bits are kept and read as signed.
TEST_F(PropertyListTest, IntegersAboveTheSignedRangeKeepTheirBits) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "top", plist_new_uint(UINT64_MAX));
  Strong binary = readBytes(toBinary(root));
  plist_free(root);
  EXPECT_EQ(describe(binary.get()), "{top=-1;}");
  Strong xml = readBytes("<plist><dict><key>top</key><integer>18446744073709551615</integer>"
                         "</dict></plist>");
  EXPECT_EQ(describe(xml.get()), "{top=-1;}");
}

// --- Files that are no dictionary -------------------------------------------------

TEST_F(PropertyListTest, FilesThatAreNoDictionaryReadAsNil) {
  EXPECT_FALSE(read()) << "missing file";
  const std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n"
                          "<dict><key>enabled</key><true/><key>count</key><integer>3</integer>"
                          "</dict>\n</plist>\n";
  ASSERT_TRUE(readBytes(xml)) << "the file the cases below spoil";
  const std::map<std::string, std::string> cases = {
      {"empty file", ""},
      {"text", "enabled = YES"},
      {"binary noise", std::string("\x00\xff\x13\x37garbage\x00", 13)},
      {"top-level array", "<plist><array><true/></array></plist>"},
      {"top-level string", "<plist><string>x</string></plist>"},
      {"unclosed dictionary", "<plist><dict><key>a</key><true/></plist>"},
      {"mismatched tags", "<plist><dict><key>a</key><string>x</array></dict></plist>"},
      {"value without key", "<plist><dict><true/></dict></plist>"},
      {"magic only", "bplist00"},
      {"other binary version", "bplist01" + std::string(40, '\0')},
      {"a key outside a dictionary", "<plist><array><key>a</key></array></plist>"},
  };
  for (const auto& [name, bytes] : cases)
    EXPECT_FALSE(readBytes(bytes)) << name;
  // Every prefix of the XML file that cuts into its elements.
  for (size_t n = 0; n < xml.rfind("</plist>") + 8; ++n)
    EXPECT_FALSE(parse(xml.substr(0, n))) << "cut at " << n;
}

TEST_F(PropertyListTest, OnlyRegularFilesAreRead) {
  const std::string xml = "<plist><dict><key>a</key><true/></dict></plist>";
  const fs::path folder = host("/var/mobile/Library/Preferences");
  { std::ofstream(folder / "real.plist") << xml; }
  fs::create_symlink(folder / "real.plist", host(kFile));
  EXPECT_FALSE(read()) << "a symbolic link";
  fs::remove(host(kFile));
  fs::create_directory(host(kFile));
  EXPECT_FALSE(read()) << "a folder";
  fs::remove(host(kFile));
  ASSERT_EQ(mkfifo(host(kFile).c_str(), 0644), 0);
  EXPECT_FALSE(read()) << "a FIFO, read without waiting for a writer";
  EXPECT_FALSE(hostsim::readDictionaryFile("/../outside.plist", false)) << "a path out of the root";
}

TEST_F(PropertyListTest, BinaryFilesWithBadStructureAreNil) {
  Bplist b;
  // Object 0 is referred to by none, so that no reference is a NUL byte
  // (a string running over them holds no NUL).
  b.integer(1);
  uint64_t key = b.string("list");
  uint64_t item = b.string("com.apple.mobilesafari");
  uint64_t list = b.array({item, item});
  uint64_t top = b.dict({key}, {list});
  const std::string good = b.build(top);
  ASSERT_EQ(describe(parse(good).get()),
            "{list=['com.apple.mobilesafari','com.apple.mobilesafari',];}")
      << "one object referenced twice is no cycle";

  auto spoiled = [&](auto change) {
    std::string bytes = good;
    change(bytes);
    return parse(bytes);
  };
  // One-byte offsets and references in this small file.
  const size_t table = getBigEndian(good, Bplist::tableAt(good), 8);
  const size_t itemAt = static_cast<uint8_t>(good[table + item]);
  const size_t listAt = static_cast<uint8_t>(good[table + list]);
  EXPECT_FALSE(spoiled([&](std::string& s) { s[table + item] = static_cast<char>(table); }))
      << "object offset at the offset table";
  EXPECT_FALSE(spoiled([&](std::string& s) { s[table + item] = static_cast<char>(0xF0); }))
      << "object offset past the end";
  EXPECT_FALSE(spoiled([&](std::string& s) { s[table + item] = 3; })) << "object offset in header";
  EXPECT_FALSE(spoiled([&](std::string& s) { s[listAt + 2] = 5; })) << "reference past the count";
  std::string pastCount = good;
  pastCount[listAt + 2] = 5;
  EXPECT_EQ(refusalOf(pastCount), "an offset, length or reference outside the file at byte " +
                                      std::to_string(listAt + 2));
  EXPECT_FALSE(spoiled([&](std::string& s) { putBigEndian(s, Bplist::topAt(s), 5, 8); }))
      << "top object past the count";
  EXPECT_FALSE(spoiled([&](std::string& s) { putBigEndian(s, Bplist::countAt(s), 1ull << 62, 8); }))
      << "object count beyond the file";
  EXPECT_FALSE(spoiled([&](std::string& s) { putBigEndian(s, Bplist::countAt(s), 0, 8); }))
      << "no objects";
  EXPECT_FALSE(spoiled([&](std::string& s) { putBigEndian(s, Bplist::tableAt(s), s.size(), 8); }))
      << "offset table past the end";
  EXPECT_FALSE(spoiled([&](std::string& s) { putBigEndian(s, Bplist::tableAt(s), 2, 8); }))
      << "offset table inside the header";
  for (int size : {0, 9}) {
    EXPECT_FALSE(spoiled([&](std::string& s) { s[Bplist::offsetSizeAt(s)] = char(size); }))
        << "offset size " << size;
    EXPECT_FALSE(spoiled([&](std::string& s) { s[Bplist::refSizeAt(s)] = char(size); }))
        << "reference size " << size;
  }
  // The item's length follows its marker as an 8-byte integer; its
  // characters start 10 bytes in.
  EXPECT_FALSE(spoiled([&](std::string& s) { putBigEndian(s, itemAt + 2, table - itemAt - 9, 8); }))
      << "a string running into the offset table";
  EXPECT_TRUE(spoiled([&](std::string& s) { putBigEndian(s, itemAt + 2, table - itemAt - 10, 8); }))
      << "a string that ends where the offset table starts";
  EXPECT_FALSE(spoiled([&](std::string& s) { putBigEndian(s, itemAt + 2, ~0ull, 8); }))
      << "a string of 2^64 - 1 bytes";
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_FALSE(parse(good.substr(0, n))) << "cut at " << n;
}

TEST_F(PropertyListTest, BinaryObjectsThatAreNoPropertyListValuesAreNil) {
  auto withValue = [](std::string encoded) {
    Bplist b;
    uint64_t key = b.string("k");
    uint64_t value = b.add(std::move(encoded));
    return b.build(b.dict({key}, {value}));
  };
  EXPECT_TRUE(parse(withValue(std::string("\x09", 1)))) << "true, as a control";
  EXPECT_FALSE(parse(withValue(std::string("\x00", 1)))) << "null";
  EXPECT_FALSE(parse(withValue(std::string("\x80\x05", 2)))) << "a UID";
  EXPECT_THAT(refusalOf(withValue(std::string("\x80\x05", 2))),
              testing::StartsWith("an object that is no property-list value at byte "));
  EXPECT_FALSE(parse(withValue(std::string("\xC0", 1)))) << "a set";
  EXPECT_FALSE(parse(withValue(std::string("\x15", 1) + std::string(32, '\0'))))
      << "a 32-byte integer";
  // A length that follows the marker, claiming more than there is.
  std::string longData("\x4F\x13", 2);
  longData.append(8, '\0');
  longData[2] = 0x40;
  EXPECT_FALSE(parse(withValue(longData + "abc"))) << "data with a huge length";
  Bplist b;
  uint64_t notAKey = b.integer(1);
  uint64_t value = b.string("v");
  EXPECT_FALSE(parse(b.build(b.dict({notAKey}, {value})))) << "an integer as a key";
}

// libplist 2.2.0 misreads these: a key holding U+0000 aborts it, a string
// value holding one reads as something else and is written cut short, a date
// beyond its 32-bit seconds reads and is written as another date.
TEST(PlistFiles, FilesThatLibplistWouldMisreadAreNoPropertyList) {
  auto utf16 = [](std::u16string_view text) {
    std::string out(1, static_cast<char>(0x60 | text.size()));
    for (char16_t c : text) {
      out += static_cast<char>(c >> 8);
      out += static_cast<char>(c & 0xFF);
    }
    return out;
  };
  auto date = [](double seconds) {
    uint64_t bits = 0;
    std::memcpy(&bits, &seconds, sizeof bits);
    std::string out("\x33");
    out.append(8, '\0');
    putBigEndian(out, 1, bits, 8);
    return out;
  };
  auto dictionary = [](std::string key, std::string value) {
    Bplist b;
    const uint64_t k = b.add(std::move(key));
    const uint64_t v = b.add(std::move(value));
    return b.build(b.dict({k}, {v}));
  };
  // Why the tree parse refuses `bytes` ("" when it reads them).
  auto why = [](const std::string& bytes) -> std::string {
    prefsfile::PropertyListRefusal refusal{};
    if (prefsfile::parsePropertyListTree(
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()),
            &refusal))
      return "";
    return refusal.describe();
  };
  using ::testing::HasSubstr;
  const std::string key = utf16(u"timerTime");
  ASSERT_EQ(why(dictionary(utf16(u"\u00e9"), "\x09")), "") << "a UTF-16 key, as a control";
  ASSERT_EQ(why(dictionary(key, date(700000000.25))), "") << "a date, as a control";
  ASSERT_EQ(why(dictionary(key, date(-2147483648.0))), "") << "the earliest date";
  const std::string nul = "a string holding a NUL character (U+0000) at byte ";
  EXPECT_EQ(why(dictionary(utf16(std::u16string_view(u"\0\u00e9", 2)), "\x09")), nul + "9")
      << "a key holding U+0000";
  EXPECT_EQ(why(dictionary(key, utf16(std::u16string_view(u"\0\0\0", 3)))), nul + "28")
      << "a value holding U+0000";
  EXPECT_EQ(why(dictionary(key, std::string("\x53"
                                            "a\0b",
                                            4))),
            nul + "29")
      << "an ASCII NUL";
  const std::string date32 = "a date outside 1932-12-13 to 2069-01-19";
  EXPECT_THAT(why(dictionary(key, date(5e9))), HasSubstr(date32)) << "after 2069";
  EXPECT_THAT(why(dictionary(key, date(-2147483649.0))), HasSubstr(date32)) << "before 1932";
  EXPECT_THAT(why(dictionary(key, date(NAN))), HasSubstr(date32)) << "no number";
  EXPECT_THAT(why("<plist><dict><key>d</key><date>2159-06-12T08:53:20Z</date></dict></plist>"),
              HasSubstr(date32))
      << "XML";
}

// A key written twice in one dictionary means its last value to every
// reader, and a write keeps one entry.
TEST_F(PropertyListTest, ARepeatedKeyMeansItsLastValue) {
  Bplist b;
  const uint64_t key = b.string("timerTime");
  const uint64_t nine = b.integer(9);
  const uint64_t three = b.integer(3);
  const std::string bytes = b.build(b.dict({key, key}, {nine, three}));
  prefsfile::PlistTree tree = prefsfile::parsePropertyListTree(
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  ASSERT_TRUE(tree);
  EXPECT_EQ(plist_dict_get_size(tree.get()), 1u);
  EXPECT_EQ(describe(plist_dict_get_item(tree.get(), "timerTime")), "3") << "the editor's look-up";
  EXPECT_EQ(describe(parse(bytes).get()), "{timerTime=3;}") << "the home screen's objects";
}

TEST_F(PropertyListTest, BinaryFilesThatContainThemselvesAreNil) {
  Bplist self;
  uint64_t array = self.reserve();
  self.set(array, self.arrayOf({array}));
  EXPECT_FALSE(parse(self.build(array))) << "an array holding itself";
  EXPECT_THAT(refusalOf(self.build(array)),
              testing::StartsWith("a container that holds itself at byte "));

  Bplist loop;
  uint64_t key = loop.string("k");
  uint64_t first = loop.reserve();
  uint64_t second = loop.array({first});
  loop.set(first, loop.arrayOf({second}));
  EXPECT_FALSE(parse(loop.build(loop.dict({key}, {first})))) << "two arrays holding each other";
}

// Shared references expand: 40 levels of two references each would be 2^40
// values once followed, in a file of a few hundred bytes.
TEST_F(PropertyListTest, BinaryFilesThatExpandBeyondTheValueLimitAreNil) {
  Bplist b;
  std::vector<uint64_t> levels;
  for (int i = 0; i < 40; ++i)
    levels.push_back(b.reserve());
  uint64_t leaf = b.string("x");
  for (size_t i = 0; i < levels.size(); ++i) {
    uint64_t next = i + 1 < levels.size() ? levels[i + 1] : leaf;
    b.set(levels[i], b.arrayOf({next, next}));
  }
  EXPECT_FALSE(parse(b.build(levels[0])));
  EXPECT_THAT(refusalOf(b.build(levels[0])),
              testing::StartsWith("more than 262144 values at byte "));
}

// In XML every element but <plist> is a value, keys included: an array and
// 2^18 - 1 booleans are the most a file may hold.
TEST_F(PropertyListTest, XmlFilesBeyondTheValueLimitAreNil) {
  auto arrayOf = [](size_t values) {
    std::string xml = "<plist><array>";
    for (size_t i = 1; i < values; ++i)
      xml += "<true/>";
    return xml + "</array></plist>";
  };
  const size_t limit = prefsfile::kMaxPropertyListValues;
  ASSERT_EQ(limit, size_t{1} << 18);
  const std::string atLimit = arrayOf(limit);
  ASSERT_LE(atLimit.size(), prefsfile::kMaxPropertyListBytes) << "refused for values, not size";
  EXPECT_EQ(refusalOf(atLimit), "");
  EXPECT_TRUE(parse(atLimit));
  const std::string overLimit = arrayOf(limit + 1);
  // "<plist><array>" and 2^18 - 1 "<true/>" come first.
  EXPECT_EQ(refusalOf(overLimit),
            "more than 262144 values at byte " + std::to_string(14 + 7 * (limit - 1)));
  EXPECT_FALSE(parse(overLimit));
}

TEST_F(PropertyListTest, NestingIsLimited) {
  const int limit = prefsfile::kMaxPropertyListDepth;
  EXPECT_TRUE(parse(nestedArraysXml(limit))) << "XML at the limit";
  EXPECT_FALSE(parse(nestedArraysXml(limit + 1))) << "XML past the limit";
  // "<plist>" and 64 "<array>" come first.
  EXPECT_EQ(refusalOf(nestedArraysXml(limit + 1)),
            "nesting deeper than 64 levels at byte " + std::to_string(7 * (limit + 1)));
  EXPECT_TRUE(parse(nestedArraysBinary(limit))) << "binary at the limit";
  EXPECT_FALSE(parse(nestedArraysBinary(limit + 1))) << "binary past the limit";
  EXPECT_THAT(refusalOf(nestedArraysBinary(limit + 1)),
              testing::StartsWith("nesting deeper than 64 levels at byte "));

  // What libplist 2.2.0 cannot free without overflowing its stack.
  const std::string deepXml = nestedArraysXml(200000);
  ASSERT_LE(deepXml.size(), prefsfile::kMaxPropertyListBytes) << "refused for depth, not size";
  EXPECT_FALSE(parse(deepXml));
  const std::string deepBinary = nestedArraysBinary(200000);
  ASSERT_LE(deepBinary.size(), prefsfile::kMaxPropertyListBytes);
  EXPECT_FALSE(parse(deepBinary));

  std::string dicts = "<plist>";
  for (int i = 0; i <= limit; ++i)
    dicts += "<dict><key>k</key>";
  dicts += "<true/>";
  for (int i = 0; i <= limit; ++i)
    dicts += "</dict>";
  EXPECT_FALSE(parse(dicts + "</plist>")) << "dictionaries count as arrays do";
}

// Empty containers, and containers inside comments and CDATA sections, nest
// nothing.
TEST_F(PropertyListTest, OnlyOpenContainersCountAsNesting) {
  std::string manyEmpty = "<plist><dict><key>a</key><array>";
  for (int i = 0; i < 1000; ++i)
    manyEmpty += "<array/><dict/><array /><dict></dict>";
  manyEmpty += "</array></dict></plist>";
  EXPECT_TRUE(readBytes(manyEmpty));
  // "<array/>" or "<array />" and nothing else: one with an attribute is no
  // empty container.
  for (const char* odd : {"<array x/>", "<dict a/>", "<array x=\"1\"/>"}) {
    const std::string text = std::string("<plist><dict><key>a</key>") + odd + "</dict></plist>";
    EXPECT_FALSE(readBytes(text)) << odd;
    EXPECT_NE(refusalOf(text), "") << odd;
  }

  std::string deepInComment = "<plist><dict><!-- ";
  for (int i = 0; i < 1000; ++i)
    deepInComment += "<array>";
  deepInComment +=
      " --><key>a</key><string>x<![CDATA[<dict><dict><dict>]]></string></dict></plist>";
  Strong read = readBytes(deepInComment);
  EXPECT_EQ(describe(read.get()), "{a='x<dict><dict><dict>';}");
}

TEST_F(PropertyListTest, FilesOverTheSizeLimitAreNil) {
  auto fileOf = [](size_t size) {
    const std::string_view head = "<plist><dict><key>k</key><string>";
    const std::string_view tail = "</string></dict></plist>";
    std::string out(head);
    out.append(size - head.size() - tail.size(), 'a');
    out.append(tail);
    return out;
  };
  const std::string atLimit = fileOf(prefsfile::kMaxPropertyListBytes);
  const std::string overLimit = fileOf(prefsfile::kMaxPropertyListBytes + 1);
  ASSERT_EQ(atLimit.size(), prefsfile::kMaxPropertyListBytes);
  EXPECT_TRUE(readBytes(atLimit)) << "at the limit";
  EXPECT_FALSE(readBytes(overLimit)) << "one byte over";
  EXPECT_FALSE(parse(overLimit));
  EXPECT_EQ(refusalOf(overLimit), "larger than 4194304 bytes");
}

// Inputs that crashed or leaked earlier libplist releases under fuzzing.
TEST_F(PropertyListTest, HostileFilesReadAsNilOrAsTheDictionaryTheyHold) {
  size_t files = 0;
  for (const char* folder : {"bplist-crashes", "bplist-leaks", "xplist-crashes", "xplist-leaks"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(QUELLINE_HOSTILE_PLISTS) / folder)) {
      SCOPED_TRACE(entry.path().string());
      ++files;
      std::ifstream in(entry.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      Strong read = readBytes(bytes.str());
      if (!read) continue;
      // Accepted: it must be exactly what libplist finds in the file.
      plist_t node = nullptr;
      const std::string text = bytes.str();
      if (text.starts_with("bplist"))
        plist_from_bin(text.data(), static_cast<uint32_t>(text.size()), &node);
      else
        plist_from_xml(text.data(), static_cast<uint32_t>(text.size()), &node);
      ASSERT_NE(node, nullptr);
      EXPECT_EQ(describe(read.get()), describe(node));
      plist_free(node);
    }
  }
  EXPECT_EQ(files, 48u);
}

// Every single-byte change of a good file reads as something or nothing,
// never as a crash or a sanitizer report.
TEST_F(PropertyListTest, CorruptedBytesNeverHarmTheReader) {
  plist_t root = plist_new_dict();
  plist_dict_set_item(root, "name", plist_new_string("Grüße"));
  plist_dict_set_item(root, "count", plist_new_uint(300));
  plist_dict_set_item(root, "real", plist_new_real(0.5));
  plist_dict_set_item(root, "data", plist_new_data("abc", 3));
  plist_dict_set_item(root, "date", plist_new_date(1000, 0));
  plist_t list = plist_new_array();
  plist_array_append_item(list, plist_new_bool(1));
  plist_array_append_item(list, plist_new_dict());
  plist_dict_set_item(root, "list", list);
  const std::string binary = toBinary(root);
  char* xmlText = nullptr;
  uint32_t xmlLength = 0;
  plist_to_xml(root, &xmlText, &xmlLength);
  const std::string xml(xmlText, xmlLength);
  plist_to_xml_free(xmlText);
  plist_free(root);

  size_t accepted = 0;
  for (const std::string& good : {binary, xml}) {
    for (size_t i = 0; i < good.size(); ++i) {
      for (uint8_t change : {0x00, 0xFF, 0x80, 0x01, 0x0F}) {
        std::string bytes = good;
        bytes[i] = static_cast<char>(
            change == 0x80 || change == 0x01 ? static_cast<uint8_t>(bytes[i]) ^ change : change);
        Strong value = parse(bytes);
        if (value) {
          ++accepted;
          EXPECT_NE(describe(value.get()), "") << "at " << i;
        }
      }
    }
  }
  EXPECT_GT(accepted, 0u) << "harmless changes (inside strings and data) still read";
}

// --- Writing ------------------------------------------------------------------------

TEST_F(PropertyListTest, AnAtomicWriteLeavesNoTemporaryFile) {
  ASSERT_TRUE(hostsim::writePropertyListFile(everyKind().get(), kFile, true));
  ASSERT_TRUE(hostsim::writePropertyListFile(everyKind().get(), kFile, true)) << "over a file";
  EXPECT_EQ(folderEntries("/var/mobile/Library/Preferences"),
            std::vector<std::string>{"com.example.lists.plist"});
}

TEST_F(PropertyListTest, AWriteThatCannotCompleteLeavesTheOldFile) {
  using namespace hostsim;
  Strong old = newDictionary({{"enabled", newBool(true)}}, false);
  ASSERT_TRUE(writePropertyListFile(old.get(), kFile, true));
  const std::string before = contents(kFile);
  std::vector<Strong> many;
  for (int i = 0; i < 2000; ++i)
    many.push_back(newString("com.example.app" + std::to_string(i)));
  Strong large = newDictionary({{"apps", newArray(std::move(many))}}, false);

  bool written = true;
  {
    FileSizeLimit limit(4096);
    written = writePropertyListFile(large.get(), kFile, true);
  }
  EXPECT_FALSE(written) << "the file system refused the bytes (EFBIG)";
  EXPECT_EQ(contents(kFile), before);
  EXPECT_EQ(folderEntries("/var/mobile/Library/Preferences"),
            std::vector<std::string>{"com.example.lists.plist"})
      << "the temporary file is gone";
  {
    FileSizeLimit limit(4096);
    written = writePropertyListFile(large.get(), kFile, false);
  }
  EXPECT_FALSE(written) << "in place, too";

  EXPECT_FALSE(writePropertyListFile(old.get(), "/var/mobile/Library/Missing/x.plist", true));
  EXPECT_FALSE(writePropertyListFile(old.get(), "/var/mobile/Library/Missing/x.plist", false));
  EXPECT_FALSE(fs::exists(host("/var/mobile/Library/Missing"))) << "no folder is made";
  EXPECT_FALSE(writePropertyListFile(old.get(), "/../outside.plist", true));
}

TEST_F(PropertyListTest, AWriteIntoAReadOnlyFolderFailsAndLeavesTheOldFile) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
  using namespace hostsim;
  Strong old = newDictionary({{"enabled", newBool(true)}}, false);
  ASSERT_TRUE(writePropertyListFile(old.get(), kFile, true));
  const std::string before = contents(kFile);
  const fs::path folder = host("/var/mobile/Library/Preferences");
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
  bool written = writePropertyListFile(everyKind().get(), kFile, true);
  fs::permissions(folder, fs::perms::owner_all);
  EXPECT_FALSE(written);
  EXPECT_EQ(contents(kFile), before);
}

TEST_F(PropertyListTest, ValuesThatCannotBeInAPropertyListAreRefusedAndNothingIsWritten) {
  using namespace hostsim;
  Strong old = newDictionary({{"enabled", newBool(true)}}, false);
  ASSERT_TRUE(writePropertyListFile(old.get(), kFile, true));
  const std::string before = contents(kFile);

  Strong object = Strong::adopt(send<id>(as_id(objc_getClass("NSObject")), "new"));
  std::vector<Strong> deep{newDictionary({{"list", newArray({newInteger(1), object})}}, false)};
  std::map<std::string, Strong> refused = {
      {"an object", newDictionary({{"o", object}}, false)},
      {"an object deep inside", newDictionary({{"a", newArray(deep)}}, false)},
      {"a string with a NUL", newDictionary({{"s", newString(std::string("a\0b", 3))}}, false)},
      {"a key with a NUL", newDictionary({{std::string("a\0b", 3), newBool(true)}}, false)},
      {"a date beyond 32-bit seconds", newDictionary({{"d", newDate(1e12)}}, false)},
      {"a date that is no number", newDictionary({{"d", newDate(NAN)}}, false)},
  };
  for (bool atomically : {true, false}) {
    for (const auto& [name, plist] : refused) {
      EXPECT_FALSE(writePropertyListFile(plist.get(), kFile, atomically)) << name;
      EXPECT_EQ(contents(kFile), before) << name;
    }
    EXPECT_FALSE(writePropertyListFile(nullptr, kFile, atomically));
    EXPECT_EQ(contents(kFile), before);
  }

  // Nested one past the limit: it could not be read back.
  Strong nested = newBool(true);
  for (int i = 0; i < prefsfile::kMaxPropertyListDepth - 1; ++i)
    nested = newArray({nested});
  Strong atLimit = newDictionary({{"n", nested}}, false);
  Strong pastLimit = newDictionary({{"n", newArray({nested})}}, false);
  EXPECT_FALSE(writePropertyListFile(pastLimit.get(), kFile, true));
  EXPECT_EQ(contents(kFile), before);
  ASSERT_TRUE(writePropertyListFile(atLimit.get(), kFile, true));
  EXPECT_EQ(describe(read().get()), describe(atLimit.get()));

  // A dictionary inside itself.
  Strong loop = newDictionary({}, true);
  platform::NSMutableDictionary::setObject_forKey(loop.get(), loop.get(), NSSTR("self"));
  EXPECT_FALSE(writePropertyListFile(loop.get(), kFile, true));
  send<void>(loop.get(), "removeObjectForKey:", NSSTR("self"));
}

TEST_F(PropertyListTest, EveryWriteIsTraced) {
  std::vector<hostsim::trace::Event> events;
  hostsim::trace::setSink([&](const hostsim::trace::Event& e) { events.push_back(e); });
  bool good = hostsim::writePropertyListFile(everyKind().get(), kFile, true);
  bool bad = hostsim::writePropertyListFile(nullptr, kFile, false);
  hostsim::trace::setSink({});
  EXPECT_TRUE(good);
  EXPECT_FALSE(bad);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0]["event"], "write");
  EXPECT_EQ(events[0]["path"], kFile);
  EXPECT_EQ(events[0]["ok"], true);
  EXPECT_EQ(events[1]["path"], kFile);
  EXPECT_EQ(events[1]["ok"], false);
  // A failure says why, and is counted for the process.
  EXPECT_EQ(events[2]["event"], "write-failed");
  EXPECT_EQ(events[2]["error"], "no property list");
  EXPECT_EQ(hostsim::failedWrites(), 1u);
}

TEST_F(PropertyListTest, AFullStorageFailsEveryWriteAndKeepsTheOldFile) {
  using namespace hostsim;
  Strong plist = newDictionary({{"enabled", newBool(true)}}, false);
  ASSERT_TRUE(hostsim::writePropertyListFile(plist.get(), kFile, true));
  const std::string before = contents(kFile);
  hostsim::setStorageFull(true);
  Strong other = newDictionary({{"enabled", newBool(false)}}, false);
  EXPECT_FALSE(hostsim::writePropertyListFile(other.get(), kFile, true));
  EXPECT_FALSE(hostsim::writePropertyListFile(other.get(), kFile, false));
  hostsim::setStorageFull(false);
  EXPECT_EQ(contents(kFile), before);
  EXPECT_EQ(hostsim::failedWrites(), 2u);
}

TEST_F(PropertyListTest, AWriteKeepsThePermissionBitsAndMakesNewFiles0644) {
  using namespace hostsim;
  Strong plist = newDictionary({{"enabled", newBool(true)}}, false);
  const mode_t oldMask = ::umask(077);
  bool atomic = writePropertyListFile(plist.get(), kFile, true);
  bool inPlace =
      writePropertyListFile(plist.get(), "/var/mobile/Library/Preferences/b.plist", false);
  ::umask(oldMask);
  ASSERT_TRUE(atomic);
  ASSERT_TRUE(inPlace);
  EXPECT_EQ(fs::status(host(kFile)).permissions() & fs::perms::mask, fs::perms(0644));
  EXPECT_EQ(fs::status(host("/var/mobile/Library/Preferences/b.plist")).permissions() &
                fs::perms::mask,
            fs::perms(0644));

  fs::permissions(host(kFile), fs::perms(0600));
  ASSERT_TRUE(writePropertyListFile(everyKind().get(), kFile, true));
  EXPECT_EQ(fs::status(host(kFile)).permissions() & fs::perms::mask, fs::perms(0600));
  EXPECT_TRUE(read()) << "the new content is in place";
}

TEST_F(PropertyListTest, WhatIsNoRegularFileIsNotReplaced) {
  using namespace hostsim;
  const fs::path folder = host("/var/mobile/Library/Preferences");
  const std::string target = "<plist><dict><key>a</key><true/></dict></plist>";
  { std::ofstream(folder / "target.plist") << target; }
  fs::create_symlink(folder / "target.plist", host(kFile));
  Strong plist = newDictionary({{"enabled", newBool(false)}}, false);
  for (bool atomically : {true, false}) {
    EXPECT_FALSE(writePropertyListFile(plist.get(), kFile, atomically)) << atomically;
    EXPECT_TRUE(fs::is_symlink(host(kFile)));
    EXPECT_EQ(contents("/var/mobile/Library/Preferences/target.plist"), target);
  }
  fs::remove(host(kFile));
  fs::create_directory(host(kFile));
  EXPECT_FALSE(writePropertyListFile(plist.get(), kFile, true));
  EXPECT_TRUE(fs::is_directory(host(kFile)));
  EXPECT_EQ(folderEntries("/var/mobile/Library/Preferences"),
            (std::vector<std::string>{"com.example.lists.plist", "target.plist"}))
      << "no temporary file is left";
}

// What the writer produces is read back before it is written: anything
// that would read as another value is refused.
TEST(PlistFiles, NothingIsWrittenThatReadsBackAsAnotherValue) {
  auto xmlOf = [](plist_t value) {
    prefsfile::PlistTree root(plist_new_dict());
    plist_dict_set_item(root.get(), "v", value);
    std::string xml;
    return prefsfile::propertyListXml(root.get(), xml);
  };
  EXPECT_TRUE(xmlOf(plist_new_date(100, 0))) << "a whole second, as a control";
  EXPECT_FALSE(xmlOf(plist_new_date(100, 500000))) << "XML holds whole seconds";
  EXPECT_FALSE(xmlOf(plist_new_real(NAN)));
}

// The layer the tools stand on: no runtime, no device root.
TEST(PlistFiles, ChecksParsesAndWritesWithoutABootedPlatform) {
  auto bytesOf = [](const std::string& text) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  };
  const std::string xml = "<plist><dict><key>list</key><array><string>a</string></array>"
                          "</dict></plist>";
  EXPECT_FALSE(prefsfile::checkPropertyListBytes(bytesOf(xml)));
  prefsfile::PlistTree tree = prefsfile::parsePropertyListTree(bytesOf(xml));
  ASSERT_TRUE(tree);
  EXPECT_EQ(describe(static_cast<plist_t>(tree.get())), "{list=['a',];}");
  EXPECT_EQ(describe(static_cast<plist_t>(
                prefsfile::parsePropertyListTree(bytesOf(toBinary(tree.get()))).get())),
            "{list=['a',];}");

  const std::string deep = nestedArraysXml(200000);
  EXPECT_TRUE(prefsfile::checkPropertyListBytes(bytesOf(deep)));
  EXPECT_FALSE(prefsfile::parsePropertyListTree(bytesOf(deep)));
  EXPECT_TRUE(prefsfile::checkPropertyListBytes(bytesOf(nestedArraysBinary(200000))));
  EXPECT_EQ(refusalOf(""), "empty");

  std::string text;
  ASSERT_TRUE(prefsfile::propertyListXml(tree.get(), text));
  EXPECT_TRUE(text.starts_with("<?xml"));
  EXPECT_FALSE(prefsfile::propertyListXml(nullptr, text));

  const TempFolder temporary("quelline-plist-files");
  const fs::path folder = temporary.path();
  const fs::path file = folder / "x.plist";
  using prefsfile::FileProblem;
  auto problemOf = [](const std::optional<prefsfile::FileError>& error) {
    return error ? std::optional<FileProblem>(error->problem()) : std::nullopt;
  };
  ASSERT_EQ(problemOf(prefsfile::writeFileAtomically(file, bytesOf(text))), std::nullopt);
  std::vector<uint8_t> back;
  EXPECT_EQ(problemOf(prefsfile::readRegularFile(file, text.size(), back)), std::nullopt);
  EXPECT_EQ(std::string(back.begin(), back.end()), text);
  EXPECT_EQ(problemOf(prefsfile::readRegularFile(file, text.size() - 1, back)),
            FileProblem::TooLarge);
  EXPECT_EQ(problemOf(prefsfile::readRegularFile(folder / "none", 100, back)),
            FileProblem::Missing);
  const std::optional<prefsfile::FileError> folderRead =
      prefsfile::readRegularFile(folder, 100, back);
  ASSERT_TRUE(folderRead);
  EXPECT_EQ(folderRead->problem(), FileProblem::Unreadable);
  EXPECT_EQ(folderRead->detail(), "not a regular file");
  const std::optional<prefsfile::FileError> write =
      prefsfile::writeFileAtomically(folder / "none" / "x.plist", bytesOf(text));
  ASSERT_TRUE(write);
  EXPECT_EQ(write->problem(), FileProblem::WriteFailed);
  EXPECT_NE(write->detail().find("temporary file"), std::string::npos) << write->what();
}

// --- The messages --------------------------------------------------------------------

TEST_F(PropertyListTest, DictionariesReadAndWriteThroughTheirMessages) {
  using namespace platform;
  id path = NSSTR("/var/mobile/Library/Preferences/com.example.lists.plist");
  id dict = NSMutableDictionary::dictionary();
  NSMutableDictionary::setObject_forKey(dict, NSNumber::numberWithBool(YES), NSSTR("enabled"));
  ASSERT_TRUE(NSMutableDictionary::writeToFile_atomically(dict, path, YES));
  EXPECT_FALSE(NSMutableDictionary::writeToFile_atomically(dict, nullptr, YES));

  id mutableRead = NSMutableDictionary::dictionaryWithContentsOfFile(path);
  ASSERT_NE(mutableRead, nullptr);
  EXPECT_EQ(object_getClass(mutableRead), objc_getClass("NSMutableDictionary"));
  NSMutableDictionary::setObject_forKey(mutableRead, NSNumber::numberWithBool(NO), NSSTR("more"));
  EXPECT_EQ(hostsim::toJson(mutableRead), (nlohmann::json{{"enabled", true}, {"more", false}}));

  id plain = msgSend<id>(cls("NSDictionary"), sel("dictionaryWithContentsOfFile:"), path);
  EXPECT_EQ(object_getClass(plain), objc_getClass("NSDictionary"));
  EXPECT_EQ(hostsim::toJson(plain), (nlohmann::json{{"enabled", true}}));

  Class subclass = hostsim::defineClass("SettingsDictionary", cls("NSMutableDictionary"));
  id own = msgSend<id>(subclass, sel("dictionaryWithContentsOfFile:"), path);
  EXPECT_EQ(object_getClass(own), subclass);
  EXPECT_EQ(hostsim::toJson(own), (nlohmann::json{{"enabled", true}}));

  EXPECT_EQ(NSMutableDictionary::dictionaryWithContentsOfFile(nullptr), nullptr);
  EXPECT_EQ(NSMutableDictionary::dictionaryWithContentsOfFile(
                NSSTR("/var/mobile/Library/Preferences/missing.plist")),
            nullptr);
}

TEST_F(PropertyListTest, PreferenceFilesArePlainNamesInThePreferencesFolder) {
  EXPECT_EQ(hostsim::preferencesFilePath("com.example.tweak"),
            "/var/mobile/Library/Preferences/com.example.tweak.plist");
  for (std::string_view bad : std::initializer_list<std::string_view>{
           "", "a/b", "../x", "..", "a..b", std::string_view("a\0b", 3)})
    EXPECT_EQ(hostsim::preferencesFilePath(bad), "") << bad;
}

} // namespace
