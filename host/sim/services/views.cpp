#include "host/sim/services/views.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/trace.h"
#include "platform/uikit.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace hostsim {
namespace {

struct Animation {
  double from = 1;
  double to = 1;
  double start = 0; // when the change starts (after the delay)
  double duration = 0;
  bool linear = false;
};

struct ViewState {
  inline static Class cls = nullptr;
  double alpha = 1;
  bool hidden = false;
  std::optional<Animation> animation;
  std::vector<Strong> recognizers;
  std::string traceName;
};

struct ViewControllerState {
  inline static Class cls = nullptr;
  Strong view;
};

struct RecognizerState {
  inline static Class cls = nullptr;
  Weak target;
  SEL action = nullptr;
  Weak view;
  NSUInteger tapsRequired = 1;
};

// The animation transaction open while an animations callback runs.
struct Transaction {
  double duration;
  double delay;
  NSUInteger options;
};
std::optional<Transaction>& openTransaction() {
  static std::optional<Transaction> t;
  return t;
}

constexpr NSUInteger kCurveMask = 3ul << 16;
constexpr NSUInteger kCurveLinear = 3ul << 16;

double progress(const Animation& a, double t) {
  if (a.duration <= 0) return t >= a.start ? 1 : 0;
  double x = std::clamp((t - a.start) / a.duration, 0.0, 1.0);
  // The default curve eases in and out.
  return a.linear ? x : x * x * (3 - 2 * x);
}

double visibleAt(const ViewState& v, double t) {
  if (!v.animation) return v.alpha;
  const Animation& a = *v.animation;
  return a.from + (a.to - a.from) * progress(a, t);
}

void emitAlpha(const ViewState& v, double value, double duration) {
  if (v.traceName.empty()) return;
  trace::emit("alpha", {{"view", v.traceName}, {"value", value}, {"duration", duration}});
}

double UIView_alpha(id self, SEL) {
  return state<ViewState>(self).alpha;
}

void UIView_setAlpha(id self, SEL, double alpha) {
  ViewState& v = state<ViewState>(self);
  double now = mainRunLoop().now();
  if (const auto& tx = openTransaction()) {
    Animation a;
    a.from = visibleAt(v, now);
    a.to = alpha;
    a.start = now + std::max(0.0, tx->delay);
    a.duration = std::max(0.0, tx->duration);
    a.linear = (tx->options & kCurveMask) == kCurveLinear;
    v.animation = a;
    v.alpha = alpha;
    emitAlpha(v, alpha, a.duration);
    return;
  }
  v.animation.reset();
  v.alpha = alpha;
  emitAlpha(v, alpha, 0);
}

void UIView_setHidden(id self, SEL, BOOL hidden) {
  state<ViewState>(self).hidden = hidden;
}
BOOL UIView_isHidden(id self, SEL) {
  return state<ViewState>(self).hidden;
}

void UIView_addGestureRecognizer(id self, SEL, id recognizer) {
  if (recognizer == nullptr) return;
  auto& list = state<ViewState>(self).recognizers;
  bool present = std::any_of(list.begin(), list.end(),
                             [recognizer](const Strong& r) { return r.get() == recognizer; });
  if (present) return;
  // A recognizer belongs to one view at a time.
  Strong previous = state<RecognizerState>(recognizer).view.lock();
  if (previous && previous.get() != self)
    send<void>(previous.get(), "removeGestureRecognizer:", recognizer);
  state<RecognizerState>(recognizer).view = Weak(self);
  list.emplace_back(recognizer);
}

void UIView_removeGestureRecognizer(id self, SEL, id recognizer) {
  auto& list = state<ViewState>(self).recognizers;
  auto it = std::find_if(list.begin(), list.end(),
                         [recognizer](const Strong& r) { return r.get() == recognizer; });
  if (it == list.end()) return;
  state<RecognizerState>(recognizer).view = Weak();
  list.erase(it); // may free the recognizer
}

id UIView_gestureRecognizers(id self, SEL) {
  std::vector<Strong> items = state<ViewState>(self).recognizers;
  Strong array = newArray(std::move(items));
  objc_retain(array.get());
  return objc_autorelease(array.get());
}

// A controller loads its view on first use, then runs viewDidLoad.
id UIViewController_view(id self, SEL) {
  ViewControllerState& c = state<ViewControllerState>(self);
  if (!c.view) {
    send<void>(self, "loadView");
    if (!c.view) c.view = Strong::adopt(send<id>(send<id>(as_id(ViewState::cls), "alloc"), "init"));
    send<void>(self, "viewDidLoad");
  }
  return c.view.get();
}
void UIViewController_setView(id self, SEL, id view) {
  state<ViewControllerState>(self).view = Strong(view);
}
BOOL UIViewController_isViewLoaded(id self, SEL) {
  return static_cast<bool>(state<ViewControllerState>(self).view);
}
void UIViewController_loadView(id, SEL) {}
void UIViewController_viewDidLoad(id, SEL) {}

id UITapGestureRecognizer_initWithTarget(id self, SEL, id target, SEL action) {
  RecognizerState& r = state<RecognizerState>(self);
  r.target = Weak(target);
  r.action = action;
  return self;
}
void UITapGestureRecognizer_setTaps(id self, SEL, NSUInteger taps) {
  state<RecognizerState>(self).tapsRequired = taps;
}
NSUInteger UITapGestureRecognizer_taps(id self, SEL) {
  return state<RecognizerState>(self).tapsRequired;
}
id UIGestureRecognizer_view(id self, SEL) {
  Strong v = state<RecognizerState>(self).view.lock();
  return v.get(); // the view holds the recognizer, so it outlives this call
}

} // namespace

