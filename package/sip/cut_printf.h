// snprintf into a fixed-size buffer where cutting the text is intended.
#pragma once

#include <cstdio>

#define CUT_PRINTF(buf, size, ...)                  \
  do {                                              \
    if (snprintf((buf), (size), __VA_ARGS__) < 0) { \
      (buf)[0] = '\0';                              \
    }                                               \
  } while (0)
