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

// What the CFSTR("...") literal compiles to where the compiler has no
// built-in constant strings: an immortal, interned string.
CFStringRef __CFStringMakeConstantString(const char* cStr);
void CFRelease(CFTypeRef cf);
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

#define CFSTR(cStr) __CFStringMakeConstantString("" cStr "")

// An NSString literal: the bridged constant string.
#define NSSTR(cStr) (reinterpret_cast<id>(const_cast<__CFString*>(CFSTR(cStr))))

inline id bridge(CFTypeRef cf) {
  return reinterpret_cast<id>(const_cast<void*>(cf));
}
