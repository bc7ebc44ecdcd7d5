// NSObject and the Foundation value classes of the stand-in, with the
// device's conversions (boolValue, integerValue, intValue) and key-value
// coding as far as the logic uses it.
#include "host/sim/services/foundation_values.h"

#include "host/files/plist_files.h"
#include "platform/corefoundation.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

namespace hostsim {
namespace {

using Kind = NumberState::Kind;

std::map<std::string, id, std::less<>>& constantStrings() {
  static auto* table = new std::map<std::string, id, std::less<>>();
  return *table;
}

// --- NSObject -------------------------------------------------------------

id NSObject_alloc(id self, SEL) {
  return class_createInstance(reinterpret_cast<Class>(self), 0);
}
id NSObject_new(id self, SEL) {
  return send<id>(send<id>(self, "alloc"), "init");
}
id NSObject_init(id self, SEL) {
  return self;
}
id NSObject_retain(id self, SEL) {
  return objc_retain(self);
}
void NSObject_release(id self, SEL) {
  objc_release(self);
}
id NSObject_autorelease(id self, SEL) {
  return objc_autorelease(self);
}
void NSObject_dealloc(id self, SEL) {
  object_dispose(self);
}
Class NSObject_class(id self, SEL) {
  return object_getClass(self);
}
Class NSObject_classOfClass(id self, SEL) {
  return reinterpret_cast<Class>(self);
}
BOOL NSObject_respondsToSelector(id self, SEL, SEL selector) {
  return class_respondsToSelector(object_getClass(self), selector);
}
BOOL NSObject_isKindOfClass(id self, SEL, Class cls) {
  return isKindOf(self, cls);
}
BOOL NSObject_isEqual(id self, SEL, id other) {
  return self == other;
}

char resultCode(const char* types) {
  while (*types == 'r' || *types == 'n' || *types == 'N' || *types == 'o' || *types == 'O' ||
         *types == 'R' || *types == 'V')
    ++types;
  return *types;
}

id boxed(char code, id self, SEL getter) {
  using platform::msgSend;
  switch (code) {
  case '@':
  case '#':
    return msgSend<id>(self, getter);
  case 'B':
    return autoreleased(newBool(msgSend<bool>(self, getter)));
  case 'c':
    return autoreleased(newInteger(msgSend<signed char>(self, getter)));
  case 'C':
    return autoreleased(newInteger(msgSend<unsigned char>(self, getter)));
  case 's':
    return autoreleased(newInteger(msgSend<short>(self, getter)));
  case 'S':
    return autoreleased(newInteger(msgSend<unsigned short>(self, getter)));
  case 'i':
    return autoreleased(newInteger(msgSend<int>(self, getter)));
  case 'I':
    return autoreleased(newInteger(msgSend<unsigned int>(self, getter)));
  case 'q':
  case 'l':
    return autoreleased(newInteger(msgSend<long>(self, getter)));
  case 'Q':
  case 'L':
    return autoreleased(newInteger(static_cast<int64_t>(msgSend<unsigned long>(self, getter))));
  case 'f':
    return autoreleased(newReal(msgSend<float>(self, getter)));
  case 'd':
    return autoreleased(newReal(msgSend<double>(self, getter)));
  default:
    return nullptr;
  }
}

id boxedIvar(id self, Ivar ivar) {
  const char* p = reinterpret_cast<const char*>(self) + ivar->offset;
  auto read = [p](auto v) {
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  switch (resultCode(ivar->types.c_str())) {
  case '@':
    return read(id{});
  case 'B':
    return autoreleased(newBool(read(bool{})));
  case 'c':
    return autoreleased(newInteger(read(static_cast<signed char>(0))));
  case 'C':
    return autoreleased(newInteger(read(static_cast<unsigned char>(0))));
  case 'i':
    return autoreleased(newInteger(read(int{})));
  case 'I':
    return autoreleased(newInteger(read(0u)));
  case 'q':
  case 'l':
    return autoreleased(newInteger(read(long{})));
  case 'Q':
  case 'L':
    return autoreleased(newInteger(static_cast<int64_t>(read(0ul))));
  case 'd':
    return autoreleased(newReal(read(double{})));
  default:
    return nullptr;
  }
}

// Key-value coding's getter search: key, getKey, isKey, then the instance
// variables _key, key. An unknown key stops the process, as on the device.
id NSObject_valueForKey(id self, SEL, id key) {
  std::string k = stringOf(key);
  Class cls = object_getClass(self);
  std::string capitalized = k;
  if (!capitalized.empty())
    capitalized[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(capitalized[0])));
  for (const std::string& name : {k, "get" + capitalized, "is" + capitalized}) {
    SEL getter = sel_registerName(name.c_str());
    if (Method m = class_getInstanceMethod(cls, getter))
      return boxed(resultCode(method_getTypeEncoding(m)), self, getter);
  }
  for (const std::string& name : {"_" + k, k})
    if (Ivar ivar = class_getInstanceVariable(cls, name.c_str())) return boxedIvar(self, ivar);
  std::fprintf(stderr,
               "[<%s %p> valueForUndefinedKey:]: this class is not key value coding-compliant "
               "for the key %s.\n",
               class_getName(cls), static_cast<void*>(self), k.c_str());
  std::abort();
}

// --- NSString -------------------------------------------------------------

id NSString_stringWithUTF8String(id, SEL, const char* text) {
  if (text == nullptr) return nullptr;
  return autoreleased(newString(text));
}
const char* NSString_UTF8String(id self, SEL) {
  return state<StringState>(self).value.c_str();
}
unsigned long NSString_length(id self, SEL) {
  return state<StringState>(self).value.size();
}
BOOL NSString_isEqualToString(id self, SEL, id other) {
  return other != nullptr && isString(other) &&
         state<StringState>(self).value == state<StringState>(other).value;
}
BOOL NSString_isEqual(id self, SEL, id other) {
  return self == other || NSString_isEqualToString(self, nullptr, other);
}
// A nil or non-string argument stops the process, as the device's
// exception would.
id NSString_stringByAppendingString(id self, SEL, id other) {
  if (!isString(other)) {
    std::fprintf(stderr, "-[NSString stringByAppendingString:]: nil argument\n");
    std::abort();
  }
  return autoreleased(newString(state<StringState>(self).value + state<StringState>(other).value));
}

// Leading white space, an optional sign, then digits; saturates like the
// device's scanner.
long long scanInteger(std::string_view s, long long lo, long long hi) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  long long value = 0;
  for (; i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])); ++i) {
    int digit = s[i] - '0';
    if (!negative && value > (hi - digit) / 10) return hi;
    if (negative && -value < (lo + digit) / 10) return lo;
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

BOOL NSString_boolValue(id self, SEL) {
  return stringBoolValue(state<StringState>(self).value) ? YES : NO;
}
long NSString_integerValue(id self, SEL) {
  return static_cast<long>(stringIntegerValue(state<StringState>(self).value));
}
int NSString_intValue(id self, SEL) {
  return static_cast<int>(scanInteger(state<StringState>(self).value, INT_MIN, INT_MAX));
}

// --- NSNumber -------------------------------------------------------------

id NSNumber_numberWithBool(id, SEL, BOOL value) {
  return autoreleased(newBool(value));
}
id NSNumber_numberWithInteger(id, SEL, long value) {
  return autoreleased(newInteger(value));
}
id NSNumber_numberWithInt(id, SEL, int value) {
  return autoreleased(newInteger(value));
}
id NSNumber_numberWithDouble(id, SEL, double value) {
  return autoreleased(newReal(value));
}

int64_t integerOf(const NumberState& n) {
  switch (n.kind) {
  case Kind::Bool:
  case Kind::Integer:
    return n.integer;
  case Kind::Real:
    return realIntegerValue(n.real);
  }
  return 0;
}

BOOL NSNumber_boolValue(id self, SEL) {
  const NumberState& n = state<NumberState>(self);
  return n.kind == Kind::Real ? n.real != 0 : n.integer != 0;
}
long NSNumber_integerValue(id self, SEL) {
  return integerOf(state<NumberState>(self));
}
// The low 32 bits, as the device's intValue of a wider number.
int NSNumber_intValue(id self, SEL) {
  return static_cast<int>(static_cast<uint32_t>(integerOf(state<NumberState>(self))));
}
double NSNumber_doubleValue(id self, SEL) {
  const NumberState& n = state<NumberState>(self);
  return n.kind == Kind::Real ? n.real : static_cast<double>(n.integer);
}
BOOL NSNumber_isEqual(id self, SEL, id other) {
  if (other == nullptr || !isNumber(other)) return NO;
  return NSNumber_doubleValue(self, nullptr) == NSNumber_doubleValue(other, nullptr) &&
         NSNumber_integerValue(self, nullptr) == NSNumber_integerValue(other, nullptr);
}

// --- NSArray --------------------------------------------------------------

unsigned long NSArray_count(id self, SEL) {
  return state<ArrayState>(self).items.size();
}
id NSArray_objectAtIndex(id self, SEL, unsigned long index) {
  auto& items = state<ArrayState>(self).items;
  if (index >= items.size()) {
    std::fprintf(stderr, "-[NSArray objectAtIndex:]: index %lu beyond bounds [0 .. %zu]\n", index,
                 items.size());
    std::abort();
  }
  return items[index].get();
}
BOOL NSArray_containsObject(id self, SEL, id obj) {
  for (const Strong& item : state<ArrayState>(self).items)
    if (send<BOOL>(item.get(), "isEqual:", obj)) return YES;
  return NO;
}
// +[NSArray array] and +[NSMutableArray array]: an empty array of the class
// it is sent to.
id NSArray_array(id self, SEL) {
  return autoreleased(Strong::adopt(class_createInstance(reinterpret_cast<Class>(self), 0)));
}
void NSMutableArray_addObject(id self, SEL, id obj) {
  if (obj == nullptr) {
    std::fprintf(stderr, "-[NSMutableArray addObject:]: object cannot be nil\n");
    std::abort();
  }
  state<ArrayState>(self).items.push_back(Strong(obj));
}

// --- NSDictionary ---------------------------------------------------------

id NSDictionary_dictionary(id self, SEL) {
  bool mutableDictionary = reinterpret_cast<Class>(self) != DictionaryState::cls;
  return autoreleased(newDictionary({}, mutableDictionary));
}
id NSDictionary_objectForKey(id self, SEL, id key) {
  if (key == nullptr || !isString(key)) return nullptr;
  auto& entries = state<DictionaryState>(self).entries;
  auto it = entries.find(stringOf(key));
  return it == entries.end() ? nullptr : it->second.get();
}
unsigned long NSDictionary_count(id self, SEL) {
  return state<DictionaryState>(self).entries.size();
}
id NSDictionary_allKeys(id self, SEL) {
  std::vector<Strong> keys;
  for (const auto& entry : state<DictionaryState>(self).entries)
    keys.push_back(newString(entry.first));
  return autoreleased(newArray(std::move(keys)));
}
void NSMutableDictionary_setObjectForKey(id self, SEL, id object, id key) {
  if (object == nullptr || key == nullptr || !isString(key)) {
    std::fprintf(stderr, "-[NSMutableDictionary setObject:forKey:]: %s\n",
                 object == nullptr ? "object cannot be nil" : "key must be a string");
    std::abort();
  }
  state<DictionaryState>(self).entries[stringOf(key)] = Strong(object);
}
void NSMutableDictionary_removeObjectForKey(id self, SEL, id key) {
  if (key != nullptr && isString(key)) state<DictionaryState>(self).entries.erase(stringOf(key));
}

// --- NSError ----------------------------------------------------------------

// +[NSError errorWithDomain:code:userInfo:]: the user info is not kept; a
// POSIX error describes itself with the system's words for its code.
id NSError_errorWithDomainCodeUserInfo(id, SEL, id domain, long code, id) {
  const std::string name = stringOf(domain);
  std::string description = "The operation couldn’t be completed.";
  if (name == "NSPOSIXErrorDomain")
    description += std::string(" ") + std::strerror(static_cast<int>(code));
  return autoreleased(newError(name, code, description));
}
id NSError_domain(id self, SEL) {
  return autoreleased(newString(state<ErrorState>(self).domain));
}
long NSError_code(id self, SEL) {
  return state<ErrorState>(self).code;
}
id NSError_localizedDescription(id self, SEL) {
  return autoreleased(newString(state<ErrorState>(self).description));
}

// --- NSData, NSDate -------------------------------------------------------

unsigned long NSData_length(id self, SEL) {
  return state<DataState>(self).bytes.size();
}
double NSDate_timeIntervalSinceReferenceDate(id self, SEL) {
  return state<DateState>(self).sinceReferenceDate;
}

Strong instance(Class cls) {
  return Strong::adopt(class_createInstance(cls, 0));
}

} // namespace

