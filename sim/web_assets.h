// The pages of the report and of the live phone, from sim/web/, built into
// quelline-sim so that it needs no files beside it to serve or write them.
#pragma once

#include <string_view>

namespace quelline::sim::web {

extern const std::string_view kReportHtml; // the report's page, with @MARKERS@
extern const std::string_view kLiveHtml;   // the live phone's page, with @MARKERS@
extern const std::string_view kHeadHtml;   // the head both pages share, with @MARKERS@
extern const std::string_view kPhoneHtml;  // the phone at a moment, as both pages show it
extern const std::string_view kLegendHtml; // the legend both pages show
extern const std::string_view kStyleCss;
extern const std::string_view kPhoneJs;  // the model, the timeline and the phone drawing
extern const std::string_view kReportJs; // the report's page script
extern const std::string_view kLiveJs;   // the live page's script

} // namespace quelline::sim::web
