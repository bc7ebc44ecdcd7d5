// Text from a file or an argument, made safe to show on a terminal: no
// control character (an escape sequence could set the terminal's title or
// clear it) reaches the reader as it is. The one home of this escaping for
// both programs and the file library's messages.
#pragma once

#include <string>
#include <string_view>

namespace prefsfile {

// `text` as a JSON string in double quotes, as messages show paths, names
// and values: quotes, backslashes and control characters escaped (\n,
// \u001b, also DEL and the C1 controls), bytes that are no UTF-8 replaced.
std::string inQuotes(std::string_view text);

// `text` as it is when it reads unambiguously as one word (no blank, quote,
// '=', backslash or control character, and UTF-8), else inQuotes(text): how
// lists of names and values are printed.
std::string asWord(std::string_view text);

// A message to print as it is, except that every control character other
// than the newline is escaped as inQuotes escapes it (for messages made by
// others, such as a command-line parser's, that may echo an argument).
std::string withoutControls(std::string_view text);

} // namespace prefsfile
