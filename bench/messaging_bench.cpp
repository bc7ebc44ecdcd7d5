// The cost of the platform's messaging against plain C++: a cached message
// send against a virtual call, a send through a contract wrapper that names
// its class and selector, and a notification post to 1 and 100 observers. Ratios between these,
// from one run, go to docs/performance.md.
#include "bench/bench_platform.h"
#include "host/sim/runtime/runtime.h"
#include "host/sim/services/foundation_values.h"
#include "platform/foundation.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <vector>

namespace {

struct Answerer {
  virtual ~Answerer() = default;
  virtual int answer(int x) const = 0;
};
// Two implementations chosen at run time, so the compiler cannot turn the
// virtual call into a direct one.
struct Increment : Answerer {
  int answer(int x) const override { return x + 1; }
};
struct Decrement : Answerer {
  int answer(int x) const override { return x - 1; }
};

int answerMethod(id, SEL, int x) {
  return x + 1;
}
void handle(id, SEL) {
  benchmark::ClobberMemory();
}

// The stand-in classes the benchmarks send to, on the booted platform.
struct BenchClasses {
  BenchClasses() {
    bench::BootedPlatform::get();
    cls = hostsim::defineClass("BenchAnswerer", objc_getClass("NSObject"));
    hostsim::addMethod(cls, "answer:", answerMethod);
    hostsim::addMethod(cls, "handle", handle);
  }
  Class cls;
};

BenchClasses& booted() {
  static BenchClasses b;
  return b;
}

hostsim::Strong make(Class cls) {
  return hostsim::Strong::adopt(hostsim::send<id>(hostsim::send<id>(as_id(cls), "alloc"), "init"));
}

void BM_VirtualCall(benchmark::State& state) {
  Increment up;
  Decrement down;
  const Answerer* target = state.range(0) == 0 ? static_cast<const Answerer*>(&up) : &down;
  benchmark::DoNotOptimize(target);
  int x = 0;
  for (auto _ : state) {
    x = target->answer(x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_VirtualCall)->Arg(0);

void BM_CachedSend(benchmark::State& state) {
  hostsim::Strong obj = make(booted().cls);
  id target = obj.get();
  SEL selector = sel_registerName("answer:");
  benchmark::DoNotOptimize(target);
  int x = platform::msgSend<int>(target, selector, 0); // fills the cache
  for (auto _ : state) {
    x = platform::msgSend<int>(target, selector, x);
    benchmark::DoNotOptimize(x);
  }
}
BENCHMARK(BM_CachedSend);

// What the logic really runs: a wrapper that names its receiving class and
// its selector, here the one every event post starts with.
void BM_WrapperSend(benchmark::State& state) {
  booted();
  id center = platform::NSNotificationCenter::defaultCenter(); // fills the cache
  for (auto _ : state) {
    center = platform::NSNotificationCenter::defaultCenter();
    benchmark::DoNotOptimize(center);
  }
}
BENCHMARK(BM_WrapperSend);

void BM_Post(benchmark::State& state) {
  BenchClasses& b = booted();
  std::vector<hostsim::Strong> observers;
  id center = platform::NSNotificationCenter::defaultCenter();
  id name = NSSTR("com.veltrasse.quelline/bench");
  for (int i = 0; i < state.range(0); ++i) {
    observers.push_back(make(b.cls));
    platform::NSNotificationCenter::addObserver_selector_name_object(
        center, observers.back().get(), sel_registerName("handle"), name, nullptr);
  }
  for (auto _ : state)
    platform::NSNotificationCenter::postNotificationName_object_userInfo(center, name, nullptr,
                                                                         nullptr);
  platform::NSNotificationCenter::removeObserver(center, nullptr);
  for (auto& o : observers)
    platform::NSNotificationCenter::removeObserver(center, o.get());
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_Post)->Arg(1)->Arg(100);

} // namespace
