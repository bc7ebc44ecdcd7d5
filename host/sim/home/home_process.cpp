#include "host/sim/home/home_process.h"

#include "host/sim/home/control_center.h"
#include "host/sim/home/host_classes.h"
#include "host/sim/platform_boot.h"
#include "host/sim/services/devices.h"
#include "host/sim/services/foundation_values.h"
#include "host/sim/services/property_lists.h"
#include "host/sim/services/timers.h"
#include "host/sim/services/trace.h"
#include "host/sim/services/views.h"
#include "platform/uikit.h"

#include <dlfcn.h>
#include <stdexcept>

namespace hostsim::home {
namespace {

// How long a banner stays on screen before the host dismisses it and lets
// go of its short-look controller.
constexpr double kBannerDisplaySeconds = 5.0;

nlohmann::json alphaOf(id view) {
  if (view == nullptr) return {{"alpha", nullptr}, {"visibleAlpha", nullptr}};
  return {{"alpha", platform::UIView::alpha(view)}, {"visibleAlpha", visibleAlpha(view)}};
}

} // namespace

struct HomeProcess::Impl : ModeledProcess {
  Impl(std::filesystem::path r, ClockMode c, Deliverables d)
      : ModeledProcess(std::move(r), c, "the process"), deliverables(std::move(d)) {}

  Deliverables deliverables;
  BootOptions options;
  std::optional<long> feedbackLevel = 2;
  std::string model = "iPhone";
  // The ring/silent switch is the device's: its position outlives the
  // home-screen process.
  bool switchSilent = false;
  // The device's wall clock at the next boot's time 0, and its zone.
  double wallClock = kDefaultWallClock;
  std::string timeZone = kDefaultTimeZone;
  void* library = nullptr; // the handle of the loaded library
  std::function<void()> atEnd;
  ControlCenter controlCenter;

  void loadLibrary() {
    // The loader runs the library's two initialisers inside dlopen.
    library = dlopen(deliverables.library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr)
      throw std::runtime_error("cannot load " + deliverables.library.string() + ": " + dlerror());
  }

  void release() override {
    controlCenter.stop();
    if (atEnd && library != nullptr) atEnd();
    resetHostClasses();
    // What the process held at its end (a ringer display still pending,
    // say) goes with it. The device's clock goes on from where it is.
    wallClock = hostsim::wallClock();
  }

