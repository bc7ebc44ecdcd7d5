// The cross-process (Darwin) notify center: name-only posts that reach every
// running process of the same device root that registered the name,
// delivered on each process's main run loop, never inside the post.
#pragma once

namespace hostsim {
// Opens this process's endpoint under the device root and watches it.
void startDarwinNotifyCenter();
// Closes the endpoint; registrations are forgotten.
void stopDarwinNotifyCenter();
} // namespace hostsim
