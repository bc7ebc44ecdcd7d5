// NSNotificationCenter of the stand-in. Each addObserver call adds one
// registration, duplicates included; a post reaches, in registration order,
// the registrations present when it starts, once each, and only those whose
// observer is still alive at the moment of its delivery.
#include "host/sim/services/notification_center.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/trace.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hostsim {
namespace {

struct Registration {
  Weak observer;
  SEL selector = nullptr;
  std::string name;     // the name registered for, unless anyName
  bool anyName = false; // registered with a nil name: every name
  id object = nullptr;  // compared by address, never retained; nil: any sender
  bool removed = false;
};

struct CenterState {
  std::vector<std::shared_ptr<Registration>> registrations;
  std::map<std::string, size_t, std::less<>> posts;
  Strong defaultCenter;
};

CenterState*& center() {
  static CenterState* c = nullptr;
  return c;
}

struct NotificationState {
  inline static Class cls = nullptr;
  Strong name;
  Strong object;
  Strong userInfo;
};

// Drops registrations whose observer is gone or that were removed.
void prune() {
  auto& regs = center()->registrations;
  std::erase_if(regs, [](const std::shared_ptr<Registration>& r) {
    return r->removed || !r->observer.lock();
  });
}

id NSNotificationCenter_defaultCenter(id, SEL) {
  return center()->defaultCenter.get();
}

void NSNotificationCenter_addObserver(id, SEL, id observer, SEL selector, id name, id object) {
  if (observer == nullptr || selector == nullptr) return;
  auto r = std::make_shared<Registration>();
  r->observer = Weak(observer);
  r->selector = selector;
  r->anyName = name == nullptr;
  r->name = stringOf(name);
  r->object = object;
  center()->registrations.push_back(std::move(r));
}

void NSNotificationCenter_removeObserver(id, SEL, id observer) {
  for (auto& r : center()->registrations)
    if (r->observer.lock().get() == observer) r->removed = true;
  prune();
}

void NSNotificationCenter_post(id, SEL, id name, id object, id userInfo) {
  std::string text = stringOf(name);
  ++center()->posts[text];
  if (trace::enabled()) trace::emit("post", {{"name", text}});
  // The registrations present now; one added by a handler waits for the
  // next post, one removed or freed by a handler is skipped.
  std::vector<std::shared_ptr<Registration>> present;
  for (const auto& r : center()->registrations)
    if ((r->anyName || r->name == text) && (r->object == nullptr || r->object == object))
      present.push_back(r);
  Strong notification;
  for (const auto& r : present) {
    if (r->removed) continue;
    Strong observer = r->observer.lock();
    if (!observer) continue;
    if (trace::enabled())
      trace::emit("deliver", {{"name", text},
                              {"to", class_getName(object_getClass(observer.get()))},
                              {"selector", sel_getName(r->selector)}});
    if (!notification) {
      notification = Strong::adopt(class_createInstance(NotificationState::cls, 0));
      auto& n = state<NotificationState>(notification.get());
      n.name = Strong(name);
      n.object = Strong(object);
      n.userInfo = Strong(userInfo);
    }
    sendAction(observer.get(), r->selector, notification.get());
  }
  prune();
}

id NSNotification_name(id self, SEL) {
  return state<NotificationState>(self).name.get();
}
id NSNotification_object(id self, SEL) {
  return state<NotificationState>(self).object.get();
}
id NSNotification_userInfo(id self, SEL) {
  return state<NotificationState>(self).userInfo.get();
}

} // namespace

void registerNotificationCenter() {
  Class object = objc_getClass("NSObject");
  Class notification = defineClass<NotificationState>("NSNotification", object);
  addMethod(notification, "name", NSNotification_name);
  addMethod(notification, "object", NSNotification_object);
  addMethod(notification, "userInfo", NSNotification_userInfo);

  Class cls = defineClass("NSNotificationCenter", object);
  addClassMethod(cls, "defaultCenter", NSNotificationCenter_defaultCenter);
  addMethod(cls, "addObserver:selector:name:object:", NSNotificationCenter_addObserver);
  addMethod(cls, "removeObserver:", NSNotificationCenter_removeObserver);
  addMethod(cls, "postNotificationName:object:userInfo:", NSNotificationCenter_post);
  center() = new CenterState();
  center()->defaultCenter = Strong::adopt(class_createInstance(cls, 0));
}

void resetNotificationCenter() {
  delete center();
  center() = nullptr;
}

size_t liveRegistrations(std::string_view name) {
  size_t n = 0;
  for (const auto& r : center()->registrations)
    if (!r->removed && (r->anyName || r->name == name) && r->observer.lock()) ++n;
  return n;
}

size_t postCount(std::string_view name) {
  auto it = center()->posts.find(name);
  return it == center()->posts.end() ? 0 : it->second;
}

} // namespace hostsim
