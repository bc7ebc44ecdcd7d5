// Typed message sends: look the method up and call it with the C++ function
// type that the caller states. A nil receiver yields zero, nil or false, as
// on the device. Debug builds check the call against the method's type
// encoding, so a send with the wrong signature fails loudly, not silently.
#pragma once

#include "platform/objc.h"

namespace platform {

// Type-encoding letters of the device's runtime (arm64, LP64).
template <class T> struct Encoding;
template <> struct Encoding<void> { static constexpr char code = 'v'; };
template <> struct Encoding<id> { static constexpr char code = '@'; };
template <> struct Encoding<Class> { static constexpr char code = '#'; };
template <> struct Encoding<SEL> { static constexpr char code = ':'; };
template <> struct Encoding<bool> { static constexpr char code = 'B'; };
template <> struct Encoding<char> { static constexpr char code = 'c'; };
template <> struct Encoding<signed char> { static constexpr char code = 'c'; };
template <> struct Encoding<unsigned char> { static constexpr char code = 'C'; };
template <> struct Encoding<short> { static constexpr char code = 's'; };
template <> struct Encoding<unsigned short> { static constexpr char code = 'S'; };
template <> struct Encoding<int> { static constexpr char code = 'i'; };
template <> struct Encoding<unsigned int> { static constexpr char code = 'I'; };
template <> struct Encoding<long> { static constexpr char code = 'q'; };
template <> struct Encoding<unsigned long> { static constexpr char code = 'Q'; };
template <> struct Encoding<long long> { static constexpr char code = 'q'; };
template <> struct Encoding<unsigned long long> { static constexpr char code = 'Q'; };
template <> struct Encoding<float> { static constexpr char code = 'f'; };
template <> struct Encoding<double> { static constexpr char code = 'd'; };
template <> struct Encoding<const char*> { static constexpr char code = '*'; };
template <> struct Encoding<char*> { static constexpr char code = '*'; };
template <class T> struct Encoding<T*> { static constexpr char code = '^'; };

// "v@:B" for void(id, SEL, BOOL): the encoding without frame offsets.
template <class R, class... A> struct Signature {
  static constexpr char text[] = {Encoding<R>::code, Encoding<A>::code..., '\0'};
};

// True when the method's declared encoding (offsets, qualifiers and quoted
// class names allowed) has exactly the letters of `called`.
inline bool encodingMatches(const char* declared, const char* called) {
  const char* d = declared;
  const char* c = called;
  for (;;) {
    while (*d == 'r' || *d == 'n' || *d == 'N' || *d == 'o' || *d == 'O' || *d == 'R' ||
           *d == 'V' || (*d >= '0' && *d <= '9'))
      ++d;
    if (*d == '\0' || *c == '\0') return *d == *c;
    if (*c == '^') {
      // Any pointer: "^v", "^{CGRect=...}", "^?" all take one C++ pointer.
      if (*d != '^') return false;
      ++d;
      if (*d == '{' || *d == '(') {
        int depth = 0;
        do {
          if (*d == '{' || *d == '(') ++depth;
          if (*d == '}' || *d == ')') --depth;
          ++d;
        } while (depth > 0 && *d != '\0');
      } else if (*d != '\0') {
        ++d;
      }
      ++c;
      continue;
    }
    if (*d != *c) return false;
    ++d;
    ++c;
    if (c[-1] == '@' && *d == '"') {
      ++d;
      while (*d != '\0' && *d != '"')
        ++d;
      if (*d == '"') ++d;
    }
  }
}

template <class R, class... A> inline void checkSend(Class cls, id self, SEL sel) {
#ifndef NDEBUG
  if (cls == nullptr) cls = object_getClass(self);
  Method m = class_getInstanceMethod(cls, sel);
  if (m == nullptr) return; // unanswered: the forwarding path reports it
  const char* declared = method_getTypeEncoding(m);
  const char* called = Signature<R, id, SEL, A...>::text;
  if (declared != nullptr && !encodingMatches(declared, called))
    platform_send_type_mismatch(self, sel, declared, called);
#else
  (void)cls;
  (void)self;
  (void)sel;
#endif
}

template <class T> struct IsVoid { static constexpr bool value = false; };
template <> struct IsVoid<void> { static constexpr bool value = true; };

template <class R> inline R zeroResult() {
  if constexpr (IsVoid<R>::value)
    return;
  else
    return R{};
}

// [self sel args...] with the stated result type.
template <class R, class... A> inline R msgSend(id self, SEL sel, A... args) {
  if (self == nullptr) return zeroResult<R>();
  IMP imp = objc_msgLookup(self, sel);
  checkSend<R, A...>(nullptr, self, sel); // the receiver's class
  return reinterpret_cast<R (*)(id, SEL, A...)>(imp)(self, sel, args...);
}

template <class R, class... A> inline R msgSend(Class self, SEL sel, A... args) {
  return msgSend<R>(as_id(self), sel, args...);
}

// The implementation that `superclass` has for sel, called on self: a call
// to the superclass's implementation, never a dynamic send to self.
template <class R, class... A>
inline R msgSendSuper(Class superclass, id self, SEL sel, A... args) {
  if (self == nullptr || superclass == nullptr) return zeroResult<R>();
  IMP imp = class_getMethodImplementation(superclass, sel);
  checkSend<R, A...>(superclass, self, sel);
  return reinterpret_cast<R (*)(id, SEL, A...)>(imp)(self, sel, args...);
}

// Calls the host implementation held in a hook slot with the same arguments.
template <class R, class... A> inline R callSlot(IMP slot, id self, SEL sel, A... args) {
  if (slot == nullptr) return zeroResult<R>();
  return reinterpret_cast<R (*)(id, SEL, A...)>(slot)(self, sel, args...);
}

// An implementation as the runtime stores it.
template <class R, class... A> inline IMP asIMP(R (*fn)(id, SEL, A...)) {
  return reinterpret_cast<IMP>(fn);
}

inline SEL sel(const char* name) {
  return sel_registerName(name);
}
inline Class cls(const char* name) {
  return objc_getClass(name);
}

} // namespace platform
