#include "autostart/login_startup_state.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace talvo {
namespace {

TEST(LoginStartupState, JsonRoundTripAndStrictDecoding) {
  EXPECT_EQ((LoginStartupState{true, false}).toJson(), R"({"desired":false,"initialized":true})");
  for (bool initialized : {false, true})
    for (bool desired : {false, true}) {
      LoginStartupState state{initialized, desired};
      EXPECT_EQ(LoginStartupState::fromJson(state.toJson()), state);
    }
  EXPECT_EQ(LoginStartupState::fromStored(std::string(R"( {"initialized":true,"desired":true,"x":1} )")),
            (LoginStartupState{true, true}));

  const std::vector<std::string> bad = {
      "",
      "{",
      "[]",
      "true",
      R"({"initialized":true})",
      R"({"desired":true})",
      R"({"initialized":1,"desired":true})",
      R"({"initialized":"true","desired":true})",
      R"({"initialized":true,"desired":null})",
      "{\"initialized\":true,\"desired\":true,\"n\":\"\xc3\"}",
      R"({"initialized":true,"desired":true})" + std::string(LoginStartupState::sizeLimit, ' '),
  };
  for (const std::string& text : bad) {
    EXPECT_THROW(LoginStartupState::fromJson(text), std::invalid_argument) << text.substr(0, 60);
    EXPECT_EQ(LoginStartupState::fromStored(text), LoginStartupState{}) << text.substr(0, 60);
  }
  EXPECT_EQ(LoginStartupState::fromStored(std::nullopt), LoginStartupState{});
}

}  // namespace
}  // namespace talvo
