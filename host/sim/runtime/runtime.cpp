// The stand-in's object runtime: classes and metaclasses by name, interned
// selectors, method tables with a cache, instance variables, reference
// counting with weak references, autorelease pools, and CydiaSubstrate's
// MSHookMessageEx. Single-threaded: everything runs on the main thread, as
// the hooked code does on the device.
#include "host/sim/runtime/runtime.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace {

// Lives before every instance: the reference count and lifecycle bits.
struct alignas(16) ObjectHeader {
  uint32_t refs;
  bool deallocating;
  bool immortal;
  bool weaklyReferenced;
};

ObjectHeader* header(id obj) {
  return reinterpret_cast<ObjectHeader*>(reinterpret_cast<char*>(obj) - sizeof(ObjectHeader));
}

// A class and its metaclass, under a name that never changes: the table's
// key views it, so a lookup by name allocates nothing.
struct ClassPair {
  explicit ClassPair(const char* n) : name(n) {}
  const std::string name;
  objc_class cls;
  objc_class meta;
  bool retired = false; // defined by a process that has ended
};

struct World {
  std::unordered_map<std::string_view, std::unique_ptr<ClassPair>> classes;
  std::unordered_map<id, std::vector<id*>> weakTable;
  std::unordered_map<Class, size_t> live;
  std::unordered_set<id> liveObjects;
  bool processEnding = false; // references no longer count: all goes at once
  std::vector<id> pool;
};

World* world() {
  static World* w = new World();
  return w;
}

std::unordered_map<std::string_view, std::unique_ptr<objc_selector>>& selectors() {
  static auto* table = new std::unordered_map<std::string_view, std::unique_ptr<objc_selector>>();
  return *table;
}

bool isClassObject(id obj) {
  return obj->isa != nullptr && obj->isa->isMeta;
}

objc_method* findOwn(Class cls, SEL sel) {
  auto it = cls->methods.find(sel);
  return it == cls->methods.end() ? nullptr : it->second.get();
}

objc_method* findInChain(Class cls, SEL sel) {
  for (Class c = cls; c != nullptr; c = c->superclass)
    if (objc_method* m = findOwn(c, sel)) return m;
  return nullptr;
}

// Where a message that no class answers ends, like the device's
// "unrecognized selector" exception: a clear message, then the process stops.
[[noreturn]] void forwardUnanswered(id self, SEL sel) {
  Class cls = object_getClass(self);
  bool isClass = cls != nullptr && cls->isMeta;
  std::fprintf(
      stderr, "%c[%s %s]: unrecognized selector sent to %s %p\n", isClass ? '+' : '-',
      isClass ? reinterpret_cast<Class>(self)->name.c_str() : (cls ? cls->name.c_str() : "nil"),
      sel ? sel->name.c_str() : "(null)", isClass ? "class" : "instance", static_cast<void*>(self));
  std::fflush(stderr);
  std::abort();
}

// The forwarding implementation stands in for every unanswered selector.
// It is entered with the caller's argument list, of which only the receiver
// and the selector (the first two, in the same registers) are read.
extern "C" void sim_msgForward(id self, SEL sel) {
  forwardUnanswered(self, sel);
}

IMP forwardingIMP() {
  return reinterpret_cast<IMP>(&sim_msgForward);
}

void emptyCache(Class cls) {
  cls->cache.clear();
  cls->cacheEntries = objc_class::emptyCache;
  cls->cacheMask = 0;
  cls->cacheUsed = 0;
}

// A method table changed: every cache forgets what it knew.
void flushCaches() {
  for (auto& [name, pair] : world()->classes) {
    emptyCache(&pair->cls);
    emptyCache(&pair->meta);
  }
}

size_t slotOf(SEL sel, size_t mask) {
  return (reinterpret_cast<uintptr_t>(sel) >> 4) & mask;
}

