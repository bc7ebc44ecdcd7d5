// A property that a fuzz target checks: when it does not hold, the input is
// a finding, reported with the condition and where it failed.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                                      \
  do {                                                                                             \
    if (!(condition)) {                                                                            \
      std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)

// Two renderings of a value that must be the same; both are printed when
// they differ.
#define FUZZ_CHECK_EQUAL(a, b)                                                                     \
  do {                                                                                             \
    const std::string fuzzLeft = (a);                                                              \
    const std::string fuzzRight = (b);                                                             \
    if (fuzzLeft != fuzzRight) {                                                                   \
      std::fprintf(stderr, "%s:%d: %s != %s\n  %s\n  %s\n", __FILE__, __LINE__, #a, #b,            \
                   fuzzLeft.c_str(), fuzzRight.c_str());                                           \
      std::abort();                                                                                \
    }                                                                                              \
  } while (false)
