#include "host/files/shown_text.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace prefsfile {
namespace {

// The escape of one code point that JSON leaves as it is but a terminal
// obeys: DEL, and the C1 controls (UTF-8 C2 80 to C2 9F).
std::string escapeRemainingControls(const std::string& json) {
  std::string out;
  out.reserve(json.size());
  for (size_t i = 0; i < json.size(); ++i) {
    const auto c = static_cast<unsigned char>(json[i]);
    unsigned code = 0x100; // none
    if (c == 0x7f) {
      code = c;
    } else if (c == 0xc2 && i + 1 < json.size()) {
      const auto next = static_cast<unsigned char>(json[i + 1]);
      if (next >= 0x80 && next <= 0x9f) {
        code = next;
        ++i;
      }
    }
    if (code == 0x100) {
      out += json[i];
      continue;
    }
    char escape[8];
    std::snprintf(escape, sizeof escape, "\\u%04x", code);
    out += escape;
  }
  return out;
}

} // namespace

std::string inQuotes(std::string_view text) {
  return escapeRemainingControls(
      nlohmann::json(std::string(text))
          .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

std::string asWord(std::string_view text) {
  // Printable ASCII but the quote, the backslash and '=' is written as it
  // is: no quotes are needed.
  const bool printable = std::all_of(text.begin(), text.end(), [](char c) {
    return c > ' ' && c < 0x7f && c != '"' && c != '\\' && c != '=';
  });
  if (printable && !text.empty()) return std::string(text);
  const std::string quoted = inQuotes(text);
  bool plain = !text.empty() && quoted.size() == text.size() + 2;
  for (char c : text)
    if (c == ' ' || c == '=') plain = false;
  return plain ? std::string(text) : quoted;
}

std::string withoutControls(std::string_view text) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t newline = std::min(text.find('\n', start), text.size());
    const std::string_view line = text.substr(start, newline - start);
    const std::string quoted = inQuotes(line);
    if (quoted.size() == line.size() + 2 && quoted.find('\\') == std::string::npos) {
      out += line; // nothing escaped
    } else {
      // The escapes of inQuotes, except those of the quote and the
      // backslash, which a message shows as they are.
      const std::string_view body(quoted.data() + 1, quoted.size() - 2);
      for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '\\' && i + 1 < body.size() && (body[i + 1] == '"' || body[i + 1] == '\\'))
          ++i;
        out += body[i];
      }
    }
    if (newline < text.size()) out += '\n';
    start = newline + 1;
  }
  return out;
}

} // namespace prefsfile
