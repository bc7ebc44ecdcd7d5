// UIKit operations that the logic calls, as thin typed wrappers (same naming
// rule as the Foundation ones).
#pragma once

#include "platform/foundation.h"

typedef double CGFloat;
typedef unsigned long NSUInteger;
typedef long NSInteger;

enum : NSUInteger { UIViewAnimationOptionAllowUserInteraction = 1ul << 1 };
enum : NSInteger { UINotificationFeedbackTypeSuccess = 0 };

extern "C" {
// +[UIView animateWithDuration:delay:options:animations:completion:]. The
// logic has no blocks: `animations(context)` runs inside the animation, and
// `completion(context, finished)` (may be null) when it ends.
void UIView_animateWithDuration_delay_options_animations_completion(
    double duration, double delay, NSUInteger options, void (*animations)(void* context),
    void* context, void (*completion)(void* context, BOOL finished));
}

namespace platform {

namespace UIView {
inline CGFloat alpha(id view) {
  return msgSend<CGFloat>(view, sel<"alpha">());
}
inline void setAlpha(id view, CGFloat alpha) {
  msgSend<void>(view, sel<"setAlpha:">(), alpha);
}
inline void setHidden(id view, BOOL hidden) {
  msgSend<void>(view, sel<"setHidden:">(), hidden);
}
inline BOOL isHidden(id view) {
  return msgSend<BOOL>(view, sel<"isHidden">());
}
inline void addGestureRecognizer(id view, id recognizer) {
  msgSend<void>(view, sel<"addGestureRecognizer:">(), recognizer);
}
inline void removeGestureRecognizer(id view, id recognizer) {
  msgSend<void>(view, sel<"removeGestureRecognizer:">(), recognizer);
}
inline void animateWithDuration_delay_options_animations_completion(
    double duration, double delay, NSUInteger options, void (*animations)(void*), void* context,
    void (*completion)(void*, BOOL)) {
  UIView_animateWithDuration_delay_options_animations_completion(duration, delay, options,
                                                                 animations, context, completion);
}
} // namespace UIView

namespace UIViewController {
inline id view(id controller) {
  return msgSend<id>(controller, sel<"view">());
}
// The navigation controller whose stack holds the controller, or nil.
inline id navigationController(id controller) {
  return msgSend<id>(controller, sel<"navigationController">());
}
// Presents `presented` modally (an alert); no completion (nil block).
inline void presentViewController_animated_completion(id controller, id presented, BOOL animated,
                                                      void* completion) {
  msgSend<void>(controller, sel<"presentViewController:animated:completion:">(), presented,
                animated, completion);
}
} // namespace UIViewController

namespace UINavigationController {
inline void pushViewController_animated(id navigation, id controller, BOOL animated) {
  msgSend<void>(navigation, sel<"pushViewController:animated:">(), controller, animated);
}
} // namespace UINavigationController

enum : NSInteger { UIAlertControllerStyleAlert = 1 };
enum : NSInteger { UIAlertActionStyleDefault = 0 };

namespace UIAlertController {
inline id alertControllerWithTitle_message_preferredStyle(id title, id message, NSInteger style) {
  return msgSend<id>(cls<"UIAlertController">(),
                     sel<"alertControllerWithTitle:message:preferredStyle:">(), title, message,
                     style);
}
inline void addAction(id alert, id action) {
  msgSend<void>(alert, sel<"addAction:">(), action);
}
} // namespace UIAlertController

namespace UIAlertAction {
// An action that only dismisses the alert: no handler (nil block).
inline id actionWithTitle_style_handler(id title, NSInteger style, void* handler) {
  return msgSend<id>(cls<"UIAlertAction">(), sel<"actionWithTitle:style:handler:">(), title, style,
                     handler);
}
} // namespace UIAlertAction

namespace UITapGestureRecognizer {
// Owned by the caller (alloc/init).
inline id initWithTarget_action(id target, SEL action) {
  return msgSend<id>(msgSend<id>(cls<"UITapGestureRecognizer">(), sel<"alloc">()),
                     sel<"initWithTarget:action:">(), target, action);
}
inline void setNumberOfTapsRequired(id recognizer, NSUInteger taps) {
  msgSend<void>(recognizer, sel<"setNumberOfTapsRequired:">(), taps);
}
inline NSUInteger numberOfTapsRequired(id recognizer) {
  return msgSend<NSUInteger>(recognizer, sel<"numberOfTapsRequired">());
}
} // namespace UITapGestureRecognizer

namespace UIDevice {
inline id currentDevice() {
  return msgSend<id>(cls<"UIDevice">(), sel<"currentDevice">());
}
inline id model(id device) {
  return msgSend<id>(device, sel<"model">());
}
} // namespace UIDevice

namespace UINotificationFeedbackGenerator {
// Owned by the caller (alloc/init).
inline id new_() {
  return msgSend<id>(msgSend<id>(cls<"UINotificationFeedbackGenerator">(), sel<"alloc">()),
                     sel<"init">());
}
inline void prepare(id generator) {
  msgSend<void>(generator, sel<"prepare">());
}
inline void notificationOccurred(id generator, NSInteger type) {
  msgSend<void>(generator, sel<"notificationOccurred:">(), type);
}
} // namespace UINotificationFeedbackGenerator

namespace UIApplication {
inline id sharedApplication() {
  return msgSend<id>(cls<"UIApplication">(), sel<"sharedApplication">());
}
inline id _accessibilityFrontMostApplication(id application) {
  return msgSend<id>(application, sel<"_accessibilityFrontMostApplication">());
}
} // namespace UIApplication

namespace UIImage {
inline id imageNamed_inBundle_compatibleWithTraitCollection(id name, id bundle, id traits) {
  return msgSend<id>(cls<"UIImage">(), sel<"imageNamed:inBundle:compatibleWithTraitCollection:">(),
                     name, bundle, traits);
}
} // namespace UIImage

namespace UIColor {
inline id colorWithRed_green_blue_alpha(CGFloat red, CGFloat green, CGFloat blue, CGFloat alpha) {
  return msgSend<id>(cls<"UIColor">(), sel<"colorWithRed:green:blue:alpha:">(), red, green, blue,
                     alpha);
}
} // namespace UIColor

} // namespace platform
