// NSNotificationCenter of the stand-in. Each addObserver call adds one
// registration, duplicates included; a post reaches, in registration order,
// the registrations present when it starts, once each, and only those whose
// observer is still alive at the moment of its delivery. Registrations are
// kept by name, so that a post costs what its own registrations cost,
// however many the others are (an object that registers on every call of a
// host method holds as many as there were calls).
#include "host/sim/services/notification_center.h"

#include "host/sim/services/foundation_values.h"
#include "host/sim/services/trace.h"

#include <algorithm>
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
  uint64_t order = 0; // registrations are delivered in the order they were made
};

using Registrations = std::vector<std::shared_ptr<Registration>>;

struct CenterState {
  std::map<std::string, Registrations, std::less<>> byName;
  Registrations anyName; // registered with a nil name
  uint64_t made = 0;     // registrations made so far
  size_t kept = 0;       // registrations held, gone ones included
  size_t pruneAt = 64;   // when every list is looked through next
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

// Drops the registrations of `list` whose observer is gone or that were
// removed.
void prune(Registrations& list) {
  center()->kept -= std::erase_if(list, [](const std::shared_ptr<Registration>& r) {
    return r->removed || !r->observer.lock();
  });
}

// Every list looked through, once the registrations held have doubled
// since the last time: those of names never posted again do not pile up.
void pruneWhenGrown() {
  CenterState& c = *center();
  if (c.kept < c.pruneAt) return;
  prune(c.anyName);
  for (auto it = c.byName.begin(); it != c.byName.end();) {
    prune(it->second);
    it = it->second.empty() ? c.byName.erase(it) : std::next(it);
  }
  c.pruneAt = std::max<size_t>(64, 2 * c.kept);
}

// Calls `visit` with each registration that may receive a post of `name`,
// in the order they were made.
template <class Visit> void forEachFor(std::string_view name, Visit visit) {
  CenterState& c = *center();
  static const Registrations none;
  auto it = c.byName.find(name);
  const Registrations& named = it != c.byName.end() ? it->second : none;
  auto a = named.begin();
  auto b = c.anyName.begin();
  while (a != named.end() || b != c.anyName.end()) {
    if (b == c.anyName.end() || (a != named.end() && (*a)->order < (*b)->order))
      visit(*a++);
    else
      visit(*b++);
  }
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
  CenterState& c = *center();
  r->order = c.made++;
  (r->anyName ? c.anyName : c.byName[r->name]).push_back(std::move(r));
  ++c.kept;
  pruneWhenGrown();
}

void NSNotificationCenter_removeObserver(id, SEL, id observer) {
  CenterState& c = *center();
  auto remove = [&](Registrations& list) {
    for (auto& r : list)
      if (r->observer.lock().get() == observer) r->removed = true;
    prune(list);
  };
  remove(c.anyName);
  for (auto it = c.byName.begin(); it != c.byName.end();) {
    remove(it->second);
    it = it->second.empty() ? c.byName.erase(it) : std::next(it);
  }
}

void NSNotificationCenter_post(id, SEL, id name, id object, id userInfo) {
  std::string text = stringOf(name);
  ++center()->posts[text];
  if (trace::enabled()) trace::emit("post", {{"name", text}});
  // The registrations present now; one added by a handler waits for the
  // next post, one removed or freed by a handler is skipped.
  Registrations present;
  forEachFor(text, [&](const std::shared_ptr<Registration>& r) {
    if (r->object == nullptr || r->object == object) present.push_back(r);
  });
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
  // The lists this post went through (a handler may have added to them).
  CenterState& c = *center();
  prune(c.anyName);
  if (auto it = c.byName.find(text); it != c.byName.end()) {
    prune(it->second);
    if (it->second.empty()) c.byName.erase(it);
  }
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
  forEachFor(name, [&](const std::shared_ptr<Registration>& r) {
    if (!r->removed && r->observer.lock()) ++n;
  });
  return n;
}

size_t postCount(std::string_view name) {
  auto it = center()->posts.find(name);
  return it == center()->posts.end() ? 0 : it->second;
}

} // namespace hostsim
