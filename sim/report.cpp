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

// JSON that may stand inside a <script> element: no '<' can close it, as
// '<' only appears inside strings, where \u003c means the same.
std::string scriptJson(const nlohmann::json& value) {
  const std::string text = jsonText(value);
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c == '<')
      out += "\\u003c";
    else
      out += c;
  return out;
}

std::string titleOf(const nlohmann::json& record) {
  const std::string scenario = record.value("scenario", std::string());
  std::string title = scenario == "<demo>" ? "Quelline: the demo" : "Quelline: " + scenario;
  if (record.value("vanilla", false)) title += " (without Quelline)";
  return title;
}

// `page` with each @NAME@ of `fills` replaced, in one pass: what is filled
// in is never searched again. Other @ signs stay as they are.
std::string fillMarkers(std::string_view page,
                        std::span<const std::pair<std::string_view, std::string_view>> fills) {
  std::string out;
  size_t at = 0;
  while (at < page.size()) {
    const size_t marker = page.find('@', at);
    if (marker == std::string_view::npos) break;
    out.append(page.substr(at, marker - at));
    bool filled = false;
    for (const auto& [name, text] : fills) {
      if (page.substr(marker + 1, name.size()) == name && marker + 1 + name.size() < page.size() &&
          page[marker + 1 + name.size()] == '@') {
        out += text;
        at = marker + name.size() + 2;
        filled = true;
        break;
      }
    }
    if (!filled) {
      out += '@';
      at = marker + 1;
    }
  }
  if (at < page.size()) out.append(page.substr(at));
  return out;
}

} // namespace

std::string renderPage(std::string_view page, const nlohmann::json& record) {
  const bool live = page == web::kLiveHtml;
  // First the parts both pages share (the head, the phone, the legend),
  // then what they hold: the record only ever in the second pass.
  const std::pair<std::string_view, std::string_view> parts[] = {
      {"HEAD", web::kHeadHtml}, {"PHONE", web::kPhoneHtml}, {"LEGEND", web::kLegendHtml}};
  const std::string skeleton = fillMarkers(page, parts);
  const std::string title = escapeHtml(live ? "Quelline: the live phone" : titleOf(record));
  const std::string data = live ? std::string() : scriptJson(record);
  const std::pair<std::string_view, std::string_view> fills[] = {
      {"TITLE", title},
      {"STYLE", web::kStyleCss},
      {"PHONE_JS", web::kPhoneJs},
      {"PAGE_JS", live ? web::kLiveJs : web::kReportJs},
      {"DATA", data},
  };
  return fillMarkers(skeleton, fills);
}

void writeReport(const std::filesystem::path& path, const nlohmann::json& record) {
  const std::string html = renderPage(web::kReportHtml, record);
  if (std::optional<prefsfile::FileError> error = prefsfile::writeFileAtomically(
          path,
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(html.data()), html.size())))
    throw ReportError(std::string("cannot write the report: ") + error->what());
}

} // namespace quelline::sim
