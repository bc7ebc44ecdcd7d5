// The Settings app's Preferences framework as the settings pane uses it:
// its list controller and the specifiers that describe each row, as thin
// typed wrappers (same naming rule as the Foundation ones). On the device
// both classes live in the private framework
// /System/Library/PrivateFrameworks/Preferences.framework/Preferences; the
// pane finds them by name (objc_getClass), as the toggle finds Control
// Center's base class. Selectors as the class dumps of iOS 11.3.1's
// Preferences framework list them (classdump-dyld headers of PSListController,
// PSViewController and PSSpecifier). The choices of a list row (`values`,
// `setValues:titles:`) are in the public dumps of PSSpecifier for iOS 14.3
// and 17.0 (akariicafe/Runtime-Headers, 14.3/ and 17.0/ then
// System/Library/PrivateFrameworks/Preferences.framework/Preferences/
// PSSpecifier.h: `@property (retain, nonatomic) NSArray *values;`,
// `@property NSDictionary *titleDictionary`, `- (void)setValues:(id)a0
// titles:(id)a1;`) and, as the `_values` and `_titleDict` instance
// variables, in older ones (CreatureSurvive/libCSColorPicker, PSSpecifier.h).
#pragma once

#include "platform/foundation.h"

namespace platform {

namespace PSListController {
// The specifiers described by the plist NAME.plist of the controller's
// -bundle, each with `target` as its target (autoreleased).
inline id loadSpecifiersFromPlistName_target(id controller, id name, id target) {
  return msgSend<id>(controller, sel<"loadSpecifiersFromPlistName:target:">(), name, target);
}
// The loaded specifier whose identifier (its `id` in the plist) is
// `identifier`, or nil.
inline id specifierForID(id controller, id identifier) {
  return msgSend<id>(controller, sel<"specifierForID:">(), identifier);
}
// Forgets the specifiers, asks -specifiers again and redraws every row.
inline void reloadSpecifiers(id controller) {
  msgSend<void>(controller, sel<"reloadSpecifiers">());
}
// Redraws the row of `specifier`, reading its value again.
inline void reloadSpecifier(id controller, id specifier) {
  msgSend<void>(controller, sel<"reloadSpecifier:">(), specifier);
}
} // namespace PSListController

namespace PSSpecifier {
// A property of the row: what its plist entry gave under `key` (`key`,
// `default`, `defaults`, `min`, `max`, `footerText`, `enabled`, ...).
inline id propertyForKey(id specifier, id key) {
  return msgSend<id>(specifier, sel<"propertyForKey:">(), key);
}
inline void setProperty_forKey(id specifier, id value, id key) {
  msgSend<void>(specifier, sel<"setProperty:forKey:">(), value, key);
}
// The row's identifier: its `id` in the plist (else its label).
inline id identifier(id specifier) {
  return msgSend<id>(specifier, sel<"identifier">());
}
// A list row's choices: the values it offers, in order. Loading a row sets
// them from its plist entry's `validValues` (nil for a row without).
inline id values(id specifier) {
  return msgSend<id>(specifier, sel<"values">());
}
// Replaces the row's choices: `values` in order, each shown with the title
// at the same place of `titles` (the row's titleDictionary is made from the
// two). Arrays of unequal counts raise NSInvalidArgumentException.
inline void setValues_titles(id specifier, id values, id titles) {
  msgSend<void>(specifier, sel<"setValues:titles:">(), values, titles);
}
} // namespace PSSpecifier

} // namespace platform
