// settings-doc: the table of docs/settings.md, generated from the one
// description of the preference domain (prefs/domain.h, through the
// editor's view of it), so that the document cannot drift from the code.
//
//   settings-doc --check FILE   exit 1 (saying where) when FILE's table is not the generated one
//   settings-doc --write FILE   replace FILE's table with the generated one
//
// The table sits between the lines kBegin and kEnd; the rest of FILE is
// written by hand and left as it is.
#include "domain.h"

#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>

namespace {

using namespace quelline::prefs;

constexpr std::string_view kBegin =
    "<!-- generated from prefs/domain.h by settings-doc: edit there, then run "
    "scripts/update-settings-doc.sh -->";
constexpr std::string_view kEnd = "<!-- end of the generated table -->";

std::string valueText(const KeyInfo& key, int32_t value) {
  if (key.type == KeyType::Boolean) return value != 0 ? "true" : "false";
  return std::to_string(value);
}

std::string table() {
  std::ostringstream out;
  out << kBegin << "\n\n";
  out << "| key | type | default | accepted | read | what it does |\n";
  out << "|---|---|---|---|---|---|\n";
  for (const KeyInfo& key : keys()) {
    const std::string range = key.type == KeyType::Boolean ? "true, false"
                                                           : valueText(key, key.minimum) + " to " +
                                                                 valueText(key, key.maximum);
    out << "| `" << key.name << "` | " << typeName(key.type) << " | "
        << valueText(key, key.fallback) << " | " << range << " | " << (key.live ? "live" : "cached")
        << " | " << key.description << " |\n";
  }
  out << "\n" << kEnd << "\n";
  return out.str();
}

} // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 3 ? argv[1] : "";
  if (mode != "--check" && mode != "--write") {
    std::cerr << "usage: settings-doc --check|--write FILE" << std::endl;
    return 2;
  }
  const std::string path = argv[2];
  std::ifstream in(path, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t begin = text.find(kBegin);
  const size_t end = text.find(kEnd);
  if (!in || begin == std::string::npos || end == std::string::npos || end < begin) {
    std::cerr << path << ": cannot find the generated table (its first line is \"" << kBegin
              << "\")" << std::endl;
    return 2;
  }
  const size_t stop =
      text.find('\n', end) == std::string::npos ? text.size() : text.find('\n', end) + 1;
  const std::string generated = table();
  if (text.substr(begin, stop - begin) == generated) return 0;
  if (mode == "--check") {
    std::cerr << path << ": the table of settings differs from prefs/domain.h; run "
              << "scripts/update-settings-doc.sh\n--- generated:\n"
              << generated << std::endl;
    return 1;
  }
  std::ofstream(path, std::ios::binary) << text.substr(0, begin) << generated << text.substr(stop);
  return 0;
}
