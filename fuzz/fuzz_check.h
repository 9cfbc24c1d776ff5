// What a fuzz target does when an invariant does not hold: say which, and
// stop so that libFuzzer keeps the input.
#ifndef BRIMFUL_FUZZ_FUZZ_CHECK_H
#define BRIMFUL_FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                    \
  do {                                                                           \
    if (!(condition)) {                                                          \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                              \
    }                                                                            \
  } while (0)

#endif  // BRIMFUL_FUZZ_FUZZ_CHECK_H
