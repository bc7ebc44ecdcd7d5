// The cross-process (Darwin) notify center: name-only posts that reach every
// running process of the same device root that registered the name,
// delivered on each process's main run loop, never inside the post.
//
// Each process that booted the platform has one endpoint: a Unix datagram
// socket in ROOT/var/run/notify/, named "<pid>-<random>.sock". A post sends
// the name, as one datagram, to every socket in that folder (the poster's
// own included); the run loop drains the process's socket and calls the
// callbacks registered for each name it reads.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string_view>

namespace hostsim {

// Longest name, in bytes, that the center carries; longer names are refused.
inline constexpr size_t kDarwinNameMax = 255;

// Opens this process's endpoint under the device root and watches it.
// Throws std::runtime_error naming the folder when the endpoint cannot be
// made there (var/run is a file, the folder is read-only...).
void startDarwinNotifyCenter();
// Closes the endpoint; registrations are forgotten.
void stopDarwinNotifyCenter();

// The folder of endpoints of the device root `root`.
std::filesystem::path darwinNotifyFolder(const std::filesystem::path& root);

// Posts `name` to every process of the device root `root`, for a tool
// process that has not booted the platform (a preference editor, say).
// False when the name is empty, longer than kDarwinNameMax or holds a NUL
// byte, or when the root has no notify folder (no process of it ever
// started); true otherwise, receivers or not.
bool postDarwinNotification(const std::filesystem::path& root, std::string_view name);

} // namespace hostsim
