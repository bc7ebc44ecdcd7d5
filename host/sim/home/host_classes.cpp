#include "host/sim/home/host_classes.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/run_loop.h"
#include "host/sim/services/trace.h"
#include "host/sim/services/views.h"
#include "platform/uikit.h"

#include <stdexcept>

namespace hostsim::home {
namespace {

HostRecord*& currentRecord() {
  static HostRecord* r = nullptr;
  return r;
}

HostObjects*& currentObjects() {
  static HostObjects* o = nullptr;
  return o;
}

nlohmann::json plain(id value) {
  if (isString(value) || isNumber(value)) return toJson(value);
  return nullptr;
}

// The host implementation of a replaced method starts: count it (by class,
// then selector) and trace it as "-[CLASS SELECTOR]" (or "+[…]" for a
// class method, whose receiver is the class itself).
void hostCall(id self, SEL cmd, nlohmann::json args = nlohmann::json::array()) {
  Class cls = object_getClass(self);
  bool classMethod = cls->isMeta;
  std::string name = class_getName(classMethod ? reinterpret_cast<Class>(self) : cls);
  std::string selector = sel_getName(cmd);
  nlohmann::json& count = record().hostCalls[name][selector];
  count = count.is_null() ? 1 : count.get<int>() + 1;
  std::string method = (classMethod ? "+[" : "-[") + name + " " + selector + "]";
  trace::emit("host", {{"method", method}, {"args", std::move(args)}});
}

Strong make(const char* className) {
  Class cls = objc_getClass(className);
  if (cls == nullptr) return {};
  return Strong::adopt(send<id>(send<id>(as_id(cls), "alloc"), "init"));
}

// --- SpringBoard ------------------------------------------------------------

// Builds the UI: the notification list (its view loads), the root folder
// view (laid out), the home-screen view (in its window), the media and
// sound controllers, the app switcher's page view, and last Control Center.
// The metrics the iOS 16 host lays the dock out with: the host hands its own
// and expects the same back.
struct RootFolderViewMetrics {
  double dockHeight = 96;
};
RootFolderViewMetrics hostMetrics;

void SpringBoard_applicationDidFinishLaunching(id self, SEL _cmd, id) {
  hostCall(self, _cmd, {nullptr});
  HostObjects& o = objects();
  const bool iOS16 = o.screen == HomeScreen::iOS16;
  o.listController = make(iOS16 ? "NCNotificationStructuredListViewController"
                                : "NCNotificationCombinedListViewController");
  if (o.listController) {
    id view = platform::UIViewController::view(o.listController.get());
    setViewTraceName(view, "list");
  }
  if (iOS16) {
    o.rootFolderController = make("SBRootFolderController");
    if (o.rootFolderController)
      o.rootFolderView = Strong(send<id>(o.rootFolderController.get(), "rootFolderView"));
  } else {
    o.rootFolderView = make("SBRootFolderView");
  }
  if (o.rootFolderView) {
    setViewTraceName(o.rootFolderView.get(), "icons");
    layOutDock(o.rootFolderView.get());
  }
  o.homeScreenView = make("SBHomeScreenView");
  send<void>(o.homeScreenView.get(), "didMoveToWindow");
  o.ringer = make(iOS16 ? "SBRingerControl" : "SBMediaController");
  o.soundController = make("SBNCSoundController");
  o.pageView = make("SBAppSwitcherPageView");
  if (o.startControlCenter) o.startControlCenter();
}

// --- Ringer -------------------------------------------------------------------

void SBMediaController_setRingerMuted(id self, SEL _cmd, BOOL muted) {
  hostCall(self, _cmd, {muted});
  record().ringerMuted = muted;
}

void SBRingerHUDController_activate(id self, SEL _cmd, int argument) {
  hostCall(self, _cmd, {argument});
  record().hud.add({{"t", mainRunLoop().now()}, {"arg", argument}});
  trace::emit("hud", {{"arg", argument}});
}
// iOS 16: the ringer control's own method shows the display.
void SBRingerControl_activateFromMuteSwitch(id self, SEL _cmd, int argument) {
  SBRingerHUDController_activate(self, _cmd, argument);
}

// --- Notification list --------------------------------------------------------

void List_viewDidLoad(id self, SEL _cmd) {
  hostCall(self, _cmd);
}

// --- Banners --------------------------------------------------------------------

struct ShortLookState {
  inline static Class cls = nullptr;
  Strong request;
  bool reveal = false;
  Strong preview;
};

id ShortLook_init(id self, SEL _cmd, id request, BOOL reveal) {
  hostCall(self, _cmd, {nullptr, reveal});
  ShortLookState& s = state<ShortLookState>(self);
  s.request = Strong(request);
  s.reveal = reveal;
  return self;
}

// The same preview view on every call.
id ShortLook_viewForPreview(id self, SEL _cmd) {
  hostCall(self, _cmd);
  ShortLookState& s = state<ShortLookState>(self);
  if (!s.preview) s.preview = make("UIView");
  return s.preview.get();
}

// --- Sounds, options ------------------------------------------------------------

struct SoundState {
  inline static Class cls = nullptr;
  Strong sound;
};

id Sound_initWithNotificationSound(id self, SEL _cmd, id sound) {
  hostCall(self, _cmd, {plain(sound)});
  state<SoundState>(self).sound = Strong(sound);
  return self;
}

struct RequestState {
  inline static Class cls = nullptr;
  std::string app;
  Strong soundObject;
};

// With the ringer muted the device plays no notification sound.
void playRequestSound(id request) {
  id sound = requestSound(request);
  if (sound == nullptr) return;
  if (record().ringerMuted) {
    trace::emit("sound-skipped", {{"sound", stringOf(sound)}, {"reason", "ringer muted"}});
    return;
  }
  record().sounds.add({{"t", mainRunLoop().now()}, {"sound", stringOf(sound)}});
  trace::emit("sound", {{"sound", stringOf(sound)}});
}

void SoundController_play(id self, SEL _cmd, id request) {
  hostCall(self, _cmd, {nullptr});
  playRequestSound(request);
}

// iOS 16: where the notification is presented comes along; the host's own
// destination must arrive as it was sent.
void SoundController_playPresenting(id self, SEL _cmd, id request, id destination) {
  hostCall(self, _cmd, {nullptr, plain(destination)});
  playRequestSound(request);
}

BOOL Options_canTurnOnDisplay(id self, SEL _cmd) {
  hostCall(self, _cmd);
  return YES;
}

unsigned long long Options_realertCount(id self, SEL _cmd) {
  hostCall(self, _cmd);
  return 1;
}

// --- Apps -----------------------------------------------------------------------

void PageView_setOverlay(id self, SEL _cmd, id, BOOL animated) {
  hostCall(self, _cmd, {nullptr, animated});
}
void PageView_setOverlayProperty(id self, SEL _cmd, id) {
  hostCall(self, _cmd, {nullptr});
}

// An application keeps its bundle identifier (retained) in the instance
// variable that key-value coding reads as "_bundleIdentifier".
id& bundleIdentifierOf(id app) {
  Ivar ivar = class_getInstanceVariable(object_getClass(app), "_bundleIdentifier");
  return *reinterpret_cast<id*>(reinterpret_cast<char*>(app) + ivar_getOffset(ivar));
}

id Application_bundleIdentifier(id self, SEL) {
  return bundleIdentifierOf(self);
}

void Application_dealloc(id self, SEL) {
  objc_release(bundleIdentifierOf(self));
  object_dispose(self);
}

void Application_saveSuspendSnapshot(id self, SEL _cmd, id, id) {
  hostCall(self, _cmd, {nullptr, nullptr});
  std::string app = stringOf(bundleIdentifierOf(self));
  record().snapshots.add(app);
  trace::emit("snapshot", {{"app", app}});
}

// --- Home screen ----------------------------------------------------------------

void HomeScreen_didMoveToWindow(id self, SEL _cmd) {
  hostCall(self, _cmd);
}
void HomeScreen_touchesBegan(id self, SEL _cmd, id, id) {
  hostCall(self, _cmd, {nullptr, nullptr});
}

void RootFolder_layoutDockView(id self, SEL _cmd) {
  hostCall(self, _cmd);
}
BOOL RootFolder_isPullDownSearchVisible(id self, SEL _cmd) {
  hostCall(self, _cmd);
  return record().searchAnswer;
}
BOOL RootFolder_isOnTodayPage(id self, SEL _cmd) {
  hostCall(self, _cmd);
  return record().todayAnswer;
}
// iOS 16: the metrics are the host's own, handed back as they were sent.
void RootFolder_layoutDockViewWithMetrics(id self, SEL _cmd, void* metrics) {
  hostCall(self, _cmd, {metrics == &hostMetrics ? "host metrics" : "other metrics"});
  if (metrics != &hostMetrics)
    throw std::logic_error("layoutDockViewWithMetrics: the metrics are not the host's");
}

// iOS 16: the root folder's controller, which owns its view.
struct RootFolderControllerState {
  inline static Class cls = nullptr;
  Strong view;
};
id RootFolderController_rootFolderView(id self, SEL) {
  RootFolderControllerState& s = state<RootFolderControllerState>(self);
  if (!s.view) s.view = make("SBRootFolderView");
  return s.view.get();
}

// --- Control Center's toggle base class -------------------------------------------

// Reads the state and redraws the toggle from it.
void Toggle_refreshState(id self, SEL) {
  BOOL selected = send<BOOL>(self, "isSelected");
  ++record().redraws;
  trace::emit("redraw", {{"selected", selected}});
}
BOOL Toggle_isSelected(id, SEL) {
  return NO;
}
void Toggle_setSelected(id, SEL, BOOL) {}
id Toggle_nil(id, SEL) {
  return nullptr;
}

// Control Center's base class of toggles: it redraws from isSelected.
void defineControlCenterBase() {
  Class cls = defineClass("CCUIToggleModule", objc_getClass("NSObject"));
  addMethod(cls, "refreshState", Toggle_refreshState);
  addMethod(cls, "isSelected", Toggle_isSelected);
  addMethod(cls, "setSelected:", Toggle_setSelected);
  addMethod(cls, "iconGlyph", Toggle_nil);
  addMethod(cls, "selectedColor", Toggle_nil);
}

} // namespace

double coreFoundationVersion(HomeScreen screen) {
  return screen == HomeScreen::iOS16 ? 1932.101 : 1443.00;
}

void layOutDock(id rootFolderView) {
  if (objects().screen == HomeScreen::iOS16)
    send<void>(rootFolderView, "layoutDockViewWithMetrics:", static_cast<void*>(&hostMetrics));
  else
    send<void>(rootFolderView, "layoutDockView");
}

HostRecord& record() {
  return *currentRecord();
}
HostObjects& objects() {
  return *currentObjects();
}

bool isOmittableHostClass(std::string_view name) {
  for (std::string_view omittable : kOmittableHostClasses)
    if (name == omittable) return true;
  return false;
}

void defineHostClasses(const std::set<std::string>& without, HomeScreen screen) {
  currentRecord() = new HostRecord();
  currentObjects() = new HostObjects();
  currentObjects()->screen = screen;
  const bool iOS16 = screen == HomeScreen::iOS16;
  // Each generation's own classes, and on iOS 16 the methods that changed.
  auto wanted = [&](const char* name) {
    // The list that `boot --without` is checked against stays complete.
    if (!isOmittableHostClass(name))
      throw std::logic_error(std::string(name) + " is missing from kOmittableHostClasses");
    return without.count(name) == 0;
  };
  auto wantedOn = [&](HomeScreen generation, const char* name) {
    return generation == screen && wanted(name);
  };
  Class object = objc_getClass("NSObject");
  Class view = objc_getClass("UIView");
  Class controller = objc_getClass("UIViewController");

  Class request = defineClass<RequestState>("NCNotificationRequest", object);
  (void)request;

  if (wanted("SpringBoard")) {
    Class cls = defineClass("SpringBoard", objc_getClass("UIApplication"));
    addMethod(cls, "applicationDidFinishLaunching:", SpringBoard_applicationDidFinishLaunching);
  }
  if (wantedOn(HomeScreen::iOS11, "SBMediaController")) {
    Class cls = defineClass("SBMediaController", object);
    addMethod(cls, "setRingerMuted:", SBMediaController_setRingerMuted);
  }
  if (wantedOn(HomeScreen::iOS16, "SBRingerControl")) {
    Class cls = defineClass("SBRingerControl", object);
    addMethod(cls, "setRingerMuted:", SBMediaController_setRingerMuted);
    addMethod(cls, "activateRingerHUDFromMuteSwitch:", SBRingerControl_activateFromMuteSwitch);
  }
  if (wantedOn(HomeScreen::iOS11, "SBRingerHUDController")) {
    Class cls = defineClass("SBRingerHUDController", object);
    addClassMethod(cls, "activate:", SBRingerHUDController_activate);
  }
  if (wantedOn(HomeScreen::iOS11, "NCNotificationCombinedListViewController")) {
    Class cls = defineClass("NCNotificationCombinedListViewController", controller);
    addMethod(cls, "viewDidLoad", List_viewDidLoad);
  }
  if (wantedOn(HomeScreen::iOS16, "NCNotificationStructuredListViewController")) {
    Class cls = defineClass("NCNotificationStructuredListViewController", controller);
    addMethod(cls, "viewDidLoad", List_viewDidLoad);
  }
  if (wanted("NCNotificationShortLookViewController")) {
    Class cls = defineClass<ShortLookState>("NCNotificationShortLookViewController", controller);
    addMethod(cls, "_initWithNotificationRequest:revealingAdditionalContentOnPresentation:",
              ShortLook_init);
    addMethod(cls, "viewForPreview", ShortLook_viewForPreview);
  }
  if (wanted("NCNotificationSound")) {
    Class cls = defineClass<SoundState>("NCNotificationSound", object);
    addMethod(cls, "initWithNotificationSound:", Sound_initWithNotificationSound);
  }
  if (wanted("SBNCSoundController")) {
    Class cls = defineClass("SBNCSoundController", object);
    if (iOS16)
      addMethod(cls, "playSoundForNotificationRequest:presentingDestination:",
                SoundController_playPresenting);
    else
      addMethod(cls, "playSoundForNotificationRequest:", SoundController_play);
  }
  if (wanted("NCNotificationOptions")) {
    Class cls = defineClass("NCNotificationOptions", object);
    addMethod(cls, "canTurnOnDisplay", Options_canTurnOnDisplay);
    addMethod(cls, "realertCount", Options_realertCount);
  }
  if (wanted("SBAppSwitcherPageView")) {
    Class cls = defineClass("SBAppSwitcherPageView", view);
    if (iOS16)
      addMethod(cls, "setOverlay:", PageView_setOverlayProperty);
    else
      addMethod(cls, "setOverlay:animated:", PageView_setOverlay);
  }
  if (wanted("SBApplication")) {
    Class cls = objc_allocateClassPair(object, "SBApplication", 0);
    class_addIvar(cls, "_bundleIdentifier", sizeof(id), 3, "@");
    objc_registerClassPair(cls);
    addMethod(cls, "bundleIdentifier", Application_bundleIdentifier);
    addMethod(cls, "saveSuspendSnapshot:forSceneHandle:", Application_saveSuspendSnapshot);
    addMethod(cls, "dealloc", Application_dealloc);
  }
  if (wanted("SBHomeScreenView")) {
    Class cls = defineClass("SBHomeScreenView", view);
    addMethod(cls, "didMoveToWindow", HomeScreen_didMoveToWindow);
    addMethod(cls, "touchesBegan:withEvent:", HomeScreen_touchesBegan);
  }
  if (wantedOn(HomeScreen::iOS16, "SBRootFolderController")) {
    Class cls = defineClass<RootFolderControllerState>("SBRootFolderController", controller);
    addMethod(cls, "rootFolderView", RootFolderController_rootFolderView);
    addMethod(cls, "isPullDownSearchVisible", RootFolder_isPullDownSearchVisible);
  }
  if (wanted("SBRootFolderView")) {
    Class cls = defineClass("SBRootFolderView", view);
    if (iOS16) {
      addMethod(cls, "layoutDockViewWithMetrics:", RootFolder_layoutDockViewWithMetrics);
      addMethod(cls, "isOnLeadingCustomPage", RootFolder_isOnTodayPage);
    } else {
      addMethod(cls, "layoutDockView", RootFolder_layoutDockView);
      addMethod(cls, "isPullDownSearchVisible", RootFolder_isPullDownSearchVisible);
      addMethod(cls, "isOnTodayPage", RootFolder_isOnTodayPage);
    }
  }
  if (wanted("CCUIToggleModule")) defineControlCenterBase();
}

void resetHostClasses() {
  delete currentObjects();
  currentObjects() = nullptr;
  delete currentRecord();
  currentRecord() = nullptr;
}

id applicationFor(const std::string& bundleIdentifier) {
  Class cls = objc_getClass("SBApplication");
  if (cls == nullptr) return nullptr;
  Strong& slot = objects().applications[bundleIdentifier];
  if (!slot) {
    slot = Strong::adopt(send<id>(send<id>(as_id(cls), "alloc"), "init"));
    bundleIdentifierOf(slot.get()) = objc_retain(newString(bundleIdentifier).get());
  }
  return slot.get();
}

Strong newRequest(const std::string& app, id soundObject) {
  Strong r = Strong::adopt(class_createInstance(RequestState::cls, 0));
  state<RequestState>(r.get()).app = app;
  state<RequestState>(r.get()).soundObject = Strong(soundObject);
  return r;
}

id requestSound(id request) {
  id soundObject = state<RequestState>(request).soundObject.get();
  if (soundObject == nullptr) return nullptr;
  return state<SoundState>(soundObject).sound.get();
}

} // namespace hostsim::home
