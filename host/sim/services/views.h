// Views, view controllers (with navigation controllers and alerts), the alpha
// animation and tap gesture recognizers.
//
// A view has a model alpha (what `alpha` answers: the target of the latest
// change, at once) and a visible alpha (what the screen shows at a moment of
// a running animation). An animation starts from the visible alpha; a
// direct setAlpha: cancels it.
#pragma once

#include "host/sim/runtime/runtime.h"

#include <optional>
#include <string>
#include <vector>

namespace hostsim {

void registerViews();
void resetViews();

// Names a view in the "alpha" trace events ({"view":NAME,...}); views
// without a name emit none.
void setViewTraceName(id view, std::string name);

// The alpha the screen shows now.
double visibleAlpha(id view);
// Whether an animation of the view's alpha is under way (or waiting for its
// delay) now.
bool alphaAnimating(id view);

// The recognizers the view holds, in the order they were added.
std::vector<id> gestureRecognizersOf(id view);

// The controllers on a UINavigationController's stack, bottom first.
std::vector<id> navigationStack(id navigation);

// The title and message of a UIAlertController; nothing for another object.
struct AlertText {
  std::string title;
  std::string message;
};
std::optional<AlertText> alertText(id controller);

// N quick taps on the view: every tap recognizer on it whose required
// number of taps equals N calls its action.
void recognizeTaps(id view, unsigned long taps);

} // namespace hostsim
