// Foundation operations that the logic calls, as thin typed wrappers. Each is
// one message send (or one C function) of the device's own Foundation; the
// wrapper is named after the selector, colons turned into underscores, in a
// namespace named after the receiving class. Objects follow Cocoa's rules:
// alloc/init/new/copy results are owned by the caller, the rest are not.
#pragma once

#include "platform/corefoundation.h"
#include "platform/message.h"

extern "C" {
// The process's home directory ("/var/mobile" for the home-screen process).
id NSHomeDirectory(void);

// The bundle whose executable is the loaded image that holds `address` (a
// variable or function of the caller's own image): dladdr(3) names the
// image's file, the bundle is the folder that holds it. It finds the bundle
// of code whose classes are made at run time, which +[NSBundle
// bundleForClass:] cannot: no image holds such a class. Nil when no loaded
// image holds the address.
id platform_bundleForAddress(const void* address);
}

namespace platform {

namespace NSObject {
inline id alloc(Class cls) {
  return msgSend<id>(cls, sel<"alloc">());
}
inline id init(id obj) {
  return msgSend<id>(obj, sel<"init">());
}
inline id retain(id obj) {
  return objc_retain(obj);
}
inline void release(id obj) {
  objc_release(obj);
}
inline id autorelease(id obj) {
  return objc_autorelease(obj);
}
inline Class class_(id obj) {
  return msgSend<Class>(obj, sel<"class">());
}
inline id valueForKey(id obj, id key) {
  return msgSend<id>(obj, sel<"valueForKey:">(), key);
}
inline BOOL respondsToSelector(id obj, SEL aSelector) {
  return msgSend<BOOL>(obj, sel<"respondsToSelector:">(), aSelector);
}
// Runs aSelector on target once, on the main run loop, after delay seconds.
inline void performSelector_withObject_afterDelay(id target, SEL aSelector, id anArgument,
                                                  double delay) {
  msgSend<void>(target, sel<"performSelector:withObject:afterDelay:">(), aSelector, anArgument,
                delay);
}
} // namespace NSObject

namespace NSString {
inline BOOL isEqualToString(id string, id other) {
  return msgSend<BOOL>(string, sel<"isEqualToString:">(), other);
}
inline const char* UTF8String(id string) {
  return msgSend<const char*>(string, sel<"UTF8String">());
}
inline id stringWithUTF8String(const char* text) {
  return msgSend<id>(cls<"NSString">(), sel<"stringWithUTF8String:">(), text);
}
inline id stringByAppendingString(id string, id other) {
  return msgSend<id>(string, sel<"stringByAppendingString:">(), other);
}
} // namespace NSString

namespace NSNumber {
inline id numberWithBool(BOOL value) {
  return msgSend<id>(cls<"NSNumber">(), sel<"numberWithBool:">(), value);
}
inline BOOL boolValue(id number) {
  return msgSend<BOOL>(number, sel<"boolValue">());
}
inline long integerValue(id number) {
  return msgSend<long>(number, sel<"integerValue">());
}
inline int intValue(id number) {
  return msgSend<int>(number, sel<"intValue">());
}
inline double doubleValue(id number) {
  return msgSend<double>(number, sel<"doubleValue">());
}
inline id numberWithInteger(long value) {
  return msgSend<id>(cls<"NSNumber">(), sel<"numberWithInteger:">(), value);
}
} // namespace NSNumber

namespace NSArray {
inline unsigned long count(id array) {
  return msgSend<unsigned long>(array, sel<"count">());
}
inline id objectAtIndex(id array, unsigned long index) {
  return msgSend<id>(array, sel<"objectAtIndex:">(), index);
}
// Whether an item of the array is equal to `object` (isEqual:).
inline BOOL containsObject(id array, id object) {
  return msgSend<BOOL>(array, sel<"containsObject:">(), object);
}
} // namespace NSArray

namespace NSMutableArray {
// A new empty mutable array (autoreleased).
inline id array() {
  return msgSend<id>(cls<"NSMutableArray">(), sel<"array">());
}
// Adds `object` (retained) at the end; nil is refused with an exception.
inline void addObject(id array, id object) {
  msgSend<void>(array, sel<"addObject:">(), object);
}
} // namespace NSMutableArray

namespace NSDictionary {
inline id objectForKey(id dictionary, id key) {
  return msgSend<id>(dictionary, sel<"objectForKey:">(), key);
}
} // namespace NSDictionary

namespace NSMutableDictionary {
// A new mutable dictionary with the file's top-level dictionary, or nil when
// the file is missing, unreadable, no property list or no dictionary.
inline id dictionaryWithContentsOfFile(id path) {
  return msgSend<id>(cls<"NSMutableDictionary">(), sel<"dictionaryWithContentsOfFile:">(), path);
}
inline id dictionary() {
  return msgSend<id>(cls<"NSMutableDictionary">(), sel<"dictionary">());
}
inline void setObject_forKey(id dictionary, id object, id key) {
  msgSend<void>(dictionary, sel<"setObject:forKey:">(), object, key);
}
inline void removeObjectForKey(id dictionary, id key) {
  msgSend<void>(dictionary, sel<"removeObjectForKey:">(), key);
}
inline BOOL writeToFile_atomically(id dictionary, id path, BOOL atomically) {
  return msgSend<BOOL>(dictionary, sel<"writeToFile:atomically:">(), path, atomically);
}
} // namespace NSMutableDictionary

// A property list as bytes, and bytes written to a file, each with the
// system's reason when it fails.
enum : unsigned long { NSPropertyListXMLFormat_v1_0 = 100 };
enum : unsigned long { NSDataWritingAtomic = 1 };

namespace NSPropertyListSerialization {
// The property list as data in `format` (autoreleased); nil with *error set
// (an autoreleased NSError) when it holds what no property list can.
inline id dataWithPropertyList_format_options_error(id plist, unsigned long format,
                                                    unsigned long options, id* error) {
  return msgSend<id>(cls<"NSPropertyListSerialization">(),
                     sel<"dataWithPropertyList:format:options:error:">(), plist, format, options,
                     error);
}
} // namespace NSPropertyListSerialization

namespace NSData {
// Writes the bytes to `path`; with NSDataWritingAtomic to a temporary file
// beside it, then renamed over it. NO with *error set (an autoreleased
// NSError saying why) when it failed; the old file is then as it was.
inline BOOL writeToFile_options_error(id data, id path, unsigned long options, id* error) {
  return msgSend<BOOL>(data, sel<"writeToFile:options:error:">(), path, options, error);
}
} // namespace NSData

namespace NSError {
// An error of `domain` with `code` (autoreleased). For the system's errno
// values the domain is the platform's NSPOSIXErrorDomain, whose value is the
// string "NSPOSIXErrorDomain".
inline id errorWithDomain_code_userInfo(id domain, long code, id userInfo) {
  return msgSend<id>(cls<"NSError">(), sel<"errorWithDomain:code:userInfo:">(), domain, code,
                     userInfo);
}
// What went wrong, in words for the user.
inline id localizedDescription(id error) {
  return msgSend<id>(error, sel<"localizedDescription">());
}
} // namespace NSError

namespace NSFileManager {
inline id defaultManager() {
  return msgSend<id>(cls("NSFileManager"), sel("defaultManager"));
}
// Whether anything is at `path` (a symbolic link counts as its target).
inline BOOL fileExistsAtPath(id manager, id path) {
  return msgSend<BOOL>(manager, sel("fileExistsAtPath:"), path);
}
} // namespace NSFileManager

namespace NSNotificationCenter {
inline id defaultCenter() {
  return msgSend<id>(cls<"NSNotificationCenter">(), sel<"defaultCenter">());
}
inline void addObserver_selector_name_object(id center, id observer, SEL aSelector, id name,
                                             id object) {
  msgSend<void>(center, sel<"addObserver:selector:name:object:">(), observer, aSelector, name,
                object);
}
inline void postNotificationName_object_userInfo(id center, id name, id object, id userInfo) {
  msgSend<void>(center, sel<"postNotificationName:object:userInfo:">(), name, object, userInfo);
}
inline void removeObserver(id center, id observer) {
  msgSend<void>(center, sel<"removeObserver:">(), observer);
}
} // namespace NSNotificationCenter

namespace NSTimer {
inline id scheduledTimerWithTimeInterval_target_selector_userInfo_repeats(double interval,
                                                                          id target, SEL aSelector,
                                                                          id userInfo,
                                                                          BOOL repeats) {
  return msgSend<id>(cls<"NSTimer">(),
                     sel<"scheduledTimerWithTimeInterval:target:selector:userInfo:repeats:">(),
                     interval, target, aSelector, userInfo, repeats);
}
inline void invalidate(id timer) {
  msgSend<void>(timer, sel<"invalidate">());
}
inline BOOL isValid(id timer) {
  return msgSend<BOOL>(timer, sel<"isValid">());
}
} // namespace NSTimer

namespace NSBundle {
inline id bundleForClass(Class aClass) {
  return msgSend<id>(cls<"NSBundle">(), sel<"bundleForClass:">(), aClass);
}
} // namespace NSBundle

} // namespace platform