  void unload() override {
    controlCenter.close();
    if (library != nullptr) dlclose(library);
    library = nullptr;
  }
};

HomeProcess::HomeProcess(std::filesystem::path root, ClockMode clock, Deliverables deliverables)
    : impl_(new Impl(std::move(root), clock, std::move(deliverables))) {}

HomeProcess::~HomeProcess() {
  shutdown();
}

void HomeProcess::boot(const BootOptions& options) {
  Impl& p = *impl_;
  p.boot(PlatformOptions{{}, ClockMode::Virtual, "/var/mobile", p.wallClock, p.timeZone}, [&] {
    p.options = options;
    setFeedbackSupportLevel(p.feedbackLevel);
    setDeviceModel(p.model);
    setCoreFoundationVersion(coreFoundationVersion(options.screen));
    defineHostClasses(options.without, options.screen);
    record().ringerMuted = p.switchSilent;
    if (!options.vanilla) {
      p.loadLibrary();
      p.controlCenter.install(p.deliverables.moduleBundle);
    }
    HostObjects& o = objects();
    o.startControlCenter = [&p, lazy = options.ccLazy] { p.controlCenter.start(lazy); };
    if (Class cls = objc_getClass("SpringBoard")) {
      o.springBoard = Strong::adopt(send<id>(send<id>(as_id(cls), "alloc"), "init"));
      send<void>(o.springBoard.get(), "applicationDidFinishLaunching:", o.springBoard.get());
    }
  });
}

void HomeProcess::restart() {
  BootOptions options = impl_->options;
  shutdown();
  boot(options);
}

void HomeProcess::shutdown() {
  impl_->end();
}

const std::filesystem::path& HomeProcess::root() const {
  return impl_->root();
}

bool HomeProcess::booted() const {
  return impl_->booted();
}

void* HomeProcess::librarySymbol(const char* name) const {
  return impl_->library != nullptr ? dlsym(impl_->library, name) : nullptr;
}

void HomeProcess::atEnd(std::function<void()> release) {
  impl_->atEnd = std::move(release);
}

void HomeProcess::setFeedbackLevel(std::optional<long> level) {
  impl_->feedbackLevel = level;
  if (impl_->booted()) setFeedbackSupportLevel(level);
}

void HomeProcess::setModel(const std::string& model) {
  impl_->model = model;
  if (impl_->booted()) setDeviceModel(model);
}

void HomeProcess::setStorageFull(bool full) {
  impl_->setStorageFull(full);
}

void HomeProcess::setClock(double seconds) {
  if (!impl_->booted()) {
    impl_->wallClock = seconds;
    return;
  }
  impl_->action([&] { hostsim::setWallClock(seconds); });
}

void HomeProcess::setTimeZone(const std::string& zone) {
  impl_->timeZone = zone;
  if (!impl_->booted()) return;
  impl_->action([&] { hostsim::setTimeZone(zone); });
}

const std::string& HomeProcess::timeZone() const {
  return impl_->timeZone;
}

double HomeProcess::wallTime() const {
  return impl_->booted() ? wallClock() : impl_->wallClock;
}

void HomeProcess::sleep(double seconds) {
  if (!impl_->booted()) {
    impl_->wallClock += seconds;
    return;
  }
  sleepDevice(seconds);
  mainRunLoop().runDue();
}

size_t HomeProcess::failedWrites() const {
  return impl_->failedWrites();
}

void HomeProcess::setSwitch(bool silent) {
  impl_->action([&] {
    impl_->switchSilent = silent;
    HostObjects& o = objects();
    send<void>(o.ringer.get(), "setRingerMuted:", static_cast<BOOL>(silent));
    if (o.screen == HomeScreen::iOS16)
      send<void>(o.ringer.get(), "activateRingerHUDFromMuteSwitch:", silent ? 1 : 0);
    else if (Class hud = objc_getClass("SBRingerHUDController"))
      send<void>(as_id(hud), "activate:", silent ? 1 : 0);
  });
}

void HomeProcess::setToggle(bool on) {
  impl_->action([&] { impl_->controlCenter.setSelected(on); });
}

void HomeProcess::openControlCenter() {
  impl_->action([&] { impl_->controlCenter.open(); });
}

void HomeProcess::notify(const std::string& app, const std::optional<std::string>& sound) {
  impl_->action([&] {
    HostObjects& o = objects();
    HostRecord& r = record();
    Strong soundName = sound ? newString(*sound) : Strong();
    Strong soundObject;
    if (Class cls = objc_getClass("NCNotificationSound"))
      soundObject = Strong::adopt(
          send<id>(send<id>(as_id(cls), "alloc"), "initWithNotificationSound:", soundName.get()));
    Strong request = newRequest(app, soundObject.get());

    if (Class cls = objc_getClass("NCNotificationOptions")) {
      Strong options = Strong::adopt(send<id>(send<id>(as_id(cls), "alloc"), "init"));
      if (send<BOOL>(options.get(), "canTurnOnDisplay")) {
        ++r.displayWakes;
        trace::emit("wake", {{"app", app}});
      }
      unsigned long long realerts = send<unsigned long long>(options.get(), "realertCount");
      r.realerts.add(realerts);
    }

    Strong shortLook;
    if (Class cls = objc_getClass("NCNotificationShortLookViewController")) {
      shortLook = Strong::adopt(send<id>(
          send<id>(as_id(cls), "alloc"),
          "_initWithNotificationRequest:revealingAdditionalContentOnPresentation:", request.get(),
          static_cast<BOOL>(NO)));
      id preview = send<id>(shortLook.get(), "viewForPreview");
      bool shown = preview != nullptr && !platform::UIView::isHidden(preview);
      (shown ? r.bannersShown : r.bannersHidden) += 1;
      trace::emit("banner", {{"app", app}, {"shown", shown}});
    }

    if (o.screen == HomeScreen::iOS16)
      send<void>(o.soundController.get(),
                 "playSoundForNotificationRequest:presentingDestination:", request.get(),
                 newString("banner").get());
    else
      send<void>(o.soundController.get(), "playSoundForNotificationRequest:", request.get());
    if (shortLook) {
      // The banner goes after its display time; its controller (and every
      // registration it made) with it.
      const uint64_t banner = o.nextBanner++;
      o.banners.emplace(banner, shortLook);
      mainRunLoop().schedule(mainRunLoop().now() + kBannerDisplaySeconds, [banner, app] {
        trace::emit("banner-gone", {{"app", app}});
        objects().banners.erase(banner);
      });
    }
  });
}

namespace {

// The host puts an overlay on the app switcher's page: an app is in front.
void setOverlay() {
  id page = objects().pageView.get();
  if (objects().screen == HomeScreen::iOS16)
    send<void>(page, "setOverlay:", static_cast<id>(nullptr));
  else
    send<void>(page, "setOverlay:animated:", static_cast<id>(nullptr), static_cast<BOOL>(YES));
}

} // namespace

void HomeProcess::openApp(const std::string& app) {
  impl_->action([&] {
    setFrontmostApplication(applicationFor(app));
    setOverlay();
  });
}

void HomeProcess::suspendApp(const std::string& app) {
  impl_->action([&] {
    send<void>(applicationFor(app), "saveSuspendSnapshot:forSceneHandle:", static_cast<id>(nullptr),
               static_cast<id>(nullptr));
    setFrontmostApplication(nullptr);
  });
}

void HomeProcess::overlay() {
  impl_->action([&] { setOverlay(); });
}

// The host keeps no requests in its list (nothing of the library reads
// them): clearing is a host action with no state of its own to change.
void HomeProcess::clearList() {
  impl_->action([] {});
}

void HomeProcess::touch() {
  impl_->action([&] {
    send<void>(objects().homeScreenView.get(), "touchesBegan:withEvent:", static_cast<id>(nullptr),
               static_cast<id>(nullptr));
  });
}

void HomeProcess::tap(unsigned long taps) {
  impl_->action([&] {
    id view = objects().homeScreenView.get();
    if (view == nullptr) return;
    for (unsigned long i = 0; i < taps; ++i)
      send<void>(view, "touchesBegan:withEvent:", static_cast<id>(nullptr),
                 static_cast<id>(nullptr));
    recognizeTaps(view, taps);
  });
}

void HomeProcess::layout() {
  impl_->action([&] {
    if (id view = objects().rootFolderView.get()) layOutDock(view);
  });
}

void HomeProcess::window() {
  impl_->action([&] { send<void>(objects().homeScreenView.get(), "didMoveToWindow"); });
}

void HomeProcess::queryToday(bool answer) {
  impl_->action([&] {
    record().todayAnswer = answer;
    const bool iOS16 = objects().screen == HomeScreen::iOS16;
    send<BOOL>(objects().rootFolderView.get(), iOS16 ? "isOnLeadingCustomPage" : "isOnTodayPage");
  });
}

void HomeProcess::querySearch(bool answer) {
  impl_->action([&] {
    record().searchAnswer = answer;
    // On iOS 16 the root folder's controller tells.
    HostObjects& o = objects();
    send<BOOL>(o.screen == HomeScreen::iOS16 ? o.rootFolderController.get()
                                             : o.rootFolderView.get(),
               "isPullDownSearchVisible");
  });
}

void HomeProcess::post(const std::string& name) {
  impl_->action([&] {
    using namespace platform::NSNotificationCenter;
    postNotificationName_object_userInfo(defaultCenter(), newString(name).get(), nullptr, nullptr);
  });
}

void HomeProcess::wait(double seconds) {
  impl_->wait(seconds);
}

void HomeProcess::runDue() {
  impl_->runDue();
}

double HomeProcess::now() const {
  return impl_->now();
}

nlohmann::json HomeProcess::inspect(const std::string& className) const {
  if (!impl_->booted()) return nullptr;
  Class cls = objc_getClass(className.c_str());
  if (cls == nullptr) return nullptr;
  auto methods = [](Class c) {
    nlohmann::json out = nlohmann::json::object();
    for (const auto& [sel, method] : c->methods)
      out[sel_getName(sel)] = method->types;
    return out;
  };
  nlohmann::json ivars = nlohmann::json::object();
  for (const auto& ivar : cls->ivars)
    if (!ivar->name.starts_with(kStateIvarPrefix)) ivars[ivar->name] = ivar->types;
  Class super = class_getSuperclass(cls);
  return {{"class", className},
          {"superclass", super ? nlohmann::json(class_getName(super)) : nlohmann::json(nullptr)},
          {"methods", methods(cls)},
          {"classMethods", methods(object_getClass(as_id(cls)))},
          {"ivars", ivars}};
}

nlohmann::json HomeProcess::dump(Detail detail) const {
  const Impl& p = *impl_;
  nlohmann::json d = nlohmann::json::object();
  d["time"] = now();
  {
    const double wall = p.booted() ? wallClock() : p.wallClock;
    d["clock"] = {{"local", localTimeText(wall, p.timeZone)}, {"zone", p.timeZone}};
  }

  if (!p.booted()) return d;

  withPool([&] {
    HostObjects& o = objects();
    HostRecord& r = record();
    id list = o.listController ? platform::UIViewController::view(o.listController.get()) : nullptr;
    d["list"] = alphaOf(list);
    d["icons"] = alphaOf(o.rootFolderView.get());

    const bool whole = detail == Detail::Whole;
    if (whole) {
      nlohmann::json home = nlohmann::json::array();
      if (o.homeScreenView)
        for (id recognizer : gestureRecognizersOf(o.homeScreenView.get()))
          home.push_back(platform::UITapGestureRecognizer::numberOfTapsRequired(recognizer));
      d["home"] = {{"recognizers", o.homeScreenView ? home : nlohmann::json(nullptr)}};
      d["recognizers"] = {{"alive", liveInstances(objc_getClass("UITapGestureRecognizer"))}};
      d["timers"] = {{"live", liveTimers()}};
    }

    d["module"] = p.controlCenter.dump();
    d["ringer"] = {{"muted", o.ringer ? nlohmann::json(r.ringerMuted) : nlohmann::json(nullptr)}};
    if (whole) d["hud"] = r.hud.dump();
    d["display"] = {{"wakes", r.displayWakes}};
    if (whole) {
      d["sounds"] = r.sounds.dump();
      d["feedback"] = feedbackLog();
    }
    d["banners"] = {{"shown", r.bannersShown}, {"hidden", r.bannersHidden}};
    if (whole)
      d["realerts"] = r.realerts.dump();
    else
      d["realerts"] = {
          {"count", r.realerts.total()},
          {"last", r.realerts.last() != nullptr ? *r.realerts.last() : nlohmann::json(nullptr)}};
    if (whole) d["snapshots"] = r.snapshots.dump();
    d["writes"] = {{"failed", hostsim::failedWrites()}};
    if (!whole) return;
    d["hostCalls"] = r.hostCalls;
    d["redraws"] = r.redraws;
  });
  return d;
}

} // namespace hostsim::home
