// Foundation's value classes: the conversions that settings rely on, and
// key-value coding.
#include "tests/unit/platform_fixture.h"

#include "host/sim/services/foundation_values.h"
#include "platform/foundation.h"

#include <nlohmann/json.hpp>

using namespace platform;
using hostsim::Strong;

namespace {

class FoundationTest : public PlatformTest {};

TEST_F(FoundationTest, NumberConversions) {
  EXPECT_TRUE(NSNumber::boolValue(hostsim::newInteger(2).get()));
  EXPECT_FALSE(NSNumber::boolValue(hostsim::newInteger(0).get()));
  EXPECT_TRUE(NSNumber::boolValue(hostsim::newReal(0.25).get()));
  EXPECT_FALSE(NSNumber::boolValue(hostsim::newBool(false).get()));
  EXPECT_EQ(NSNumber::integerValue(hostsim::newReal(-2.75).get()), -2) << "truncates";
  EXPECT_EQ(NSNumber::integerValue(hostsim::newReal(1e300).get()), INT64_MAX) << "saturates";
  // intValue keeps the low 32 bits of a wider value.
  EXPECT_EQ(NSNumber::intValue(hostsim::newInteger(0x100000003LL).get()), 3);
  EXPECT_EQ(NSNumber::intValue(hostsim::newInteger(0xFFFFFFFFLL).get()), -1);
  EXPECT_EQ(NSNumber::integerValue(NSNumber::numberWithBool(YES)), 1);
}

TEST_F(FoundationTest, StringConversionsFollowTheDevice) {
  auto b = [](const char* s) { return NSNumber::boolValue(hostsim::newString(s).get()); };
  EXPECT_TRUE(b("YES"));
  EXPECT_TRUE(b("true"));
  EXPECT_TRUE(b("  +007"));
  EXPECT_FALSE(b("NO"));
  EXPECT_FALSE(b("0"));
  EXPECT_FALSE(b("000"));
  EXPECT_FALSE(b(""));
  EXPECT_FALSE(b("maybe"));
  auto i = [](const char* s) { return NSNumber::integerValue(hostsim::newString(s).get()); };
  EXPECT_EQ(i(" -12abc"), -12);
  EXPECT_EQ(i("abc"), 0);
  EXPECT_EQ(i("99999999999999999999"), INT64_MAX);
  EXPECT_EQ(i("-99999999999999999999"), INT64_MIN);
  EXPECT_EQ(NSNumber::intValue(hostsim::newString("99999999999").get()), INT32_MAX);
}

TEST_F(FoundationTest, ConstantStringsAreInternedAndImmortal) {
  id a = NSSTR("com.example/name");
  EXPECT_EQ(a, NSSTR("com.example/name"));
  CFRelease(CFSTR("com.example/name"));
  EXPECT_TRUE(NSString::isEqualToString(a, NSString::stringWithUTF8String("com.example/name")));
  EXPECT_FALSE(NSString::isEqualToString(a, nullptr));
  EXPECT_EQ(NSString::stringWithUTF8String(nullptr), nullptr);
}

TEST_F(FoundationTest, DictionaryKeysAndMutation) {
  Strong dict = hostsim::newDictionary({}, true);
  NSMutableDictionary::setObject_forKey(dict.get(), NSNumber::numberWithBool(YES), NSSTR("on"));
  EXPECT_TRUE(NSNumber::boolValue(NSDictionary::objectForKey(dict.get(), NSSTR("on"))));
  EXPECT_EQ(NSDictionary::objectForKey(dict.get(), NSSTR("off")), nullptr);
  EXPECT_EQ(NSDictionary::objectForKey(dict.get(), nullptr), nullptr);
  EXPECT_EQ(hostsim::toJson(dict.get()).dump(), R"({"on":true})");
  EXPECT_DEATH(NSMutableDictionary::setObject_forKey(dict.get(), nullptr, NSSTR("x")),
               "object cannot be nil");
}

TEST_F(FoundationTest, JsonOfEveryValueKind) {
  Strong d = hostsim::newDictionary(
      {{"a", hostsim::newArray({hostsim::newInteger(1), hostsim::newReal(0.5)})},
       {"d", hostsim::newData({'h', 'i'})},
       {"t", hostsim::newDate(0)},
       {"s", hostsim::newString("x")}},
      false);
  EXPECT_EQ(hostsim::toJson(d.get()).dump(),
            R"({"a":[1,0.5],"d":{"data":"aGk="},"s":"x","t":{"date":"2001-01-01T00:00:00Z"}})");
}

int levelGetter(id, SEL) {
  return 3;
}

TEST_F(FoundationTest, ValueForKeyBoxesScalarsAndStopsOnUnknownKeys) {
  Class cls = hostsim::defineClass("KeyValue", objc_getClass("NSObject"));
  hostsim::addMethod(cls, "_level", levelGetter);
  Strong obj = Strong::adopt(hostsim::send<id>(hostsim::send<id>(as_id(cls), "alloc"), "init"));
  EXPECT_EQ(NSNumber::intValue(NSObject::valueForKey(obj.get(), NSSTR("_level"))), 3);
  EXPECT_DEATH(NSObject::valueForKey(obj.get(), NSSTR("missing")),
               "not key value coding-compliant for the key missing");
}

} // namespace
