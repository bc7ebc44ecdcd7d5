// The stand-in's object runtime: the structures behind the contract's opaque
// types, and the C++ conveniences that the stand-in's own classes are built
// with. Logic code never includes this header.
#pragma once

#include "platform/message.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

extern "C" {
// The lookup halves of objc_msgSend and objc_msgSendSuper: the
// implementation that the send runs, hostsim_nilIMP for a nil receiver.
IMP hostsim_msgLookup(id self, SEL sel);
IMP hostsim_msgLookupSuper(const objc_super* super, SEL sel);
// Returns zero in every result register: a message to nil.
void hostsim_nilIMP(void);
}

struct objc_object {
  Class isa;
};

struct objc_selector {
  std::string name;
};

struct objc_method {
  SEL name;
  IMP imp;
  std::string types;
};

struct objc_ivar {
  std::string name;
  std::string types;
  ptrdiff_t offset;
  size_t size;
};

struct objc_class : objc_object {
  struct CacheEntry {
    SEL sel;
    IMP imp;
  };

  // Method cache: open addressing on the selector's address. Every change
  // to any method table empties every cache (they are rare: installation
  // time), so a lookup needs no validity check. First after isa: objc_msgSend
  // probes it in assembly (message_send.cpp).
  const CacheEntry* cacheEntries = emptyCache;
  size_t cacheMask = 0;

  Class superclass = nullptr;
  std::string name;
  bool isMeta = false;
  bool registered = false;
  // The class object's own extra bytes (objc_allocateClassPair's
  // extraBytes), reached through object_getIndexedIvars of the class.
  std::vector<std::byte> indexedIvars;
  std::unordered_map<SEL, std::unique_ptr<objc_method>> methods;
  std::vector<std::unique_ptr<objc_ivar>> ivars;
  size_t instanceSize = 0;
  // Storage for a stand-in class's C++ state, built at alloc and destroyed
  // at dealloc (the runtime's ".cxx_construct/.cxx_destruct").
  ptrdiff_t payloadOffset = -1;
  void (*construct)(void*) = nullptr;
  void (*destruct)(void*) = nullptr;
  size_t cacheUsed = 0;
  std::vector<CacheEntry> cache;

  static constexpr CacheEntry emptyCache[1] = {{nullptr, nullptr}};
};

extern "C" {
// Weak references and instances, as the device's runtime exports them.
id objc_initWeak(id* location, id obj);
id objc_storeWeak(id* location, id obj);
id objc_loadWeakRetained(id* location);
void objc_destroyWeak(id* location);
// Arguments of the method, self and _cmd included ("v@:@" has 3).
unsigned int method_getNumberOfArguments(Method m);
void object_dispose(id obj);
}

