// +[UIView animateWithDuration:delay:options:animations:completion:] for
// callers without blocks: the animations and completion blocks are made
// here from a function and its context.
#include "platform/uikit.h"

namespace {

template <class Block> id asObject(Block block) {
  return reinterpret_cast<id>(reinterpret_cast<void*>(block));
}

} // namespace

extern "C" void UIView_animateWithDuration_delay_options_animations_completion(
    double duration, double delay, NSUInteger options, void (*animations)(void* context),
    void* context, void (*completion)(void* context, BOOL finished)) {
  // Both literals stay at function scope: a block literal lives to the end
  // of the statement that holds it, and UIKit copies them during the send.
  void (^animationsBlock)(void) = ^{
    animations(context);
  };
  void (^completionBlock)(BOOL) = ^(BOOL finished) {
    completion(context, finished);
  };
  platform::msgSend<void>(platform::cls("UIView"),
                          platform::sel("animateWithDuration:delay:options:animations:completion:"),
                          duration, delay, options, asObject(animationsBlock),
                          completion != nullptr ? asObject(completionBlock) : nil);
}
