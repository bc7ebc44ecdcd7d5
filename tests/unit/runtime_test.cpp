// The object runtime: classes, selectors, lookup and its cache, hooking,
// instance variables, reference counting and weak references.
#include "host/sim/runtime/runtime.h"
#include "tests/unit/platform_fixture.h"

#include "platform/foundation.h"

#include <algorithm>

using hostsim::addClassMethod;
using hostsim::addMethod;
using hostsim::defineClass;
using hostsim::send;
using hostsim::Strong;
using hostsim::Weak;
using platform::msgSend;
using platform::sel;

namespace {

int answerBase(id, SEL) {
  return 1;
}
int answerDerived(id, SEL) {
  return 2;
}
int answerHook(id, SEL) {
  return 3;
}
int answerHook2(id, SEL) {
  return 4;
}
int classAnswer(id, SEL) {
  return 7;
}
double half(id, SEL, double x) {
  return x / 2;
}

IMP gSlot = nullptr;
IMP gSlot2 = nullptr;
int callThrough(id self, SEL s) {
  return 10 + platform::callSlot<int>(gSlot, self, s);
}
int callThrough2(id self, SEL s) {
  return 100 + platform::callSlot<int>(gSlot2, self, s);
}

class RuntimeTest : public PlatformTest {
protected:
  void SetUp() override {
    PlatformTest::SetUp();
    base_ = defineClass("Base", objc_getClass("NSObject"));
    derived_ = defineClass("Derived", base_);
    addMethod(base_, "answer", answerBase);
    gSlot = gSlot2 = nullptr;
  }
  Strong make(Class c) { return Strong::adopt(send<id>(send<id>(as_id(c), "alloc"), "init")); }
  Class base_ = nullptr;
  Class derived_ = nullptr;
};

TEST_F(RuntimeTest, ClassesAreFoundByNameOnceRegistered) {
  EXPECT_EQ(objc_getClass("Base"), base_);
  EXPECT_EQ(class_getSuperclass(derived_), base_);
  EXPECT_STREQ(class_getName(derived_), "Derived");
  EXPECT_EQ(objc_getClass("NoSuchClass"), nullptr);
  EXPECT_EQ(objc_getClass(nullptr), nullptr);

  Class pending = objc_allocateClassPair(base_, "Pending", 0);
  ASSERT_NE(pending, nullptr);
  EXPECT_EQ(objc_getClass("Pending"), nullptr) << "not visible before registration";
  EXPECT_EQ(objc_allocateClassPair(base_, "Pending", 0), nullptr) << "names are unique";
  objc_registerClassPair(pending);
  EXPECT_EQ(objc_getClass("Pending"), pending);
}

// A new process finds the classes it defines where the last one had them,
// so a class that a long-lived image looked up once stays valid; one that
// the new process does not define is not found by name.
TEST_F(RuntimeTest, ClassesKeepTheirAddressFromOneProcessToTheNext) {
  Class center = objc_getClass("NSNotificationCenter");
  EXPECT_NE(platform::NSNotificationCenter::defaultCenter(), nullptr);
  objc_autoreleasePoolPop(pool_);
  hostsim::shutdownPlatform();
  hostsim::bootPlatform({root_});
  pool_ = objc_autoreleasePoolPush();

  EXPECT_EQ(objc_getClass("NSNotificationCenter"), center);
  id secondCenter = platform::NSNotificationCenter::defaultCenter();
  EXPECT_NE(secondCenter, nullptr);
  EXPECT_EQ(object_getClass(secondCenter), center);
  EXPECT_EQ(objc_getClass("Base"), nullptr) << "defined by the first process only";
  EXPECT_FALSE(class_respondsToSelector(base_, sel("answer")));
  EXPECT_EQ(defineClass("Base", objc_getClass("NSObject")), base_);
}

TEST_F(RuntimeTest, SelectorsAreInterned) {
  std::string name = "some:selector:";
  EXPECT_EQ(sel_registerName(name.c_str()), sel_registerName("some:selector:"));
  EXPECT_NE(sel_registerName("some:selector:"), sel_registerName("some:Selector:"));
  EXPECT_STREQ(sel_getName(sel_registerName("some:selector:")), "some:selector:");
}

TEST_F(RuntimeTest, LookupWalksTheChainAndTheCacheFollowsChanges) {
  Strong d = make(derived_);
  EXPECT_EQ(msgSend<int>(d.get(), sel("answer")), 1);
  // Already cached through the superclass; an override must win at once.
  EXPECT_TRUE(class_addMethod(derived_, sel("answer"), platform::asIMP(answerDerived), "i@:"));
  EXPECT_EQ(msgSend<int>(d.get(), sel("answer")), 2);
  // A class refuses a second method of a name it has itself.
  EXPECT_FALSE(class_addMethod(derived_, sel("answer"), platform::asIMP(answerHook), "i@:"));
  EXPECT_EQ(msgSend<int>(d.get(), sel("answer")), 2);
  Strong b = make(base_);
  EXPECT_EQ(msgSend<int>(b.get(), sel("answer")), 1);
}

TEST_F(RuntimeTest, ManyMethodsStayReachableThroughTheCache) {
  std::vector<SEL> sels;
  for (int i = 0; i < 200; ++i) {
    std::string n = "m" + std::to_string(i);
    sels.push_back(sel_registerName(n.c_str()));
    class_addMethod(base_, sels.back(), platform::asIMP(i % 2 ? answerBase : answerDerived), "i@:");
  }
  Strong d = make(derived_);
  for (int round = 0; round < 2; ++round)
    for (int i = 0; i < 200; ++i)
      EXPECT_EQ(msgSend<int>(d.get(), sels[i]), i % 2 ? 1 : 2);
}

TEST_F(RuntimeTest, ClassMethodsLiveOnTheMetaclass) {
  addClassMethod(base_, "classAnswer", classAnswer);
  EXPECT_EQ(msgSend<int>(base_, sel("classAnswer")), 7);
  EXPECT_EQ(msgSend<int>(derived_, sel("classAnswer")), 7) << "inherited by subclasses";
  EXPECT_FALSE(class_respondsToSelector(base_, sel("classAnswer")));
  EXPECT_TRUE(class_respondsToSelector(object_getClass(as_id(base_)), sel("classAnswer")));
}

TEST_F(RuntimeTest, HookReplacesAndKeepsTheHostImplementation) {
  Strong b = make(base_);
  EXPECT_EQ(msgSend<int>(b.get(), sel("answer")), 1); // cached before the hook
  MSHookMessageEx(base_, sel("answer"), platform::asIMP(callThrough), &gSlot);
  EXPECT_EQ(gSlot, platform::asIMP(answerBase));
  EXPECT_EQ(msgSend<int>(b.get(), sel("answer")), 11);

  // Hooking twice chains: the second slot holds the first replacement.
  MSHookMessageEx(base_, sel("answer"), platform::asIMP(callThrough2), &gSlot2);
  EXPECT_EQ(gSlot2, platform::asIMP(callThrough));
  EXPECT_EQ(msgSend<int>(b.get(), sel("answer")), 111);
}

TEST_F(RuntimeTest, HookOfAnInheritedMethodStaysOnTheClass) {
  MSHookMessageEx(derived_, sel("answer"), platform::asIMP(callThrough), &gSlot);
  EXPECT_EQ(gSlot, platform::asIMP(answerBase));
  Strong d = make(derived_);
  Strong b = make(base_);
  EXPECT_EQ(msgSend<int>(d.get(), sel("answer")), 11);
  EXPECT_EQ(msgSend<int>(b.get(), sel("answer")), 1) << "the superclass keeps its method";
  Method m = class_getInstanceMethod(derived_, sel("answer"));
  EXPECT_STREQ(method_getTypeEncoding(m), "i@:") << "the inherited encoding is kept";
}

TEST_F(RuntimeTest, HookOfNothingDoesNothing) {
  IMP slot = platform::asIMP(answerHook2);
  MSHookMessageEx(nullptr, sel("answer"), platform::asIMP(answerHook), &slot);
  MSHookMessageEx(base_, sel("unanswered"), platform::asIMP(answerHook), &slot);
  EXPECT_EQ(slot, platform::asIMP(answerHook2));
  EXPECT_FALSE(class_respondsToSelector(base_, sel("unanswered")));
  EXPECT_FALSE(class_addMethod(nullptr, sel("answer"), platform::asIMP(answerHook), "i@:"));
}

TEST_F(RuntimeTest, HookOfAClassMethodThroughTheMetaclass) {
  addClassMethod(base_, "classAnswer", classAnswer);
  MSHookMessageEx(object_getClass(as_id(base_)), sel("classAnswer"), platform::asIMP(callThrough),
                  &gSlot);
  EXPECT_EQ(msgSend<int>(base_, sel("classAnswer")), 17);
  Strong b = make(base_);
  EXPECT_FALSE(class_respondsToSelector(base_, sel("classAnswer"))) << "no instance method";
}

TEST_F(RuntimeTest, NilReceiverYieldsZero) {
  id none = nullptr;
  EXPECT_EQ(msgSend<int>(none, sel("answer")), 0);
  EXPECT_EQ(msgSend<id>(none, sel("anything")), nullptr);
  EXPECT_FALSE(msgSend<BOOL>(none, sel("isHidden")));
  EXPECT_EQ(msgSend<double>(none, sel("alpha")), 0.0);
  msgSend<void>(none, sel("invalidate"));
  EXPECT_EQ(object_getClass(nullptr), nullptr);
}

TEST_F(RuntimeTest, UnansweredMessageStopsWithTheClassAndSelector) {
  Strong b = make(base_);
  EXPECT_DEATH(msgSend<void>(b.get(), sel("fly:")), "-\\[Base fly:\\]: unrecognized selector");
  EXPECT_DEATH(msgSend<void>(base_, sel("fly")), "\\+\\[Base fly\\]: unrecognized selector");
}

TEST_F(RuntimeTest, SendWithTheWrongSignatureStops) {
  addMethod(base_, "half:", half);
  Strong b = make(base_);
  EXPECT_EQ(msgSend<double>(b.get(), sel("half:"), 3.0), 1.5);
#ifndef NDEBUG
  EXPECT_DEATH(msgSend<int>(b.get(), sel("half:"), 3), "sent with the C\\+\\+ signature \"i@:i\"");
#endif
}

TEST(Encoding, DeclaredEncodingsWithOffsetsMatch) {
  EXPECT_TRUE(platform::encodingMatches("v20@0:8B16", "v@:B"));
  EXPECT_TRUE(platform::encodingMatches("@16@0:8", "@@:"));
  EXPECT_TRUE(platform::encodingMatches("@\"NSString\"16@0:8", "@@:"));
  EXPECT_TRUE(platform::encodingMatches("r*16@0:8", "*@:"));
  EXPECT_TRUE(platform::encodingMatches("v32@0:8^{CGRect={CGPoint=dd}}16d24", "v@:^d"));
  EXPECT_FALSE(platform::encodingMatches("v20@0:8B16", "v@:i"));
  EXPECT_FALSE(platform::encodingMatches("v@:", "v@:@"));
  EXPECT_FALSE(platform::encodingMatches("v@:@", "v@:"));
}

TEST(Encoding, DerivedFromTheCSignature) {
  EXPECT_STREQ(platform::framedTypesOf<&answerBase>, "i16@0:8");
  EXPECT_STREQ(platform::framedTypesOf<&half>, "d24@0:8d16");
  EXPECT_STREQ((platform::framedTypesOf<static_cast<void (*)(id, SEL, BOOL, short, id)>(nullptr)>),
               "v32@0:8B16s20@24")
      << "integers take at least an int's room";
  EXPECT_STREQ(platform::typesOf<&half>, "d@:d");
}

// The extra bytes of a class pair belong to the class object and its
// metaclass; its instances are no larger.
TEST_F(RuntimeTest, ExtraBytesOfAClassPairSizeTheClassObject) {
  Class plain = defineClass("Plain", base_);
  Class roomy = objc_allocateClassPair(base_, "Roomy", 24);
  objc_registerClassPair(roomy);
  auto indexedOffset = [](id obj) {
    return static_cast<char*>(object_getIndexedIvars(obj)) - reinterpret_cast<char*>(obj);
  };
  Strong a = make(plain);
  Strong b = make(roomy);
  EXPECT_EQ(indexedOffset(b.get()), indexedOffset(a.get()));

  for (id object : {as_id(roomy), as_id(object_getClass(as_id(roomy)))}) {
    auto* bytes = static_cast<unsigned char*>(object_getIndexedIvars(object));
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(std::count(bytes, bytes + 24, 0), 24) << "zero when allocated";
    std::fill(bytes, bytes + 24, 0xab);
  }
  EXPECT_STREQ(class_getName(roomy), "Roomy");
  EXPECT_EQ(objc_getClass("Roomy"), roomy);
  EXPECT_EQ(msgSend<Class>(as_id(roomy), sel("class")), roomy);
}

struct Box {
  inline static Class cls = nullptr;
  int value = 42;
};

TEST_F(RuntimeTest, InstanceVariablesByNameAndOffset) {
  Class cls = objc_allocateClassPair(base_, "WithIvars", 0);
  EXPECT_TRUE(class_addIvar(cls, "_flag", 1, 0, "B"));
  EXPECT_TRUE(class_addIvar(cls, "_count", 8, 3, "q"));
  EXPECT_FALSE(class_addIvar(cls, "_flag", 1, 0, "B")) << "names are unique";
  objc_registerClassPair(cls);
  EXPECT_FALSE(class_addIvar(cls, "_late", 1, 0, "B")) << "not after registration";

  Ivar flag = class_getInstanceVariable(cls, "_flag");
  Ivar count = class_getInstanceVariable(cls, "_count");
  ASSERT_NE(flag, nullptr);
  ASSERT_NE(count, nullptr);
  EXPECT_EQ(ivar_getOffset(flag), 8);
  EXPECT_EQ(ivar_getOffset(count), 16) << "aligned to 8";
  EXPECT_EQ(class_getInstanceVariable(cls, "_missing"), nullptr);

  Strong obj = make(cls);
  auto* bytes = reinterpret_cast<char*>(obj.get());
  EXPECT_EQ(bytes[ivar_getOffset(flag)], 0) << "zero when created";
  bytes[ivar_getOffset(flag)] = 1;
  EXPECT_EQ(bytes[ivar_getOffset(flag)], 1);

  Class sub = defineClass<Box>("BoxedWithIvars", cls);
  Strong boxed = make(sub);
  EXPECT_EQ(hostsim::state<Box>(boxed.get()).value, 42);
  EXPECT_GE(sub->payloadOffset, 24) << "after the superclass's ivars";
}

TEST_F(RuntimeTest, ObjectsAreFreedAtTheLastReleaseAndWeakReferencesClear) {
  Weak weak;
  {
    Strong obj = make(base_);
    weak = Weak(obj.get());
    EXPECT_EQ(hostsim::retainCount(obj.get()), 1u);
    Strong second = obj;
    EXPECT_EQ(hostsim::retainCount(obj.get()), 2u);
    EXPECT_EQ(weak.lock().get(), obj.get());
    EXPECT_EQ(hostsim::liveInstances(base_), 1u);
  }
  EXPECT_FALSE(weak.lock());
  EXPECT_EQ(hostsim::liveInstances(base_), 0u);
}

TEST_F(RuntimeTest, AutoreleasedObjectsLiveUntilTheirPoolEnds) {
  Weak weak;
  void* pool = objc_autoreleasePoolPush();
  {
    id obj = send<id>(send<id>(as_id(base_), "alloc"), "init");
    weak = Weak(obj);
    objc_autorelease(obj);
  }
  EXPECT_TRUE(weak.lock());
  objc_autoreleasePoolPop(pool);
  EXPECT_FALSE(weak.lock());
}

TEST_F(RuntimeTest, APoolEndsWithItsScopeAlsoWhenItEndsByAnException) {
  Weak weak;
  try {
    hostsim::withPool([&] {
      id obj = send<id>(send<id>(as_id(base_), "alloc"), "init");
      weak = Weak(obj);
      objc_autorelease(obj);
      throw std::runtime_error("the body failed");
    });
  } catch (const std::runtime_error&) {
  }
  EXPECT_FALSE(weak.lock());
}

TEST_F(RuntimeTest, ClassObjectsAreNeverFreed) {
  EXPECT_EQ(objc_retain(as_id(base_)), as_id(base_));
  objc_release(as_id(base_));
  objc_release(as_id(base_));
  EXPECT_EQ(hostsim::retainCount(as_id(base_)), 0u);
  EXPECT_EQ(msgSend<Class>(as_id(base_), sel("class")), base_);
}

TEST_F(RuntimeTest, ArgumentCountFromTheTypeEncoding) {
  addMethod(base_, "half:", half);
  EXPECT_EQ(method_getNumberOfArguments(class_getInstanceMethod(base_, sel("half:"))), 3u);
  EXPECT_EQ(method_getNumberOfArguments(class_getInstanceMethod(base_, sel("answer"))), 2u);
  class_addMethod(base_, sel("odd:with:"), platform::asIMP(answerBase),
                  "v40@0:8^{CGRect={CGPoint=dd}}16@\"NSString\"24");
  EXPECT_EQ(method_getNumberOfArguments(class_getInstanceMethod(base_, sel("odd:with:"))), 4u);
}

} // namespace