// The cache miss: find the method, remember it (growing the table at three
// quarters full), and answer it.
[[gnu::noinline]] IMP fillCache(Class cls, SEL sel) {
  objc_method* m = findInChain(cls, sel);
  IMP imp = m ? m->imp : forwardingIMP();
  if (cls->cache.empty() || (cls->cacheUsed + 1) * 4 > cls->cache.size() * 3) {
    std::vector<objc_class::CacheEntry> old(std::max<size_t>(16, cls->cache.size() * 2),
                                            {nullptr, nullptr});
    old.swap(cls->cache);
    cls->cacheMask = cls->cache.size() - 1;
    cls->cacheEntries = cls->cache.data();
    for (const auto& e : old) {
      if (e.sel == nullptr) continue;
      size_t j = slotOf(e.sel, cls->cacheMask);
      while (cls->cache[j].sel != nullptr)
        j = (j + 1) & cls->cacheMask;
      cls->cache[j] = e;
    }
  }
  size_t i = slotOf(sel, cls->cacheMask);
  while (cls->cache[i].sel != nullptr)
    i = (i + 1) & cls->cacheMask;
  cls->cache[i] = {sel, imp};
  ++cls->cacheUsed;
  return imp;
}

inline IMP cachedLookup(Class cls, SEL sel) {
  const objc_class::CacheEntry* entries = cls->cacheEntries;
  for (size_t i = slotOf(sel, cls->cacheMask);; i = (i + 1) & cls->cacheMask) {
    if (entries[i].sel == sel) return entries[i].imp;
    if (entries[i].sel == nullptr) return fillCache(cls, sel);
  }
}

// Extra bytes of an instance start after its instance variables, aligned.
size_t indexedOffset(Class cls) {
  return (cls->instanceSize + 15) & ~size_t{15};
}

void clearWeakReferences(id obj) {
  if (!header(obj)->weaklyReferenced) return; // the common case: no lookup
  World* w = world();
  auto it = w->weakTable.find(obj);
  if (it == w->weakTable.end()) return;
  for (id* loc : it->second)
    *loc = nullptr;
  w->weakTable.erase(it);
}

void unregisterWeak(id* location) {
  id old = *location;
  if (old == nullptr) return;
  World* w = world();
  auto it = w->weakTable.find(old);
  if (it == w->weakTable.end()) return;
  auto& locs = it->second;
  locs.erase(std::remove(locs.begin(), locs.end(), location), locs.end());
  if (locs.empty()) w->weakTable.erase(it);
}

} // namespace

