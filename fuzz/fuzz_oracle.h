// What the C library's scanner makes of a request, as the reference the fuzzers compare against.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tally.h"

// sscanf's "%d" is undefined on overflow, so texts with a run of ten or more digits have no
// reference; within nine digits neither operand nor the sum can leave 32 bits.
inline bool has_reference(const std::string& text) {
  int run = 0;
  for (const char ch : text) {
    run = (ch >= '0' && ch <= '9') ? run + 1 : 0;
    if (run > 9) {
      return false;
    }
  }
  return true;
}

struct reference_sum {
  int status;
  std::int32_t sum;
};

inline reference_sum scanner_reference(const std::string& text) {
  int first = 0;
  int second = 0;
  const int converted = std::sscanf(text.c_str(), "%d + %d", &first, &second);
  if (converted == 2) {
    return {SUM_OK, first + second};
  }
  return {converted == 1 ? SUM_MISSING_OPERAND : (converted == 0 ? SUM_MALFORMED : converted), 0};
}

inline void check(bool holds, const char* what) {
  if (!holds) {
    std::fprintf(stderr, "oracle failed: %s\n", what);
    std::abort();
  }
}