void registerFoundationClasses() {
  Class object = defineClass("NSObject", nullptr);
  addClassMethod(object, "alloc", NSObject_alloc);
  addClassMethod(object, "new", NSObject_new);
  addClassMethod(object, "class", NSObject_classOfClass);
  addMethod(object, "init", NSObject_init);
  addMethod(object, "retain", NSObject_retain);
  addMethod(object, "release", NSObject_release);
  addMethod(object, "autorelease", NSObject_autorelease);
  addMethod(object, "dealloc", NSObject_dealloc);
  addMethod(object, "class", NSObject_class);
  addMethod(object, "respondsToSelector:", NSObject_respondsToSelector);
  addMethod(object, "isKindOfClass:", NSObject_isKindOfClass);
  addMethod(object, "isEqual:", NSObject_isEqual);
  addMethod(object, "valueForKey:", NSObject_valueForKey);

  Class string = defineClass<StringState>("NSString", object);
  addClassMethod(string, "stringWithUTF8String:", NSString_stringWithUTF8String);
  addMethod(string, "UTF8String", NSString_UTF8String);
  addMethod(string, "length", NSString_length);
  addMethod(string, "isEqualToString:", NSString_isEqualToString);
  addMethod(string, "isEqual:", NSString_isEqual);
  addMethod(string, "stringByAppendingString:", NSString_stringByAppendingString);
  addMethod(string, "boolValue", NSString_boolValue);
  addMethod(string, "integerValue", NSString_integerValue);
  addMethod(string, "intValue", NSString_intValue);

  Class number = defineClass<NumberState>("NSNumber", object);
  addClassMethod(number, "numberWithBool:", NSNumber_numberWithBool);
  addClassMethod(number, "numberWithInteger:", NSNumber_numberWithInteger);
  addClassMethod(number, "numberWithInt:", NSNumber_numberWithInt);
  addClassMethod(number, "numberWithDouble:", NSNumber_numberWithDouble);
  addMethod(number, "boolValue", NSNumber_boolValue);
  addMethod(number, "integerValue", NSNumber_integerValue);
  addMethod(number, "intValue", NSNumber_intValue);
  addMethod(number, "doubleValue", NSNumber_doubleValue);
  addMethod(number, "isEqual:", NSNumber_isEqual);

  Class array = defineClass<ArrayState>("NSArray", object);
  addMethod(array, "count", NSArray_count);
  addMethod(array, "objectAtIndex:", NSArray_objectAtIndex);
  addMethod(array, "containsObject:", NSArray_containsObject);
  addClassMethod(array, "array", NSArray_array);
  Class mutableArray = defineClass("NSMutableArray", array);
  addMethod(mutableArray, "addObject:", NSMutableArray_addObject);

  Class dictionary = defineClass<DictionaryState>("NSDictionary", object);
  addClassMethod(dictionary, "dictionary", NSDictionary_dictionary);
  addMethod(dictionary, "objectForKey:", NSDictionary_objectForKey);
  addMethod(dictionary, "count", NSDictionary_count);
  addMethod(dictionary, "allKeys", NSDictionary_allKeys);
  Class mutableDictionary = defineClass("NSMutableDictionary", dictionary);
  addMethod(mutableDictionary, "setObject:forKey:", NSMutableDictionary_setObjectForKey);
  addMethod(mutableDictionary, "removeObjectForKey:", NSMutableDictionary_removeObjectForKey);

  Class data = defineClass<DataState>("NSData", object);
  addMethod(data, "length", NSData_length);
  Class error = defineClass<ErrorState>("NSError", object);
  addClassMethod(error, "errorWithDomain:code:userInfo:", NSError_errorWithDomainCodeUserInfo);
  addMethod(error, "domain", NSError_domain);
  addMethod(error, "code", NSError_code);
  addMethod(error, "localizedDescription", NSError_localizedDescription);
  Class date = defineClass<DateState>("NSDate", object);
  addMethod(date, "timeIntervalSinceReferenceDate", NSDate_timeIntervalSinceReferenceDate);
}

