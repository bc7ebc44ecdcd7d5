// CoreFoundation as the logic uses it: preferences and the cross-process
// (Darwin) notify center. CF objects are toll-free bridged with their
// Foundation counterparts: a CFStringRef is an NSString `id`, and so on.
#pragma once

#include "platform/objc.h"

typedef const void* CFTypeRef;
typedef const struct __CFString* CFStringRef;
typedef const struct __CFArray* CFArrayRef;
typedef const struct __CFDictionary* CFDictionaryRef;
typedef struct __CFNotificationCenter* CFNotificationCenterRef;
typedef CFStringRef CFNotificationName;
typedef unsigned char Boolean;
typedef long CFIndex;

typedef enum : CFIndex {
  CFNotificationSuspensionBehaviorDrop = 1,
  CFNotificationSuspensionBehaviorCoalesce = 2,
  CFNotificationSuspensionBehaviorHold = 3,
  CFNotificationSuspensionBehaviorDeliverImmediately = 4
} CFNotificationSuspensionBehavior;

typedef void (*CFNotificationCallback)(CFNotificationCenterRef center, void* observer,
                                       CFNotificationName name, const void* object,
                                       CFDictionaryRef userInfo);

extern "C" {

// An immortal, interned string: what CFSTR("...") calls where the
// compiler does not lay constant strings out itself.
CFStringRef __CFStringMakeConstantString(const char* cStr);
void CFRelease(CFTypeRef cf);

// The version of the running system's CoreFoundation (CFBase.h): which
// release of the system this is (1443.00 is iOS 11.0, 1854.0 iOS 15.0).
extern double kCFCoreFoundationVersionNumber;
CFTypeRef CFRetain(CFTypeRef cf);

extern const CFStringRef kCFPreferencesCurrentUser;
extern const CFStringRef kCFPreferencesAnyHost;

Boolean CFPreferencesAppSynchronize(CFStringRef applicationID);
CFArrayRef CFPreferencesCopyKeyList(CFStringRef applicationID, CFStringRef userName,
                                    CFStringRef hostName);
CFDictionaryRef CFPreferencesCopyMultiple(CFArrayRef keysToFetch, CFStringRef applicationID,
                                          CFStringRef userName, CFStringRef hostName);

CFNotificationCenterRef CFNotificationCenterGetDarwinNotifyCenter(void);
void CFNotificationCenterAddObserver(CFNotificationCenterRef center, const void* observer,
                                     CFNotificationCallback callBack, CFStringRef name,
                                     const void* object,
                                     CFNotificationSuspensionBehavior suspensionBehavior);
void CFNotificationCenterPostNotification(CFNotificationCenterRef center, CFNotificationName name,
                                          const void* object, CFDictionaryRef userInfo,
                                          Boolean deliverImmediately);
}

// Mach-O compilers lay the string out at build time, bound to
// __CFConstantStringClassReference; elsewhere it is made on first use.
#if defined(__APPLE__) && __has_builtin(__builtin___CFStringMakeConstantString)
#define CFSTR(cStr)                                                                                \
  reinterpret_cast<CFStringRef>(__builtin___CFStringMakeConstantString("" cStr ""))
#else
#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")
#endif

// An NSString literal: the bridged constant string.
#define NSSTR(cStr) (reinterpret_cast<id>(const_cast<__CFString*>(CFSTR(cStr))))

inline id bridge(CFTypeRef cf) {
  return reinterpret_cast<id>(const_cast<void*>(cf));
}
