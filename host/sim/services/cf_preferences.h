// Preferences (CFPreferences*) served by a model of the preferences daemon,
// cfprefsd, and NSHomeDirectory().
//
// One daemon serves the whole device: every process of one device root,
// the home screen and the Settings app alike, sees the same copy of a
// domain. The daemon reads a domain's file on the first use of the domain
// after the device starts and keeps it: a later write of the file by
// anything but the daemon is not seen (cfprefsd does not watch the files
// it has read; on a phone only a restart of cfprefsd or of the phone makes
// it read them again). A change made through the daemon changes its copy at
// once and reaches the file later: when a process synchronizes the domain
// or the process that made it ends.
//
// Where its memory lives. The processes of a device root are separate OS
// processes (the Settings app runs as a program of its own), so the
// daemon's copies are kept where all of them reach them, under the device
// root: ROOT/var/run/cfprefsd/DOMAIN.plist (the dictionary as the daemon
// holds it) and DOMAIN.pending (present while the file lacks a change),
// taken in turns under ROOT/var/run/cfprefsd/DOMAIN.lock (flock). They are
// the daemon's memory, not files of the device: nothing of the platform's
// file services writes them, and the device's start forgets them.
#pragma once

#include "host/sim/runtime/runtime.h"

#include <filesystem>
#include <string>
#include <string_view>

namespace hostsim {
void registerPreferences(std::string home);
void resetPreferences();

// The device whose root is `root` starts: the daemon holds no domain.
void startPreferencesDaemon(const std::filesystem::path& root);

// The daemon's copy of `domain` (a new mutable dictionary, the caller's),
// read from the file on the domain's first use since the device started (a
// missing or unreadable file: empty); nil when `domain` names no file.
Strong preferencesDaemonCopy(std::string_view domain);
// A change through the daemon: `key` set to `value` (removed when nil) in
// its copy; the file has it later. False when `domain` names no file.
bool preferencesDaemonSet(std::string_view domain, const std::string& key, id value);
// The daemon writes its copy of `domain` to the file if the file lacks a
// change of it; false when that write failed (the change stays pending).
bool preferencesDaemonSynchronize(std::string_view domain);
} // namespace hostsim
