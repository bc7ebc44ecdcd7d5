// The Settings app's own classes in the modeled Settings process, with host
// implementations that do what the device's would:
//
// - PSSpecifier: a row's description (its plist entry's keys as properties,
//   identifier, label, cell, target, action).
// - PSViewController with the platform's readPreferenceValue: and
//   setPreferenceValue:specifier:, which go through the device's preferences
//   daemon (services/cf_preferences.h): a domain is read once and kept, a
//   change rewrites the whole file from that copy later, without the file's
//   lock. A pane that does not override them loses changes made to the file
//   meanwhile, and the home screen reads the file before the change.
// - PSListController: `_specifiers` (an instance variable, as on the device),
//   -specifiers, -bundle (+[NSBundle bundleForClass:]),
//   -loadSpecifiersFromPlistName:target: reading NAME.plist from -bundle,
//   -specifierForID:, -reloadSpecifiers, -reloadSpecifier:. Its table keeps
//   the value each control shows, read through the row's target when the
//   row is drawn; a person's change shows at once and is handed to the
//   target's setPreferenceValue:specifier:.
// - SparkAppListTableViewController (libsparkapplist's list editor, a
//   UITableViewController): -initWithIdentifier:andKey:; checking an app
//   writes the list file as the library does.
#pragma once

#include "host/sim/runtime/runtime.h"

#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace hostsim::settings {

// Defines the classes, except those named in `without`.
void defineSettingsClasses(const std::set<std::string>& without);
// The process ends (the preferences daemon, the device's, keeps its copies).
void resetSettingsClasses();

// The specifiers of a list controller (its -specifiers), in order.
std::vector<id> specifiersOf(id controller);
// The row's property `key` (nil when it has none).
id specifierProperty(id specifier, const char* key);
// The row's cell ("PSGroupCell", "PSSwitchCell", ...), label, identifier.
std::string specifierCell(id specifier);
std::string specifierLabel(id specifier);
std::string specifierIdentifier(id specifier);
// A list row's choices: its values (nil for a row without), and the title
// of each at the same place.
id specifierValues(id specifier);
id specifierTitles(id specifier);
// Whether the row takes a person's touch: no `enabled` property, or a true
// one.
bool specifierEnabled(id specifier);

// The table of a list controller is drawn: each control reads the value it
// shows through its row's target.
void drawTable(id controller);
// The value a control of the table shows (nil before it was drawn).
id shownValue(id controller, id specifier);
// A person changes a control to `value`: it shows at once, then the row's
// target is told (setPreferenceValue:specifier:).
void changeControl(id controller, id specifier, id value);
// Several controls changed as one: each shows its value at once, then the
// rows' target is told once (setPreferenceValues:specifiers:, with arrays of
// the same length).
void changeControls(id controller, const std::vector<id>& specifiers,
                    const std::vector<Strong>& values);
// A person taps a link row: the row's target gets its action, with the row.
void tapRow(id specifier);

// The list and key an app-list editor edits, or nothing for another object.
struct EditedList {
  std::string identifier;
  std::string key;
};
std::optional<EditedList> editedList(id controller);

// The title a list controller loaded from its plist.
std::string listTitle(id controller);

} // namespace hostsim::settings
