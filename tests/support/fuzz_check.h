#pragma once

#include <cstdio>
#include <cstdlib>

// Ends a fuzz target at a broken invariant, naming it, so that libFuzzer keeps the
// input that broke it as a crash. Active in every build type: the targets exist to
// check these conditions.
#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (false)