namespace hostsim {

// Number of references that keep obj alive (0 for class objects and
// immortal constants, which are never freed).
uint32_t retainCount(id obj);

// Marks obj as never freed (interned constants).
void makeImmortal(id obj);

// Objects of a class (and its subclasses) not yet freed.
size_t liveInstances(Class cls);

// Whether obj's class is cls or inherits from it.
bool isKindOf(id obj, Class cls);

// The process ends: every object still alive is freed at once, whatever
// holds it (references stop counting first, so nothing is freed twice).
// Its C++ state is destroyed; no dealloc runs.
void reclaimObjects();

// The runtime of a new process: every class is retired (no longer found by
// name, its methods and state gone) and the weak table forgotten. Classes
// and selectors keep their addresses, as the device's shared cache gives a
// class one address in every process: a pointer that a long-lived image
// looked up once stays a valid pointer, and a new class of the same name
// reuses it. Objects still alive are leaked on purpose, never touched.
void resetRuntime();

// Adds a method whose type encoding is derived from the C++ signature.
template <class R, class... A>
void addMethod(Class cls, const char* selector, R (*fn)(id, SEL, A...)) {
  class_addMethod(cls, sel_registerName(selector), platform::asIMP(fn),
                  platform::Signature<R, id, SEL, A...>::text);
}
template <class R, class... A>
void addClassMethod(Class cls, const char* selector, R (*fn)(id, SEL, A...)) {
  addMethod(object_getClass(as_id(cls)), selector, fn);
}

// The instance variable that holds a stand-in class's C++ state is named
// this prefix followed by the class name.
inline constexpr const char* kStateIvarPrefix = "_sim.";

// Defines and registers a class (superclass may be null for a root class).
Class defineClass(const char* name, Class superclass);

// Defines a class whose instances carry a C++ object T.
template <class T> Class defineClass(const char* name, Class superclass) {
  Class cls = objc_allocateClassPair(superclass, name, 0);
  // One such variable per class along a chain: each name is its own.
  std::string ivarName = std::string(kStateIvarPrefix) + name;
  class_addIvar(cls, ivarName.c_str(), sizeof(T), static_cast<uint8_t>(__builtin_ctz(alignof(T))),
                "?");
  cls->payloadOffset = ivar_getOffset(class_getInstanceVariable(cls, ivarName.c_str()));
  cls->construct = [](void* p) { new (p) T(); };
  cls->destruct = [](void* p) { static_cast<T*>(p)->~T(); };
  objc_registerClassPair(cls);
  T::cls = cls;
  return cls;
}

// The C++ object of an instance of T::cls (or of a subclass).
template <class T> T& state(id obj) {
  return *reinterpret_cast<T*>(reinterpret_cast<char*>(obj) + T::cls->payloadOffset);
}

// A strong reference: retains what it holds, releases it when replaced.
class Strong {
public:
  Strong() = default;
  explicit Strong(id obj) : obj_(objc_retain(obj)) {}
  // Takes over a reference the caller owns (alloc/init, new, copy).
  static Strong adopt(id obj) {
    Strong s;
    s.obj_ = obj;
    return s;
  }
  Strong(const Strong& o) : obj_(objc_retain(o.obj_)) {}
  Strong(Strong&& o) noexcept : obj_(o.obj_) { o.obj_ = nullptr; }
  Strong& operator=(Strong o) noexcept {
    std::swap(obj_, o.obj_);
    return *this;
  }
  ~Strong() { objc_release(obj_); }
  id get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }

private:
  id obj_ = nullptr;
};

// A weak reference: nil once the object is freed.
class Weak {
public:
  Weak() = default;
  explicit Weak(id obj) { objc_initWeak(&loc_, obj); }
  Weak(const Weak& o) {
    Strong s = o.lock();
    objc_initWeak(&loc_, s.get());
  }
  Weak& operator=(const Weak& o) {
    Strong s = o.lock();
    objc_storeWeak(&loc_, s.get());
    return *this;
  }
  ~Weak() { objc_destroyWeak(&loc_); }
  Strong lock() const { return Strong::adopt(objc_loadWeakRetained(const_cast<id*>(&loc_))); }

private:
  id loc_ = nullptr;
};

// An autorelease pool for a scope: pushed when made, popped when the scope
// ends, also when it ends by an exception.
class AutoreleasePool {
public:
  AutoreleasePool() : token_(objc_autoreleasePoolPush()) {}
  ~AutoreleasePool() { objc_autoreleasePoolPop(token_); }
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;

private:
  void* token_;
};

// Hands out an object the way a convenience constructor does: alive until
// the current autorelease pool ends.
inline id autoreleased(const Strong& s) {
  objc_retain(s.get());
  return objc_autorelease(s.get());
}

// Sends `selector` to target with `argument` when its method takes one
// argument, without it when it takes none: how timers, delayed performs,
// notifications and gesture recognizers reach their targets.
void sendAction(id target, SEL selector, id argument);

// Sends with a selector name, for the stand-in's own convenience.
template <class R, class... A> R send(id self, const char* selector, A... args) {
  return platform::msgSend<R>(self, sel_registerName(selector), args...);
}

} // namespace hostsim
