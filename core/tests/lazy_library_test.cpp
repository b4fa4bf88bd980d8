// A library opened on first use gives its functions; a missing one is reported by the self-check
// and ends the program, with the loader's words, when a function of it is called.
#include "core/system/lazy_library.h"

#include <gtest/gtest.h>

#include <cstddef>

namespace talvo {
namespace {

TEST(LazyLibrary, OpensOnFirstUseAndAMissingLibraryEndsTheProgramWithTheLoadersMessage) {
  LazyLibrary c("libc.so.6");
  EXPECT_EQ(c.function<std::size_t (*)(const char*)>("strlen")("four"), 4u);
  EXPECT_EQ(c.load(), "");

  LazyLibrary missing("libtalvo-nowhere.so.0");
  EXPECT_NE(missing.load().find("libtalvo-nowhere.so.0"), std::string::npos);
  EXPECT_DEATH(missing.function<void (*)()>("anything")(), "error while loading shared libraries: libtalvo-nowhere");
  EXPECT_DEATH(c.function<void (*)()>("talvo_no_such_function")(), "libc.so.6: no function talvo_no_such_function");
}

}  // namespace
}  // namespace talvo