void resetFoundation() {
  // The constant strings are never released; they go with their process.
  for (auto& [text, string] : constantStrings())
    object_dispose(string);
  constantStrings().clear();
}

Strong newString(std::string_view text) {
  Strong s = instance(StringState::cls);
  state<StringState>(s.get()).value = text;
  return s;
}
Strong newBool(bool value) {
  Strong n = instance(NumberState::cls);
  state<NumberState>(n.get()) = {Kind::Bool, value ? 1 : 0, 0};
  return n;
}
Strong newInteger(int64_t value) {
  Strong n = instance(NumberState::cls);
  state<NumberState>(n.get()) = {Kind::Integer, value, 0};
  return n;
}
Strong newReal(double value) {
  Strong n = instance(NumberState::cls);
  state<NumberState>(n.get()) = {Kind::Real, 0, value};
  return n;
}
Strong newArray(std::vector<Strong> items) {
  Strong a = instance(ArrayState::cls);
  state<ArrayState>(a.get()).items = std::move(items);
  return a;
}
Strong newError(std::string domain, long code, std::string description) {
  Strong e = instance(ErrorState::cls);
  state<ErrorState>(e.get()) = {std::move(domain), code, std::move(description)};
  return e;
}
Strong newDictionary(std::map<std::string, Strong> entries, bool mutableDictionary) {
  Strong d =
      instance(mutableDictionary ? objc_getClass("NSMutableDictionary") : DictionaryState::cls);
  state<DictionaryState>(d.get()).entries = std::move(entries);
  return d;
}
Strong newData(std::vector<uint8_t> bytes) {
  Strong d = instance(DataState::cls);
  state<DataState>(d.get()).bytes = std::move(bytes);
  return d;
}
Strong newDate(double sinceReferenceDate) {
  Strong d = instance(DateState::cls);
  state<DateState>(d.get()).sinceReferenceDate = sinceReferenceDate;
  return d;
}

