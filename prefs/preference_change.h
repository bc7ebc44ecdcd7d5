// One change of the preference file, as every writer inside the device
// makes it (the Control Center toggle, the settings pane): under the file's
// lock, the whole dictionary read, changed, and written back atomically, so
// that a concurrent writer's keys are never lost. A file that exists but
// holds no dictionary is the user's and is never written.
#pragma once

#include "platform/filelock.h"
#include "platform/foundation.h"

#include <stdint.h>

namespace quelline {

// The file exists but gives no dictionary (unreadable, not a property
// list, another type): it is the user's, and no writer changes it.
bool preferenceFileUnusable();

class PreferenceChange {
public:
  // What the change found.
  enum class State : uint8_t {
    Ready,         // the lock is held; preferences() is the dictionary to change
    Busy,          // another program held the lock for the whole wait
    LockFailed,    // the lock could not be had, for the system's reason (lockError())
    NotDictionary, // the file exists but is unreadable or holds no dictionary
  };

  // Takes the lock, waiting at most `lockTimeoutSeconds` (0: tried once),
  // then reads the file. The lock is held until the object goes.
  explicit PreferenceChange(double lockTimeoutSeconds);
  PreferenceChange(const PreferenceChange&) = delete;
  PreferenceChange& operator=(const PreferenceChange&) = delete;

  State state() const { return state_; }
  // The system's reason (an errno value) when the state is LockFailed.
  int lockError() const { return lock_.error(); }
  // When Ready: a mutable dictionary with what the file holds, or a new
  // empty one when there is no file yet (the change is its first content).
  id preferences() const { return preferences_; }

  // Writes preferences() over the file, atomically (a new file is 0644).
  // False when the write failed; the old file is then as it was.
  [[nodiscard]] bool write();
  // The same, setting *error (an autoreleased NSError) to the system's
  // reason when it fails, for the user to read.
  [[nodiscard]] bool write(id* error);

private:
  platform::FileLock lock_;
  State state_ = State::LockFailed; // until the constructor says
  id preferences_ = nil;
};

} // namespace quelline
