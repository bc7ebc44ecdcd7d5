// Where a program of this project finds what it ships with: the
// deliverables beside it, and the documents in ../share/doc/quelline, laid
// out the same way in the build tree (build/TYPE/bin, build/TYPE/share) and
// in an installed tree (PREFIX/bin, PREFIX/share).
#pragma once

#include <filesystem>
#include <string>

namespace quelline::programfiles {

// The folder of the running executable.
std::filesystem::path programFolder();

// The path of the document `name` (scenarios.md, say) for messages such as
// --help: absolute when it is where it belongs, else as the source tree
// names it (docs/NAME).
std::string documentPath(const std::string& name);

} // namespace quelline::programfiles
