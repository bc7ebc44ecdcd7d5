// The stand-in's Foundation value classes (NSObject, NSString, NSNumber,
// NSArray, NSMutableArray, NSDictionary, NSMutableDictionary, NSData,
// NSDate, NSError) and the C++ side of them that the rest of the stand-in
// uses.
#pragma once

#include "host/sim/runtime/runtime.h"

#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace hostsim {

struct StringState {
  inline static Class cls = nullptr;
  std::string value;
};

struct NumberState {
  inline static Class cls = nullptr;
  enum class Kind { Bool, Integer, Real } kind = Kind::Integer;
  int64_t integer = 0;
  double real = 0;
};

struct ArrayState {
  inline static Class cls = nullptr;
  std::vector<Strong> items;
};

// Keys are strings, as in every property list; the map keeps them sorted.
struct DictionaryState {
  inline static Class cls = nullptr;
  std::map<std::string, Strong> entries;
};

struct DataState {
  inline static Class cls = nullptr;
  std::vector<uint8_t> bytes;
};

struct ErrorState {
  inline static Class cls = nullptr;
  std::string domain;
  long code = 0;
  std::string description; // what localizedDescription answers
};

struct DateState {
  inline static Class cls = nullptr;
  double sinceReferenceDate = 0; // seconds since 2001-01-01 00:00:00 UTC
};

// Registers the value classes and NSObject, the root of every class.
void registerFoundationClasses();
// Forgets the interned constant strings (their classes are about to go).
void resetFoundation();

// New objects, owned by the returned reference.
Strong newString(std::string_view text);
Strong newBool(bool value);
Strong newInteger(int64_t value);
Strong newReal(double value);
Strong newArray(std::vector<Strong> items);
Strong newDictionary(std::map<std::string, Strong> entries, bool mutableDictionary);
Strong newData(std::vector<uint8_t> bytes);
Strong newDate(double sinceReferenceDate);
// An NSError of `domain` and `code` whose localizedDescription is
// `description`.
Strong newError(std::string domain, long code, std::string description);

bool isString(id obj);
bool isNumber(id obj);
bool isArray(id obj);
bool isDictionary(id obj);
bool isData(id obj);
bool isDate(id obj);

// The text of an NSString, "" for anything else.
std::string stringOf(id obj);

// The value as JSON: booleans, integers, reals, strings, arrays,
// dictionaries; data as {"data":BASE64}, dates as {"date":ISO8601}; nil as
// null; any other object as {"object":CLASS}.
nlohmann::json toJson(id obj);

// The conversions that -boolValue and -integerValue make, for a value held
// without its object (the preference editor tells what a setting comes to):
// a string is YES on "Y", "y", "T", "t" or a digit 1-9 after white space, a
// sign and leading zeros; its integer is the leading decimal number,
// saturating; a real's integer is truncated, saturating, 0 for NaN.
bool stringBoolValue(std::string_view text);
int64_t stringIntegerValue(std::string_view text);
int64_t realIntegerValue(double value);

} // namespace hostsim
