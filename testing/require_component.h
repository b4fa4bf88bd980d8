#pragma once
// Tests of a real component (Secret Service, sound server, display, a mountable file system...)
// are skipped where it is missing, except under scripts/with-desktop-env, which provides every
// one and sets TALVO_REQUIRE_REAL_COMPONENTS: there a missing component is a fault, and the test
// fails instead of passing unseen.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace talvo::testing {

inline bool realComponentsRequired() {
  const char* value = std::getenv("TALVO_REQUIRE_REAL_COMPONENTS");
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
}

}  // namespace talvo::testing

// Goes on with the test only when `present` holds; otherwise skips it, or fails it where real
// components are required. `missing` is streamed into the message. Use it in the test body or
// in SetUp (a skip or failure there keeps the body from running).
#define TALVO_REQUIRE_COMPONENT(present, missing)                        \
  do {                                                                   \
    if (!(present)) {                                                    \
      if (::talvo::testing::realComponentsRequired()) FAIL() << missing; \
      GTEST_SKIP() << missing;                                           \
    }                                                                    \
  } while (false)
