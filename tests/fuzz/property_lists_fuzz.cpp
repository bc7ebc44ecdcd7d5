// Fuzz target: bytes as a preference file, through the path that both the
// home screen and the preference editor take. The byte check and the tree
// parse agree; the tree the editor edits and the objects the home screen
// reads hold the same value; and what either writes back reads as the same
// value again (load, save, load), or is refused before anything is written.
#include "tests/fuzz/fuzz_check.h"

#include "host/files/plist_files.h"
#include "host/sim/platform_boot.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <plist/plist.h>
#include <span>
#include <string>
#include <vector>

namespace {

using prefsfile::PlistTree;

// Reals by their bits, so that a changed last digit shows; 0 and -0 are
// the same number.
std::string realText(double v) {
  if (v == 0) return "r0";
  uint64_t bits = 0;
  std::memcpy(&bits, &v, sizeof bits);
  char text[32];
  std::snprintf(text, sizeof text, "r%016llx", static_cast<unsigned long long>(bits));
  return text;
}

std::string stringText(std::string_view s) {
  return "s" + std::to_string(s.size()) + ":" + std::string(s);
}

// A value as the editor sees it: a dictionary's keys sorted, each with the
// value that looking the key up finds.
std::string render(plist_t node) {
  switch (plist_get_node_type(node)) {
  case PLIST_BOOLEAN: {
    uint8_t v = 0;
    plist_get_bool_val(node, &v);
    return v != 0 ? "T" : "F";
  }
  case PLIST_UINT: {
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return "i" + std::to_string(static_cast<int64_t>(v));
  }
  case PLIST_REAL: {
    double v = 0;
    plist_get_real_val(node, &v);
    return realText(v);
  }
  case PLIST_STRING: {
    uint64_t length = 0;
    const char* text = plist_get_string_ptr(node, &length);
    return stringText(text == nullptr ? std::string_view() : std::string_view(text, length));
  }
  case PLIST_DATA: {
    uint64_t length = 0;
    const char* bytes = plist_get_data_ptr(node, &length);
    return "d" +
           stringText(bytes == nullptr ? std::string_view() : std::string_view(bytes, length));
  }
  case PLIST_DATE: {
    int32_t seconds = 0;
    int32_t microseconds = 0;
    plist_get_date_val(node, &seconds, &microseconds);
    return realText(seconds + microseconds / 1e6) + "@";
  }
  case PLIST_ARRAY: {
    std::string out = "[";
    for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
      out += render(plist_array_get_item(node, i)) + ",";
    return out + "]";
  }
  case PLIST_DICT: {
    std::vector<std::string> keys;
    plist_dict_iter iterator = nullptr;
    plist_dict_new_iter(node, &iterator);
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(node, iterator, &key, &value);
      if (key == nullptr) break;
      keys.emplace_back(key);
      std::free(key);
    }
    std::free(iterator);
    std::sort(keys.begin(), keys.end());
    keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
    std::string out = "{";
    for (const std::string& key : keys)
      out += stringText(key) + "=" + render(plist_dict_get_item(node, key.c_str())) + ",";
    return out + "}";
  }
  default:
    FUZZ_CHECK(!"a node that is no property-list value");
    return {};
  }
}

// A value as the home screen sees it, in the same notation; with
// `wholeSeconds`, dates as the platform writes them: rounded down to the
// second.
std::string render(id obj, bool wholeSeconds = false) {
  using namespace hostsim;
  FUZZ_CHECK(obj != nullptr);
  if (isString(obj)) return stringText(stringOf(obj));
  if (isNumber(obj)) {
    const NumberState& n = state<NumberState>(obj);
    switch (n.kind) {
    case NumberState::Kind::Bool:
      return n.integer != 0 ? "T" : "F";
    case NumberState::Kind::Integer:
      return "i" + std::to_string(n.integer);
    case NumberState::Kind::Real:
      return realText(n.real);
    }
  }
  if (isData(obj)) {
    const std::vector<uint8_t>& bytes = state<DataState>(obj).bytes;
    return "d" +
           stringText(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  }
  if (isDate(obj)) {
    const double seconds = state<DateState>(obj).sinceReferenceDate;
    return realText(wholeSeconds ? std::floor(seconds) : seconds) + "@";
  }
  if (isArray(obj)) {
    std::string out = "[";
    for (const Strong& item : state<ArrayState>(obj).items)
      out += render(item.get(), wholeSeconds) + ",";
    return out + "]";
  }
  FUZZ_CHECK(isDictionary(obj));
  std::string out = "{";
  for (const auto& [key, value] : state<DictionaryState>(obj).entries)
    out += stringText(key) + "=" + render(value.get(), wholeSeconds) + ",";
  return out + "}";
}

std::span<const uint8_t> bytesOf(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The objects need the runtime's classes; nothing here touches the root.
  hostsim::bootPlatform({std::filesystem::temp_directory_path()});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::span<const uint8_t> bytes(data, size);
  const bool accepted = !prefsfile::checkPropertyListBytes(bytes);
  PlistTree tree = prefsfile::parsePropertyListTree(bytes);
  FUZZ_CHECK(accepted || tree == nullptr);
  hostsim::withPool([&] {
    hostsim::Strong objects = hostsim::parsePropertyList(bytes);
    FUZZ_CHECK((tree == nullptr) == !objects);
    if (tree == nullptr) return;
    const std::string value = render(tree.get());
    FUZZ_CHECK_EQUAL(render(objects.get()), value);

    // The editor saves its tree (through the write-back check of the file
    // library); the home screen's objects write the same.
    std::string xml;
    if (prefsfile::propertyListXml(tree.get(), xml))
      FUZZ_CHECK(prefsfile::readsBackAs(tree.get(), bytesOf(xml)));
    std::string written;
    if (hostsim::encodePropertyList(objects.get(), written)) {
      hostsim::Strong back = hostsim::parsePropertyList(bytesOf(written));
      FUZZ_CHECK(back);
      FUZZ_CHECK_EQUAL(render(back.get()), render(objects.get(), true));
    }
  });
  return 0;
}
