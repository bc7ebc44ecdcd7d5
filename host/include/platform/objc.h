// The object runtime as the logic sees it: the platform's own C names and
// signatures (libobjc and CydiaSubstrate). Freestanding: no library headers.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct objc_object;
struct objc_class;
struct objc_selector;
struct objc_ivar;
struct objc_method;

typedef struct objc_object* id;
typedef struct objc_class* Class;
typedef const struct objc_selector* SEL;
typedef struct objc_ivar* Ivar;
typedef struct objc_method* Method;
// The device's modern runtime declares IMP without a prototype; every caller
// casts it to the method's own function type before calling it.
typedef void (*IMP)(void);

// arm64 devices: BOOL is the C++ bool, type encoding "B".
typedef bool BOOL;
#define YES true
#define NO false
#define nil nullptr
#define Nil nullptr

extern "C" {

Class objc_getClass(const char* name);
Class object_getClass(id obj);
SEL sel_registerName(const char* name);
const char* sel_getName(SEL sel);

BOOL class_addMethod(Class cls, SEL name, IMP imp, const char* types);
Class class_getSuperclass(Class cls);
IMP class_getMethodImplementation(Class cls, SEL name);

// The message sends. Declared without a prototype, as the runtime does:
// each caller casts them to the method's own C function type, so that the
// arguments travel as that type's calling convention says (a BOOL, a double
// and an object each in their own register).
void objc_msgSend(void);
// `super_class` is where the method lookup starts; `receiver` is self.
struct objc_super {
  id receiver;
  Class super_class;
};
void objc_msgSendSuper(void);
Method class_getInstanceMethod(Class cls, SEL name);
const char* method_getTypeEncoding(Method m);
const char* class_getName(Class cls);
BOOL class_respondsToSelector(Class cls, SEL sel);

Class objc_allocateClassPair(Class superclass, const char* name, size_t extraBytes);
BOOL class_addIvar(Class cls, const char* name, size_t size, uint8_t alignment, const char* types);
void objc_registerClassPair(Class cls);
Ivar class_getInstanceVariable(Class cls, const char* name);
// A new instance with `extraBytes` of storage of its own after its instance
// variables, reached through object_getIndexedIvars.
id class_createInstance(Class cls, size_t extraBytes);
void* object_getIndexedIvars(id obj);
ptrdiff_t ivar_getOffset(Ivar v);

// Reference counting, as the device's runtime exports it for ARC.
id objc_retain(id obj);
void objc_release(id obj);
id objc_autorelease(id obj);
void* objc_autoreleasePoolPush(void);
void objc_autoreleasePoolPop(void* pool);

// CydiaSubstrate: replace the method `sel` of `cls`; the implementation that
// was in force (inherited ones included) is stored in *result.
void MSHookMessageEx(Class cls, SEL sel, IMP imp, IMP* result);

// A typed message send whose C++ signature disagrees with the method's type
// encoding (checked in debug builds). Does not return.
[[noreturn]] void platform_send_type_mismatch(id receiver, SEL sel, const char* declared,
                                              const char* called);
}

// A class object is an object too (it receives class methods).
inline id as_id(Class cls) {
  return reinterpret_cast<id>(cls);
}