extern "C" {

Class objc_getClass(const char* name) {
  if (name == nullptr) return nullptr;
  auto& classes = world()->classes;
  auto it = classes.find(name);
  if (it == classes.end() || !it->second->cls.registered) return nullptr;
  return &it->second->cls;
}

Class object_getClass(id obj) {
  return obj == nullptr ? nullptr : obj->isa;
}

SEL sel_registerName(const char* name) {
  if (name == nullptr) return nullptr;
  auto& table = selectors();
  auto it = table.find(name);
  if (it != table.end()) return it->second.get();
  auto sel = std::make_unique<objc_selector>(objc_selector{name});
  SEL result = sel.get();
  table.emplace(std::string_view(sel->name), std::move(sel));
  return result;
}

const char* sel_getName(SEL sel) {
  return sel == nullptr ? "<null selector>" : sel->name.c_str();
}

BOOL class_addMethod(Class cls, SEL name, IMP imp, const char* types) {
  if (cls == nullptr || name == nullptr || imp == nullptr) return NO;
  if (findOwn(cls, name) != nullptr) return NO;
  cls->methods.emplace(name,
                       std::make_unique<objc_method>(objc_method{name, imp, types ? types : ""}));
  flushCaches();
  return YES;
}

Class class_getSuperclass(Class cls) {
  return cls == nullptr ? nullptr : cls->superclass;
}

IMP class_getMethodImplementation(Class cls, SEL name) {
  if (cls == nullptr || name == nullptr) return nullptr;
  return cachedLookup(cls, name);
}

IMP hostsim_msgLookup(id self, SEL sel) {
  if (self == nullptr || sel == nullptr) return hostsim_nilIMP;
  return cachedLookup(self->isa, sel);
}

IMP hostsim_msgLookupSuper(const objc_super* super, SEL sel) {
  if (super == nullptr || super->receiver == nullptr || super->super_class == nullptr ||
      sel == nullptr)
    return hostsim_nilIMP;
  return cachedLookup(super->super_class, sel);
}

Method class_getInstanceMethod(Class cls, SEL name) {
  if (cls == nullptr || name == nullptr) return nullptr;
  return findInChain(cls, name);
}

const char* method_getTypeEncoding(Method m) {
  return m == nullptr ? nullptr : m->types.c_str();
}

const char* class_getName(Class cls) {
  return cls == nullptr ? "nil" : cls->name.c_str();
}

BOOL class_respondsToSelector(Class cls, SEL sel) {
  return cls != nullptr && sel != nullptr && findInChain(cls, sel) != nullptr;
}

Class objc_allocateClassPair(Class superclass, const char* name, size_t extraBytes) {
  if (name == nullptr) return nullptr;
  auto& classes = world()->classes;
  auto it = classes.find(name);
  if (it != classes.end() && !it->second->retired) return nullptr;
  if (it == classes.end()) {
    auto pair = std::make_unique<ClassPair>(name);
    it = classes.emplace(std::string_view(pair->name), std::move(pair)).first;
  }
  ClassPair& pair = *it->second;
  pair.retired = false;
  Class cls = &pair.cls;
  Class meta = &pair.meta;
  *cls = objc_class{};
  *meta = objc_class{};
  cls->name = name;
  meta->name = name;
  meta->isMeta = true;
  cls->isa = meta;
  cls->superclass = superclass;
  if (superclass != nullptr) {
    meta->superclass = superclass->isa;
    Class root = superclass;
    while (root->superclass != nullptr)
      root = root->superclass;
    meta->isa = root->isa;
  } else {
    meta->superclass = cls; // the root metaclass inherits from the root class
    meta->isa = meta;
  }
  // Instances start where the superclass's end; the extra bytes belong to
  // the class object and the metaclass object themselves.
  cls->instanceSize = superclass ? superclass->instanceSize : sizeof(objc_object);
  cls->indexedIvars.assign(extraBytes, std::byte{0});
  meta->indexedIvars.assign(extraBytes, std::byte{0});
  return cls;
}

BOOL class_addIvar(Class cls, const char* name, size_t size, uint8_t alignment, const char* types) {
  if (cls == nullptr || name == nullptr || cls->registered || cls->isMeta) return NO;
  if (class_getInstanceVariable(cls, name) != nullptr) return NO;
  size_t align = size_t{1} << alignment;
  size_t offset = (cls->instanceSize + align - 1) & ~(align - 1);
  cls->ivars.push_back(std::make_unique<objc_ivar>(
      objc_ivar{name, types ? types : "", static_cast<ptrdiff_t>(offset), size}));
  cls->instanceSize = offset + size;
  return YES;
}

void objc_registerClassPair(Class cls) {
  if (cls == nullptr || cls->isMeta) return;
  cls->registered = true;
  cls->isa->registered = true;
  flushCaches();
}

Ivar class_getInstanceVariable(Class cls, const char* name) {
  if (cls == nullptr || name == nullptr) return nullptr;
  for (Class c = cls; c != nullptr; c = c->superclass)
    for (const auto& v : c->ivars)
      if (v->name == name) return v.get();
  return nullptr;
}

ptrdiff_t ivar_getOffset(Ivar v) {
  return v == nullptr ? 0 : v->offset;
}

void MSHookMessageEx(Class cls, SEL sel, IMP imp, IMP* result) {
  if (cls == nullptr || sel == nullptr || imp == nullptr) return;
  if (objc_method* own = findOwn(cls, sel)) {
    if (result != nullptr) *result = own->imp;
    own->imp = imp;
  } else if (objc_method* inherited = findInChain(cls->superclass, sel)) {
    // Hooked on the class itself, so the superclass keeps its own method.
    if (result != nullptr) *result = inherited->imp;
    cls->methods.emplace(sel,
                         std::make_unique<objc_method>(objc_method{sel, imp, inherited->types}));
  } else {
    return; // the class cannot answer sel: nothing to replace
  }
  flushCaches();
}

id class_createInstance(Class cls, size_t extraBytes) {
  if (cls == nullptr) return nullptr;
  size_t size = sizeof(ObjectHeader) + indexedOffset(cls) + extraBytes;
  void* memory = std::calloc(1, size);
  if (memory == nullptr) {
    std::fprintf(stderr, "class_createInstance: out of memory for %s\n", cls->name.c_str());
    std::abort();
  }
  auto* h = static_cast<ObjectHeader*>(memory);
  h->refs = 1;
  id obj = reinterpret_cast<id>(static_cast<char*>(memory) + sizeof(ObjectHeader));
  obj->isa = cls;
  // C++ state of each class, from the root down.
  std::vector<Class> chain;
  for (Class c = cls; c != nullptr; c = c->superclass)
    chain.push_back(c);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it)
    if ((*it)->construct != nullptr)
      (*it)->construct(reinterpret_cast<char*>(obj) + (*it)->payloadOffset);
  ++world()->live[cls];
  world()->liveObjects.insert(obj);
  return obj;
}