void registerViews() {
  Class object = objc_getClass("NSObject");
  Class responder = defineClass("UIResponder", object);
  Class view = defineClass<ViewState>("UIView", responder);
  addMethod(view, "alpha", UIView_alpha);
  addMethod(view, "setAlpha:", UIView_setAlpha);
  addMethod(view, "setHidden:", UIView_setHidden);
  addMethod(view, "isHidden", UIView_isHidden);
  addMethod(view, "addGestureRecognizer:", UIView_addGestureRecognizer);
  addMethod(view, "removeGestureRecognizer:", UIView_removeGestureRecognizer);
  addMethod(view, "gestureRecognizers", UIView_gestureRecognizers);

  Class controller = defineClass<ViewControllerState>("UIViewController", responder);
  addMethod(controller, "view", UIViewController_view);
  addMethod(controller, "setView:", UIViewController_setView);
  addMethod(controller, "isViewLoaded", UIViewController_isViewLoaded);
  addMethod(controller, "loadView", UIViewController_loadView);
  addMethod(controller, "viewDidLoad", UIViewController_viewDidLoad);

  Class gesture = defineClass<RecognizerState>("UIGestureRecognizer", object);
  addMethod(gesture, "initWithTarget:action:", UITapGestureRecognizer_initWithTarget);
  addMethod(gesture, "view", UIGestureRecognizer_view);
  Class tap = defineClass("UITapGestureRecognizer", gesture);
  addMethod(tap, "setNumberOfTapsRequired:", UITapGestureRecognizer_setTaps);
  addMethod(tap, "numberOfTapsRequired", UITapGestureRecognizer_taps);
}

void resetViews() {
  openTransaction().reset();
}

void setViewTraceName(id view, std::string name) {
  state<ViewState>(view).traceName = std::move(name);
}

double visibleAlpha(id view) {
  return visibleAt(state<ViewState>(view), mainRunLoop().now());
}

bool alphaAnimating(id view) {
  const ViewState& v = state<ViewState>(view);
  return v.animation && mainRunLoop().now() < v.animation->start + v.animation->duration;
}

std::vector<id> gestureRecognizersOf(id view) {
  std::vector<id> out;
  for (const Strong& r : state<ViewState>(view).recognizers)
    out.push_back(r.get());
  return out;
}

void recognizeTaps(id view, unsigned long taps) {
  Class tapClass = objc_getClass("UITapGestureRecognizer");
  // The recognizers on the view now; an action may change the view's list.
  std::vector<Strong> present = state<ViewState>(view).recognizers;
  for (const Strong& r : present) {
    if (!isKindOf(r.get(), tapClass)) continue;
    RecognizerState& rs = state<RecognizerState>(r.get());
    if (rs.tapsRequired != taps) continue;
    Strong target = rs.target.lock();
    if (target) sendAction(target.get(), rs.action, r.get());
  }
}

} // namespace hostsim

extern "C" void UIView_animateWithDuration_delay_options_animations_completion(
    double duration, double delay, NSUInteger options, void (*animations)(void*), void* context,
    void (*completion)(void*, BOOL)) {
  auto& tx = hostsim::openTransaction();
  std::optional<hostsim::Transaction> outer = tx;
  tx = hostsim::Transaction{duration, delay, options};
  if (animations != nullptr) animations(context);
  tx = outer;
  if (completion != nullptr) {
    double end = hostsim::mainRunLoop().now() + std::max(0.0, delay) + std::max(0.0, duration);
    hostsim::mainRunLoop().schedule(end, [completion, context] { completion(context, YES); });
  }
}
