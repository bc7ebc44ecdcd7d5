#include "home/host_classes.h"

#include "platform/uikit.h"
#include "services/foundation.h"
#include "services/run_loop.h"
#include "services/trace.h"
#include "services/views.h"

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
// then selector) and trace it. `method` is "-[CLASS SELECTOR]" or "+[…]".
void hostCall(const char* method, nlohmann::json args = nlohmann::json::array()) {
  std::string text = method;
  size_t space = text.find(' ');
  std::string cls = text.substr(2, space - 2);
  std::string selector = text.substr(space + 1, text.size() - space - 2);
  nlohmann::json& count = record().hostCalls[cls][selector];
  count = count.is_null() ? 1 : count.get<int>() + 1;
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
void SpringBoard_applicationDidFinishLaunching(id, SEL, id) {
  hostCall("-[SpringBoard applicationDidFinishLaunching:]", {nullptr});
  HostObjects& o = objects();
  o.listController = make("NCNotificationCombinedListViewController");
  if (o.listController) {
    id view = platform::UIViewController::view(o.listController.get());
    setViewTraceName(view, "list");
  }
  o.rootFolderView = make("SBRootFolderView");
  if (o.rootFolderView) {
    setViewTraceName(o.rootFolderView.get(), "icons");
    send<void>(o.rootFolderView.get(), "layoutDockView");
  }
  o.homeScreenView = make("SBHomeScreenView");
  send<void>(o.homeScreenView.get(), "didMoveToWindow");
  o.mediaController = make("SBMediaController");
  o.soundController = make("SBNCSoundController");
  o.pageView = make("SBAppSwitcherPageView");
  if (o.startControlCenter) o.startControlCenter();
}

// --- Ringer -------------------------------------------------------------------

void SBMediaController_setRingerMuted(id, SEL, BOOL muted) {
  hostCall("-[SBMediaController setRingerMuted:]", {muted});
  record().ringerMuted = muted;
}

void SBRingerHUDController_activate(id, SEL, int argument) {
  hostCall("+[SBRingerHUDController activate:]", {argument});
  record().hud.push_back({{"t", mainRunLoop().now()}, {"arg", argument}});
  trace::emit("hud", {{"arg", argument}});
}

// --- Notification list --------------------------------------------------------

void List_viewDidLoad(id, SEL) {
  hostCall("-[NCNotificationCombinedListViewController viewDidLoad]");
}

// --- Banners --------------------------------------------------------------------

struct ShortLookState {
  inline static Class cls = nullptr;
  Strong request;
  bool reveal = false;
  Strong preview;
};

id ShortLook_init(id self, SEL, id request, BOOL reveal) {
  hostCall("-[NCNotificationShortLookViewController "
           "_initWithNotificationRequest:revealingAdditionalContentOnPresentation:]",
           {nullptr, reveal});
  ShortLookState& s = state<ShortLookState>(self);
  s.request = Strong(request);
  s.reveal = reveal;
  return self;
}

// The same preview view on every call.
id ShortLook_viewForPreview(id self, SEL) {
  hostCall("-[NCNotificationShortLookViewController viewForPreview]");
  ShortLookState& s = state<ShortLookState>(self);
  if (!s.preview) s.preview = make("UIView");
  return s.preview.get();
}

// --- Sounds, options ------------------------------------------------------------

struct SoundState {
  inline static Class cls = nullptr;
  Strong sound;
};

id Sound_initWithNotificationSound(id self, SEL, id sound) {
  hostCall("-[NCNotificationSound initWithNotificationSound:]", {plain(sound)});
  state<SoundState>(self).sound = Strong(sound);
  return self;
}

struct RequestState {
  inline static Class cls = nullptr;
  std::string app;
  Strong soundObject;
};

void SoundController_play(id, SEL, id request) {
  hostCall("-[SBNCSoundController playSoundForNotificationRequest:]", {nullptr});
  id sound = requestSound(request);
  if (sound == nullptr) return;
  record().sounds.push_back({{"t", mainRunLoop().now()}, {"sound", stringOf(sound)}});
  trace::emit("sound", {{"sound", stringOf(sound)}});
}

BOOL Options_canTurnOnDisplay(id, SEL) {
  hostCall("-[NCNotificationOptions canTurnOnDisplay]");
  return YES;
}

unsigned long long Options_realertCount(id, SEL) {
  hostCall("-[NCNotificationOptions realertCount]");
  return 1;
}

// --- Apps -----------------------------------------------------------------------

void PageView_setOverlay(id, SEL, id, BOOL animated) {
  hostCall("-[SBAppSwitcherPageView setOverlay:animated:]", {nullptr, animated});
}

id Application_bundleIdentifier(id self, SEL) {
  Ivar ivar = class_getInstanceVariable(object_getClass(self), "_bundleIdentifier");
  return *reinterpret_cast<id*>(reinterpret_cast<char*>(self) + ivar_getOffset(ivar));
}

void Application_dealloc(id self, SEL) {
  objc_release(Application_bundleIdentifier(self, nullptr));
  object_dispose(self);
}

void Application_saveSuspendSnapshot(id self, SEL, id, id) {
  hostCall("-[SBApplication saveSuspendSnapshot:forSceneHandle:]", {nullptr, nullptr});
  std::string app = stringOf(Application_bundleIdentifier(self, nullptr));
  record().snapshots.push_back(app);
  trace::emit("snapshot", {{"app", app}});
}

// --- Home screen ----------------------------------------------------------------

void HomeScreen_didMoveToWindow(id, SEL) {
  hostCall("-[SBHomeScreenView didMoveToWindow]");
}
void HomeScreen_touchesBegan(id, SEL, id, id) {
  hostCall("-[SBHomeScreenView touchesBegan:withEvent:]", {nullptr, nullptr});
}

void RootFolder_layoutDockView(id, SEL) {
  hostCall("-[SBRootFolderView layoutDockView]");
}
BOOL RootFolder_isPullDownSearchVisible(id, SEL) {
  hostCall("-[SBRootFolderView isPullDownSearchVisible]");
  return record().searchAnswer;
}
BOOL RootFolder_isOnTodayPage(id, SEL) {
  hostCall("-[SBRootFolderView isOnTodayPage]");
  return record().todayAnswer;
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

HostRecord& record() {
  return *currentRecord();
}
HostObjects& objects() {
  return *currentObjects();
}

void defineHostClasses(const std::set<std::string>& without) {
  currentRecord() = new HostRecord();
  currentObjects() = new HostObjects();
  auto wanted = [&](const char* name) { return without.count(name) == 0; };
  Class object = objc_getClass("NSObject");
  Class view = objc_getClass("UIView");
  Class controller = objc_getClass("UIViewController");

  Class request = defineClass<RequestState>("NCNotificationRequest", object);
  (void)request;

  if (wanted("SpringBoard")) {
    Class cls = defineClass("SpringBoard", objc_getClass("UIApplication"));
    addMethod(cls, "applicationDidFinishLaunching:", SpringBoard_applicationDidFinishLaunching);
  }
  if (wanted("SBMediaController")) {
    Class cls = defineClass("SBMediaController", object);
    addMethod(cls, "setRingerMuted:", SBMediaController_setRingerMuted);
  }
  if (wanted("SBRingerHUDController")) {
    Class cls = defineClass("SBRingerHUDController", object);
    addClassMethod(cls, "activate:", SBRingerHUDController_activate);
  }
  if (wanted("NCNotificationCombinedListViewController")) {
    Class cls = defineClass("NCNotificationCombinedListViewController", controller);
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
    addMethod(cls, "playSoundForNotificationRequest:", SoundController_play);
  }
  if (wanted("NCNotificationOptions")) {
    Class cls = defineClass("NCNotificationOptions", object);
    addMethod(cls, "canTurnOnDisplay", Options_canTurnOnDisplay);
    addMethod(cls, "realertCount", Options_realertCount);
  }
  if (wanted("SBAppSwitcherPageView")) {
    Class cls = defineClass("SBAppSwitcherPageView", view);
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
  if (wanted("SBRootFolderView")) {
    Class cls = defineClass("SBRootFolderView", view);
    addMethod(cls, "layoutDockView", RootFolder_layoutDockView);
    addMethod(cls, "isPullDownSearchVisible", RootFolder_isPullDownSearchVisible);
    addMethod(cls, "isOnTodayPage", RootFolder_isOnTodayPage);
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
    Ivar ivar = class_getInstanceVariable(cls, "_bundleIdentifier");
    *reinterpret_cast<id*>(reinterpret_cast<char*>(slot.get()) + ivar_getOffset(ivar)) =
        objc_retain(newString(bundleIdentifier).get());
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
