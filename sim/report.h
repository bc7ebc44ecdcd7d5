// The HTML report of a run: one self-contained page (its style, script and
// the run's records inline; nothing fetched) drawn from a RunRecorder's
// snapshot.
#pragma once

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quelline::sim {

class ReportError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// `page` is one of the pages of web_assets.h; its @MARKERS@ are filled in
// with the style, the scripts, the legend, the title and `record`.
std::string renderPage(std::string_view page, const nlohmann::json& record);

// Writes the report of `record` to `path`, atomically: on failure the old
// file is left as it was and ReportError names the file and the problem.
void writeReport(const std::filesystem::path& path, const nlohmann::json& record);
// The same, with the record given as JSON text piece by piece by `record`
// (RunRecorder::writeSnapshot), and its title from `heading` ({"scenario",
// "vanilla"}): the page is written in one pass as the pieces come.
void writeReport(const std::filesystem::path& path, const nlohmann::json& heading,
                 const std::function<void(const std::function<bool(std::string_view)>&)>& record);

} // namespace quelline::sim
