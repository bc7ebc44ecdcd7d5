#include "host/files/file_error.h"

namespace prefsfile {

FileError::FileError(FileProblem problem, const std::filesystem::path& path,
                     const std::string& detail)
    : std::runtime_error(inQuotes(path.string()) + ": " + detail), problem_(problem), path_(path),
      detail_(detail) {}

} // namespace prefsfile