namespace {
struct Outer {
  inline static Class cls = nullptr;
  int outer = 1;
};
struct Inner {
  inline static Class cls = nullptr;
  long inner = 2;
};

TEST_F(RuntimeTest, EachClassAlongAChainKeepsItsOwnState) {
  Class outer = defineClass<Outer>("OuterState", base_);
  Class inner = defineClass<Inner>("InnerState", outer);
  EXPECT_GT(inner->payloadOffset, outer->payloadOffset);
  Strong obj = make(inner);
  hostsim::state<Outer>(obj.get()).outer = 10;
  hostsim::state<Inner>(obj.get()).inner = 20;
  EXPECT_EQ(hostsim::state<Outer>(obj.get()).outer, 10);
  EXPECT_EQ(hostsim::state<Inner>(obj.get()).inner, 20);
}
} // namespace

namespace {
struct Holder {
  inline static Class cls = nullptr;
  Strong held;
  std::string text = std::string(100, 'x'); // heap memory the reclaim must free
};

// The process ends with objects still alive that hold one another: all go
// at once, none twice (the sanitizer run checks the memory).
TEST_F(RuntimeTest, LeftoverObjectsGoWithTheProcess) {
  Class holder = defineClass<Holder>("Holder", base_);
  id a = hostsim::send<id>(hostsim::send<id>(as_id(holder), "alloc"), "init");
  id b = hostsim::send<id>(hostsim::send<id>(as_id(holder), "alloc"), "init");
  hostsim::state<Holder>(a).held = Strong(b);
  hostsim::state<Holder>(b).held = Strong(a); // a cycle: never freed by counting
  EXPECT_EQ(hostsim::liveInstances(holder), 2u);
  objc_autoreleasePoolPop(pool_);
  hostsim::shutdownPlatform(true);
  // A new process, for the fixture to end.
  hostsim::bootPlatform({root_});
  pool_ = objc_autoreleasePoolPush();
  EXPECT_EQ(objc_getClass("Holder"), nullptr);
}
} // namespace
