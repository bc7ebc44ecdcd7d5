// The advisory file lock of the platform (platform/filelock.h), for the
// stand-in's own tools too: flock(2) on the companion file PATH.lock.
#pragma once

#include <filesystem>

namespace hostsim {

// Takes the lock of the host file `file` (its companion `file`.lock, made
// when missing), waiting at most `timeoutSeconds`: a descriptor to close,
// or -1.
int lockHostFile(const std::filesystem::path& file, double timeoutSeconds);

} // namespace hostsim
