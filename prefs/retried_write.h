// A change of the preference file made on the home screen's main thread,
// which never waits for the file's lock: a write that finds it taken (the
// preference editor or the pane holds it for a few milliseconds) is tried
// again 10 ms later, and one that failed (a full disk, a lock file that
// cannot be opened) 1 s later, on the main queue, until it lands. The
// toggle and the library's end of a toggle period write this way.
#pragma once

#include <stdint.h>

namespace quelline {

enum class WriteResult : uint8_t { Done, LockTaken, Failed };

struct RetriedWrite {
  // One read-change-write under the lock taken without waiting; Done also
  // when there is nothing left to write, or nothing the writer may write.
  WriteResult (*attempt)();
  bool retryScheduled; // at most one retry waits at any time
};

// Writes now, or schedules the retry that the result asks for.
void writeOrRetry(RetriedWrite& write);

} // namespace quelline
