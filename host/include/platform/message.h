// Typed message sends: objc_msgSend called as the C++ function type that
// the caller states. A nil receiver yields zero, nil or false, as
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

// The encoding with frame offsets, as the device's compiler writes it for a
// method: "v20@0:8B16" for void(id, SEL, BOOL). The number after the result
// is the arguments' total size; each argument is followed by its offset and
// takes its own size, integers at least an int's.
struct FramedEncoding {
  char text[64] = {};
  size_t length = 0;

  constexpr void put(char c) { text[length++] = c; }
  constexpr void putNumber(size_t n) {
    char digits[20] = {};
    size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + n % 10);
      n /= 10;
    } while (n != 0);
    while (count != 0)
      put(digits[--count]);
  }
};

template <class T> constexpr size_t frameSize() {
  return sizeof(T) < sizeof(int) ? sizeof(int) : sizeof(T);
}

template <class R, class... A> constexpr FramedEncoding framedEncoding() {
  constexpr char codes[] = {Encoding<A>::code...};
  constexpr size_t sizes[] = {frameSize<A>()...};
  size_t total = 0;
  for (size_t size : sizes)
    total += size;
  FramedEncoding encoding;
  encoding.put(Encoding<R>::code);
  encoding.putNumber(total);
  size_t offset = 0;
  for (size_t i = 0; i < sizeof...(A); ++i) {
    encoding.put(codes[i]);
    encoding.putNumber(offset);
    offset += sizes[i];
  }
  return encoding;
}

template <class F> struct MethodEncodings;
template <class R, class... A> struct MethodEncodings<R (*)(id, SEL, A...)> {
  static constexpr const char* bare = Signature<R, id, SEL, A...>::text;
  static constexpr FramedEncoding framed = framedEncoding<R, id, SEL, A...>();
};

// The type string of a method implemented by `Fn`, derived from its C++
// signature: without frame offsets ("v@:@" for void(id, SEL, id)) ...
template <auto Fn> inline constexpr const char* typesOf = MethodEncodings<decltype(Fn)>::bare;
// ... and with them ("v24@0:8@16").
template <auto Fn>
inline constexpr const char* framedTypesOf = MethodEncodings<decltype(Fn)>::framed.text;

// Reads one value of a type encoding such as "v20@0:8B16" or
// "@\"NSString\"16@0:8^{CGRect={CGPoint=dd}}16": qualifiers before it and
// frame offsets around it are skipped, a quoted class name belongs to its
// '@', a pointer to whatever it points at. Sets `letter` to the value's
// type letter ('^' for any pointer, '\0' at the end) and returns what
// follows the value.
inline const char* nextEncodedValue(const char* t, char& letter) {
  while (*t == 'r' || *t == 'n' || *t == 'N' || *t == 'o' || *t == 'O' || *t == 'R' || *t == 'V' ||
         (*t >= '0' && *t <= '9'))
    ++t;
  letter = *t;
  if (*t == '\0') return t;
  if (*t == '^') {
    char pointee;
    return nextEncodedValue(t + 1, pointee);
  }
  if (*t == '{' || *t == '(' || *t == '[') {
    int depth = 0;
    do {
      if (*t == '{' || *t == '(' || *t == '[') ++depth;
      if (*t == '}' || *t == ')' || *t == ']') --depth;
      ++t;
    } while (depth > 0 && *t != '\0');
    return t;
  }
  ++t;
  if (letter == '@' && *t == '"') {
    ++t;
    while (*t != '\0' && *t != '"')
      ++t;
    if (*t == '"') ++t;
  }
  return t;
}

// True when the method's declared encoding has exactly the values of
// `called`, one letter each ('^' for any pointer).
inline bool encodingMatches(const char* declared, const char* called) {
  for (const char* c = called;; ++c) {
    char letter;
    declared = nextEncodedValue(declared, letter);
    if (letter != *c) return false;
    if (*c == '\0') return true;
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
  checkSend<R, A...>(nullptr, self, sel); // the receiver's class
  return reinterpret_cast<R (*)(id, SEL, A...)>(&objc_msgSend)(self, sel, args...);
}

template <class R, class... A> inline R msgSend(Class self, SEL sel, A... args) {
  return msgSend<R>(as_id(self), sel, args...);
}

// The implementation that `superclass` has for sel, called on self: a call
// to the superclass's implementation, never a dynamic send to self.
template <class R, class... A>
inline R msgSendSuper(Class superclass, id self, SEL sel, A... args) {
  if (self == nullptr || superclass == nullptr) return zeroResult<R>();
  checkSend<R, A...>(superclass, self, sel);
  objc_super super = {self, superclass};
  return reinterpret_cast<R (*)(objc_super*, SEL, A...)>(&objc_msgSendSuper)(&super, sel, args...);
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

// A name written in the source, usable as a template argument.
template <size_t N> struct Name {
  char text[N];
  consteval Name(const char (&literal)[N]) {
    for (size_t i = 0; i < N; ++i)
      text[i] = literal[i];
  }
};

// The selector and the class named in the source, looked up once per image:
// both lookups always give the same answer, and neither a selector nor a
// class ever goes away, so the first answer is kept in a zero-initialised
// process-wide cell (no guard, no constructor). A class not found yet is
// looked up again on the next call.
// The name is copied into the function's own constant: the template
// argument object itself would be one symbol shared by every image.
template <Name N> inline SEL sel() {
  static constexpr Name name = N;
  static SEL found;
  if (found == nullptr) found = sel_registerName(name.text);
  return found;
}
template <Name N> inline Class cls() {
  static constexpr Name name = N;
  static Class found;
  if (found == nullptr) found = objc_getClass(name.text);
  return found;
}

} // namespace platform
