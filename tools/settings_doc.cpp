// settings-doc: the parts of the documents that list the preference domain's
// keys, generated from its one description (prefs/domain.h, through the
// editor's view of it), so that no document can drift from the code.
//
//   settings-doc --check FILE...   exit 1 (saying where) when a FILE's parts are not the generated
//   ones settings-doc --write FILE...   replace every FILE's parts with the generated ones
//
// Two kinds of part: the table of docs/settings.md, between the lines
// kBegin and kEnd; and lists inside a sentence, between
// "<!-- settings-doc: NAME -->" and "<!-- /settings-doc -->" (NAME one of
// kLists). The rest of a FILE is written by hand and left as it is; a FILE
// must hold at least one part.
#include "tools/quelline_prefs/editor_domain.h"

#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace quelline::prefs;

constexpr std::string_view kBegin =
    "<!-- generated from prefs/domain.h by settings-doc: edit there, then run "
    "scripts/update-settings-doc.sh -->";
constexpr std::string_view kEnd = "<!-- end of the generated table -->";
constexpr std::string_view kListOpen = "<!-- settings-doc: ";
constexpr std::string_view kListOpenEnd = " -->";
constexpr std::string_view kListClose = "<!-- /settings-doc -->";

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

// "`a`, `b` and `c`": the keys that `take` keeps, each as `show` writes it.
std::string sentence(const std::function<bool(const KeyInfo&)>& take,
                     const std::function<std::string(const KeyInfo&)>& show) {
  std::vector<std::string> items;
  for (const KeyInfo& key : keys())
    if (take(key)) items.push_back(show(key));
  std::string out;
  for (size_t i = 0; i < items.size(); ++i)
    out += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
  return out;
}

std::string named(const KeyInfo& key) {
  return "`" + std::string(key.name) + "`";
}

std::string withDefault(const KeyInfo& key) {
  return named(key) + " (" + valueText(key, key.fallback) + ")";
}

bool cached(const KeyInfo& key) {
  return !key.live;
}

// The lists a document may hold, by name.
struct List {
  std::string_view name;
  std::string (*text)();
};
const List kLists[] = {
    {"cached-keys", [] { return sentence(cached, named); }},
    {"keys-with-defaults",
     [] {
       return "booleans " +
              sentence([](const KeyInfo& k) { return cached(k) && k.type == KeyType::Boolean; },
                       withDefault) +
              "; integers " +
              sentence([](const KeyInfo& k) { return cached(k) && k.type == KeyType::Integer; },
                       withDefault) +
              "; and the live keys, read from the file at each use rather than cached: " +
              sentence([](const KeyInfo& k) { return k.live; }, withDefault);
     }},
    {"integer-ranges",
     [] {
       return sentence([](const KeyInfo& k) { return k.type == KeyType::Integer; },
                       [](const KeyInfo& k) {
                         return named(k) + " " + valueText(k, k.minimum) + " to " +
                                valueText(k, k.maximum);
                       });
     }},
};

// `text` with every part generated; "" with `problem` set when a part is
// malformed or there is none.
std::string generate(const std::string& text, std::string& problem) {
  std::string out;
  bool any = false;
  size_t at = 0;
  for (;;) {
    const size_t table = text.find(kBegin, at);
    const size_t list = text.find(kListOpen, at);
    if (table == std::string::npos && list == std::string::npos) break;
    any = true;
    if (table < list) {
      const size_t end = text.find(kEnd, table);
      if (end == std::string::npos) {
        problem = "the table has no end (a line \"" + std::string(kEnd) + "\")";
        return "";
      }
      const size_t stop =
          text.find('\n', end) == std::string::npos ? text.size() : text.find('\n', end) + 1;
      out += text.substr(at, table - at) + ::table();
      at = stop;
      continue;
    }
    const size_t nameStart = list + kListOpen.size();
    const size_t nameEnd = text.find(kListOpenEnd, nameStart);
    const size_t close = nameEnd == std::string::npos ? nameEnd : text.find(kListClose, nameEnd);
    if (close == std::string::npos) {
      problem = "a list opened by \"" + std::string(kListOpen) + "NAME" +
                std::string(kListOpenEnd) + "\" has no \"" + std::string(kListClose) + "\"";
      return "";
    }
    const std::string_view name(text.data() + nameStart, nameEnd - nameStart);
    const List* found = nullptr;
    for (const List& candidate : kLists)
      if (candidate.name == name) found = &candidate;
    if (found == nullptr) {
      problem = "no list is named \"" + std::string(name) + "\"";
      return "";
    }
    const size_t bodyStart = nameEnd + kListOpenEnd.size();
    out += text.substr(at, bodyStart - at) + found->text() + std::string(kListClose);
    at = close + kListClose.size();
  }
  if (!any) {
    problem = "nothing generated found (a table, whose first line is \"" + std::string(kBegin) +
              "\", or a list \"" + std::string(kListOpen) + "NAME" + std::string(kListOpenEnd) +
              "…" + std::string(kListClose) + "\")";
    return "";
  }
  return out + text.substr(at);
}

} // namespace

int main(int argc, char** argv) {
  const std::string mode = argc >= 3 ? argv[1] : "";
  if (mode != "--check" && mode != "--write") {
    std::cerr << "usage: settings-doc --check|--write FILE..." << std::endl;
    return 2;
  }
  int status = 0;
  for (int i = 2; i < argc; ++i) {
    const std::string path = argv[i];
    std::ifstream in(path, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string problem = in ? "" : "cannot be read";
    const std::string generated = problem.empty() ? generate(text, problem) : "";
    if (!problem.empty()) {
      std::cerr << path << ": " << problem << std::endl;
      return 2;
    }
    if (generated == text) continue;
    if (mode == "--check") {
      std::cerr << path << ": the keys it lists differ from prefs/domain.h; run "
                << "scripts/update-settings-doc.sh" << std::endl;
      status = 1;
      continue;
    }
    std::ofstream(path, std::ios::binary) << generated;
  }
  return status;
}
