// Fuzz target: bytes as a scenario file. The parser either returns commands
// or refuses with a ScenarioError naming the line, and nothing else; each
// command's own text parses again to the same command; the values that a
// run prints (literals, expected JSON) can be printed.
#include "tests/fuzz/fuzz_check.h"

#include "sim/scenario.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quelline::sim;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<Command> commands;
  try {
    commands = parseScenario(text, "fuzz.scn");
  } catch (const ScenarioError&) {
    return 0;
  }
  for (const Command& command : commands) {
    std::optional<Command> again = parseLine(command.text, command.where);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->verb == command.verb);
    FUZZ_CHECK(again->text == command.text);
    FUZZ_CHECK(again->value == command.value);
    FUZZ_CHECK(again->path == command.path);
    (void)literal(command.value);
    if (command.expected)
      (void)command.expected->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
  return 0;
}
