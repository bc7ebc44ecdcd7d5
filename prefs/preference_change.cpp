#include "prefs/preference_change.h"

#include "prefs/domain.h"
#include "prefs/live_read.h"

namespace quelline {
namespace {

bool preferenceFileExists() {
  using namespace platform;
  return NSFileManager::fileExistsAtPath(NSFileManager::defaultManager(),
                                         NSSTR(QUELLINE_PREFS_PATH));
}

} // namespace

bool preferenceFileUnusable() {
  return readPreferenceFile() == nil && preferenceFileExists();
}

PreferenceChange::PreferenceChange(double lockTimeoutSeconds)
    : lock_(QUELLINE_PREFS_PATH, lockTimeoutSeconds) {
  using namespace platform;
  switch (lock_.answer()) {
  case LockAnswer::Busy:
    state_ = State::Busy;
    return;
  case LockAnswer::Failed:
    state_ = State::LockFailed;
    return;
  case LockAnswer::Held:
    break;
  }
  preferences_ = readPreferenceFile();
  if (preferences_ == nil) {
    if (preferenceFileExists()) {
      state_ = State::NotDictionary;
      return;
    }
    preferences_ = NSMutableDictionary::dictionary();
  }
  state_ = State::Ready;
}

bool PreferenceChange::write() {
  if (state_ != State::Ready) return false;
  return platform::NSMutableDictionary::writeToFile_atomically(preferences_,
                                                               NSSTR(QUELLINE_PREFS_PATH), YES);
}

bool PreferenceChange::write(id* error) {
  using namespace platform;
  if (state_ != State::Ready) return false;
  id data = NSPropertyListSerialization::dataWithPropertyList_format_options_error(
      preferences_, NSPropertyListXMLFormat_v1_0, 0, error);
  if (data == nil) return false;
  return NSData::writeToFile_options_error(data, NSSTR(QUELLINE_PREFS_PATH), NSDataWritingAtomic,
                                           error);
}

} // namespace quelline