bool isString(id obj) {
  return obj != nullptr && isKindOf(obj, StringState::cls);
}
bool isNumber(id obj) {
  return obj != nullptr && isKindOf(obj, NumberState::cls);
}
bool isArray(id obj) {
  return obj != nullptr && isKindOf(obj, ArrayState::cls);
}
bool isDictionary(id obj) {
  return obj != nullptr && isKindOf(obj, DictionaryState::cls);
}
bool isData(id obj) {
  return obj != nullptr && isKindOf(obj, DataState::cls);
}
bool isDate(id obj) {
  return obj != nullptr && isKindOf(obj, DateState::cls);
}

std::string stringOf(id obj) {
  return isString(obj) ? state<StringState>(obj).value : std::string();
}

bool stringBoolValue(std::string_view s) {
  size_t i = 0;
  while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
    ++i;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  while (i < s.size() && s[i] == '0')
    ++i;
  if (i == s.size()) return false;
  char c = s[i];
  return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
}

int64_t stringIntegerValue(std::string_view text) {
  return scanInteger(text, LONG_MIN, LONG_MAX);
}

int64_t realIntegerValue(double value) {
  // Out-of-range reals saturate; NaN gives 0.
  if (std::isnan(value)) return 0;
  if (value >= 9.2233720368547758e18) return INT64_MAX;
  if (value <= -9.2233720368547758e18) return INT64_MIN;
  return static_cast<int64_t>(value);
}

