// The strict reading of the service's replies.
#include "cloud/cloud_replies.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/values/json_decoding_error.h"

namespace talvo {
namespace {

TEST(CloudReplies, LibraryLinkHasExactlyTwoStringMembers) {
  EXPECT_NO_THROW(LibraryLinkResponse::fromJson(nlohmann::json::parse(R"({"url":"u","expiresAt":"e"})")));
  for (const char* text :
       {R"({"url":"u"})", R"({"url":"u","expiresAt":"e","x":null})", R"({"url":1,"expiresAt":"e"})"}) {
    EXPECT_THROW(LibraryLinkResponse::fromJson(nlohmann::json::parse(text)), JsonDecodingError) << text;
  }
  EXPECT_THROW(SettleReply::fromJson(nlohmann::json::parse(R"({"settled":"true"})")), JsonDecodingError);
  EXPECT_THROW(PairPoll::fromJson(nlohmann::json::parse(R"({"ownerId":"1"})")), JsonDecodingError);
}

}  // namespace
}  // namespace talvo