void* object_getIndexedIvars(id obj) {
  if (obj == nullptr) return nullptr;
  if (isClassObject(obj)) return reinterpret_cast<Class>(obj)->indexedIvars.data();
  return reinterpret_cast<char*>(obj) + indexedOffset(obj->isa);
}

void object_dispose(id obj) {
  if (obj == nullptr || isClassObject(obj)) return;
  header(obj)->deallocating = true;
  clearWeakReferences(obj);
  for (Class c = obj->isa; c != nullptr; c = c->superclass)
    if (c->destruct != nullptr) c->destruct(reinterpret_cast<char*>(obj) + c->payloadOffset);
  World* w = world();
  auto it = w->live.find(obj->isa);
  if (it != w->live.end() && --it->second == 0) w->live.erase(it);
  w->liveObjects.erase(obj);
  std::free(header(obj));
}

id objc_retain(id obj) {
  if (obj == nullptr || isClassObject(obj) || world()->processEnding) return obj;
  ObjectHeader* h = header(obj);
  if (!h->immortal) ++h->refs;
  return obj;
}

void objc_release(id obj) {
  if (obj == nullptr || isClassObject(obj) || world()->processEnding) return;
  ObjectHeader* h = header(obj);
  if (h->immortal || h->deallocating) return;
  if (h->refs == 0) {
    std::fprintf(stderr, "objc_release: over-release of a %s at %p\n", obj->isa->name.c_str(),
                 static_cast<void*>(obj));
    std::abort();
  }
  if (--h->refs == 0) {
    h->deallocating = true;
    clearWeakReferences(obj);
    hostsim::send<void>(obj, "dealloc");
  }
}

id objc_autorelease(id obj) {
  if (obj == nullptr || isClassObject(obj) || world()->processEnding) return obj;
  world()->pool.push_back(obj);
  return obj;
}

void* objc_autoreleasePoolPush(void) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(world()->pool.size() + 1));
}

void objc_autoreleasePoolPop(void* marker) {
  auto depth = static_cast<size_t>(reinterpret_cast<uintptr_t>(marker)) - 1;
  auto& pool = world()->pool;
  while (pool.size() > depth) {
    id obj = pool.back();
    pool.pop_back();
    objc_release(obj);
  }
}

id objc_initWeak(id* location, id obj) {
  *location = nullptr;
  return objc_storeWeak(location, obj);
}

