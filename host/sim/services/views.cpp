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
  Weak navigation;  // the navigation controller whose stack holds it
  Strong presented; // what it presents modally (an alert)
};

struct NavigationState {
  inline static Class cls = nullptr;
  std::vector<Strong> stack; // bottom first
};

struct AlertState {
  inline static Class cls = nullptr;
  std::string title;
  std::string message;
  std::vector<Strong> actions;
};

struct AlertActionState {
  inline static Class cls = nullptr;
  std::string title;
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
id UIViewController_navigationController(id self, SEL) {
  Strong navigation = state<ViewControllerState>(self).navigation.lock();
  return navigation.get(); // the stack's owner outlives the controllers on it
}
// A controller presents one thing at a time: while it presents, another
// presentation is refused (UIKit logs it and shows nothing).
void UIViewController_presentViewController(id self, SEL, id presented, BOOL, void*) {
  ViewControllerState& c = state<ViewControllerState>(self);
  if (presented == nullptr || c.presented) return;
  c.presented = Strong(presented);
}
id UIViewController_presentedViewController(id self, SEL) {
  return state<ViewControllerState>(self).presented.get();
}
void UIViewController_dismissViewController(id self, SEL, BOOL, void*) {
  state<ViewControllerState>(self).presented = Strong();
}

id UINavigationController_initWithRootViewController(id self, SEL, id root) {
  if (root != nullptr)
    send<void>(self, "pushViewController:animated:", root, static_cast<BOOL>(NO));
  return self;
}
void UINavigationController_push(id self, SEL, id controller, BOOL) {
  if (controller == nullptr) return;
  state<NavigationState>(self).stack.emplace_back(controller);
  state<ViewControllerState>(controller).navigation = Weak(self);
}
id UINavigationController_pop(id self, SEL, BOOL) {
  auto& stack = state<NavigationState>(self).stack;
  if (stack.size() < 2) return nullptr;
  Strong top = stack.back();
  stack.pop_back();
  state<ViewControllerState>(top.get()).navigation = Weak();
  return autoreleased(top);
}
id UINavigationController_topViewController(id self, SEL) {
  const auto& stack = state<NavigationState>(self).stack;
  return stack.empty() ? nullptr : stack.back().get();
}

id UIAlertController_alertController(id self, SEL, id title, id message, NSInteger) {
  Strong alert = Strong::adopt(send<id>(send<id>(self, "alloc"), "init"));
  AlertState& a = state<AlertState>(alert.get());
  a.title = stringOf(title);
  a.message = stringOf(message);
  return autoreleased(alert);
}
void UIAlertController_addAction(id self, SEL, id action) {
  if (action != nullptr) state<AlertState>(self).actions.emplace_back(action);
}
id UIAlertController_title(id self, SEL) {
  return autoreleased(newString(state<AlertState>(self).title));
}
id UIAlertController_message(id self, SEL) {
  return autoreleased(newString(state<AlertState>(self).message));
}
// The handler (a block) is not kept: the stand-in's alerts only dismiss.
id UIAlertAction_action(id self, SEL, id title, NSInteger, void*) {
  Strong action = Strong::adopt(send<id>(send<id>(self, "alloc"), "init"));
  state<AlertActionState>(action.get()).title = stringOf(title);
  return autoreleased(action);
}

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
  addMethod(controller, "navigationController", UIViewController_navigationController);
  addMethod(controller,
            "presentViewController:animated:completion:", UIViewController_presentViewController);
  addMethod(controller, "presentedViewController", UIViewController_presentedViewController);
  addMethod(controller,
            "dismissViewControllerAnimated:completion:", UIViewController_dismissViewController);
  defineClass("UITableViewController", controller);
  Class navigation = defineClass<NavigationState>("UINavigationController", controller);
  addMethod(navigation,
            "initWithRootViewController:", UINavigationController_initWithRootViewController);
  addMethod(navigation, "pushViewController:animated:", UINavigationController_push);
  addMethod(navigation, "popViewControllerAnimated:", UINavigationController_pop);
  addMethod(navigation, "topViewController", UINavigationController_topViewController);
  Class alert = defineClass<AlertState>("UIAlertController", controller);
  addClassMethod(
      alert, "alertControllerWithTitle:message:preferredStyle:", UIAlertController_alertController);
  addMethod(alert, "addAction:", UIAlertController_addAction);
  addMethod(alert, "title", UIAlertController_title);
  addMethod(alert, "message", UIAlertController_message);
  Class alertAction = defineClass<AlertActionState>("UIAlertAction", object);
  addClassMethod(alertAction, "actionWithTitle:style:handler:", UIAlertAction_action);

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

std::vector<id> navigationStack(id navigation) {
  std::vector<id> out;
  for (const Strong& c : state<NavigationState>(navigation).stack)
    out.push_back(c.get());
  return out;
}

std::optional<AlertText> alertText(id controller) {
  if (controller == nullptr || !isKindOf(controller, AlertState::cls)) return std::nullopt;
  const AlertState& a = state<AlertState>(controller);
  return AlertText{a.title, a.message};
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
