#include "sim/report.h"

#include "host/files/plist_files.h"
#include "sim/output.h"
#include "sim/web_assets.h"

#include <span>

namespace quelline::sim {
namespace {

std::string escapeHtml(std::string_view text) {
  std::string out;
  for (char c : text) {
    switch (c) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    case '"':
      out += "&quot;";
      break;
    default:
      out += c;
    }
  }
  return out;
}

// JSON text that may stand inside a <script> element: no '<' can close
// it, as '<' only appears inside strings, where \u003c means the same.
void appendScriptJson(std::string& out, std::string_view text) {
  for (char c : text)
    if (c == '<')
      out += "\\u003c";
    else
      out += c;
}

std::string titleOf(const nlohmann::json& record) {
  const std::string scenario = record.value("scenario", std::string());
  std::string title = scenario == "<demo>" ? "Quelline: the demo" : "Quelline: " + scenario;
  if (record.value("vanilla", false)) title += " (without Quelline)";
  return title;
}

using Write = std::function<bool(std::string_view)>;

// What fills a marker: a text, or what `produce` gives to the writer.
struct Fill {
  std::string_view name;
  std::string_view text;
  std::function<void(const Write&)> produce = nullptr;
};

// `page` with each @NAME@ of `fills` replaced, in one pass, given to
// `write` piece by piece: what is filled in is never searched again. Other
// @ signs stay as they are.
void fillMarkers(std::string_view page, std::span<const Fill> fills, const Write& write) {
  size_t at = 0;
  while (at < page.size()) {
    const size_t marker = page.find('@', at);
    if (marker == std::string_view::npos) break;
    write(page.substr(at, marker - at));
    bool filled = false;
    for (const Fill& fill : fills) {
      const std::string_view name = fill.name;
      if (page.substr(marker + 1, name.size()) == name && marker + 1 + name.size() < page.size() &&
          page[marker + 1 + name.size()] == '@') {
        if (fill.produce)
          fill.produce(write);
        else
          write(fill.text);
        at = marker + name.size() + 2;
        filled = true;
        break;
      }
    }
    if (!filled) {
      write("@");
      at = marker + 1;
    }
  }
  if (at < page.size()) write(page.substr(at));
}

std::string fillMarkers(std::string_view page, std::span<const Fill> fills) {
  std::string out;
  fillMarkers(page, fills, [&](std::string_view piece) {
    out += piece;
    return true;
  });
  return out;
}

// The page filled in, given to `write`; the record's JSON text comes from
// `record`, escaped for the script element as it passes.
void writePage(std::string_view page, const nlohmann::json& heading,
               const std::function<void(const Write&)>& record, const Write& write) {
  const bool live = page == web::kLiveHtml;
  // First the parts both pages share (the head, the phone, the legend),
  // then what they hold: the record only ever in the second pass.
  const Fill parts[] = {
      {"HEAD", web::kHeadHtml}, {"PHONE", web::kPhoneHtml}, {"LEGEND", web::kLegendHtml}};
  const std::string skeleton = fillMarkers(page, parts);
  const std::string title = escapeHtml(live ? "Quelline: the live phone" : titleOf(heading));
  std::string escaped;
  const Fill fills[] = {
      {"TITLE", title},
      {"STYLE", web::kStyleCss},
      {"PHONE_JS", web::kPhoneJs},
      {"PAGE_JS", live ? web::kLiveJs : web::kReportJs},
      {"DATA", "",
       [&](const Write& out) {
         if (live) return;
         record([&](std::string_view piece) {
           escaped.clear();
           appendScriptJson(escaped, piece);
           return out(escaped);
         });
       }},
  };
  fillMarkers(skeleton, fills, write);
}

} // namespace

std::string renderPage(std::string_view page, const nlohmann::json& record) {
  std::string out;
  writePage(
      page, record, [&](const Write& write) { write(jsonText(record)); },
      [&](std::string_view piece) {
        out += piece;
        return true;
      });
  return out;
}

void writeReport(const std::filesystem::path& path, const nlohmann::json& record) {
  writeReport(path, record, [&](const Write& write) { write(jsonText(record)); });
}

void writeReport(const std::filesystem::path& path, const nlohmann::json& heading,
                 const std::function<void(const Write&)>& record) {
  if (std::optional<prefsfile::FileError> error = prefsfile::writeFileAtomically(
          path, [&](const Write& write) { writePage(web::kReportHtml, heading, record, write); }))
    throw ReportError(std::string("cannot write the report: ") + error->what());
}

} // namespace quelline::sim