id objc_storeWeak(id* location, id obj) {
  unregisterWeak(location);
  if (obj != nullptr && !isClassObject(obj) && header(obj)->deallocating) obj = nullptr;
  *location = obj;
  if (obj != nullptr && !isClassObject(obj)) {
    world()->weakTable[obj].push_back(location);
    header(obj)->weaklyReferenced = true;
  }
  return obj;
}

id objc_loadWeakRetained(id* location) {
  id obj = *location;
  if (obj == nullptr) return nullptr;
  if (!isClassObject(obj) && header(obj)->deallocating) return nullptr;
  return objc_retain(obj);
}

void objc_destroyWeak(id* location) {
  unregisterWeak(location);
  *location = nullptr;
}

unsigned int method_getNumberOfArguments(Method m) {
  if (m == nullptr) return 0;
  // Every value after the result is an argument.
  unsigned int values = 0;
  char letter;
  for (const char* t = platform::nextEncodedValue(m->types.c_str(), letter); letter != '\0';
       t = platform::nextEncodedValue(t, letter))
    ++values;
  return values == 0 ? 0 : values - 1;
}

void platform_send_type_mismatch(id receiver, SEL sel, const char* declared, const char* called) {
  Class cls = object_getClass(receiver);
  bool isClass = cls != nullptr && cls->isMeta;
  std::fprintf(stderr,
               "%c[%s %s]: sent with the C++ signature \"%s\", but the method is declared "
               "\"%s\"\n",
               isClass ? '+' : '-', cls ? cls->name.c_str() : "nil", sel_getName(sel), called,
               declared);
  std::fflush(stderr);
  std::abort();
}

} // extern "C"

namespace hostsim {

uint32_t retainCount(id obj) {
  if (obj == nullptr || isClassObject(obj) || header(obj)->immortal) return 0;
  return header(obj)->refs;
}

void makeImmortal(id obj) {
  if (obj != nullptr && !isClassObject(obj)) header(obj)->immortal = true;
}

size_t liveInstances(Class cls) {
  size_t n = 0;
  for (const auto& [c, count] : world()->live) {
    for (Class k = c; k != nullptr; k = k->superclass) {
      if (k == cls) {
        n += count;
        break;
      }
    }
  }
  return n;
}

bool isKindOf(id obj, Class cls) {
  for (Class c = object_getClass(obj); c != nullptr; c = c->superclass)
    if (c == cls) return true;
  return false;
}

void sendAction(id target, SEL selector, id argument) {
  Method m = class_getInstanceMethod(object_getClass(target), selector);
  if (m != nullptr && method_getNumberOfArguments(m) > 2)
    platform::msgSend<void>(target, selector, argument);
  else
    platform::msgSend<void>(target, selector);
}

Class defineClass(const char* name, Class superclass) {
  Class cls = objc_allocateClassPair(superclass, name, 0);
  objc_registerClassPair(cls);
  return cls;
}

void reclaimObjects() {
  World* w = world();
  w->processEnding = true;
  std::vector<id> leftovers(w->liveObjects.begin(), w->liveObjects.end());
  for (id obj : leftovers)
    for (Class c = obj->isa; c != nullptr; c = c->superclass)
      if (c->destruct != nullptr) c->destruct(reinterpret_cast<char*>(obj) + c->payloadOffset);
  for (id obj : leftovers)
    std::free(header(obj));
  w->liveObjects.clear();
  w->live.clear();
  w->weakTable.clear();
  w->pool.clear();
  w->processEnding = false;
}

void resetRuntime() {
  World* old = world();
  for (auto& [name, pair] : old->classes) {
    pair->retired = true;
    pair->cls = objc_class{};
    pair->meta = objc_class{};
    pair->cls.name = pair->meta.name = pair->name;
    pair->cls.isa = &pair->meta;
    pair->meta.isa = &pair->meta;
    pair->meta.isMeta = true;
  }
  old->weakTable.clear();
  old->live.clear();
  old->pool.clear();
}

} // namespace hostsim