nlohmann::json toJson(id obj) {
  if (obj == nullptr) return nullptr;
  if (isString(obj)) return stringOf(obj);
  if (isNumber(obj)) {
    const NumberState& n = state<NumberState>(obj);
    switch (n.kind) {
    case Kind::Bool:
      return n.integer != 0;
    case Kind::Integer:
      return n.integer;
    case Kind::Real:
      return n.real;
    }
  }
  if (isArray(obj)) {
    auto out = nlohmann::json::array();
    for (const Strong& item : state<ArrayState>(obj).items)
      out.push_back(toJson(item.get()));
    return out;
  }
  if (isDictionary(obj)) {
    auto out = nlohmann::json::object();
    for (const auto& [key, value] : state<DictionaryState>(obj).entries)
      out[key] = toJson(value.get());
    return out;
  }
  if (isData(obj)) return {{"data", prefsfile::base64Text(state<DataState>(obj).bytes)}};
  if (isDate(obj))
    return {{"date", prefsfile::iso8601Text(state<DateState>(obj).sinceReferenceDate)}};
  return {{"object", class_getName(object_getClass(obj))}};
}

} // namespace hostsim

extern "C" {

CFStringRef __CFStringMakeConstantString(const char* cStr) {
  auto& table = hostsim::constantStrings();
  auto it = table.find(std::string_view(cStr));
  if (it == table.end()) {
    hostsim::Strong s = hostsim::newString(cStr);
    hostsim::makeImmortal(s.get());
    it = table.emplace(cStr, s.get()).first;
  }
  return reinterpret_cast<CFStringRef>(it->second);
}

void CFRelease(CFTypeRef cf) {
  if (cf == nullptr) {
    std::fprintf(stderr, "CFRelease() called with NULL\n");
    std::abort();
  }
  objc_release(bridge(cf));
}

CFTypeRef CFRetain(CFTypeRef cf) {
  return objc_retain(bridge(cf));
}

} // extern "C"
