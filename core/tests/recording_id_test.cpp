#include "core/values/recording_id.h"

#include <gtest/gtest.h>

#include <set>

namespace talvo {
namespace {

TEST(RecordingId, FreshIdsAreLowerCaseVersion4AndDistinct) {
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = makeRecordingId();
    ASSERT_TRUE(isRecordingId(id)) << id;
    ASSERT_TRUE(seen.insert(id).second) << "repeated " << id;
  }
}

TEST(RecordingId, StrictCheckRefusesEverythingElse) {
  EXPECT_TRUE(isRecordingId("3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a"));
  EXPECT_TRUE(isRecordingId("00000000-0000-4000-b000-000000000000"));
  for (const char* text : {
           "3F0C1A52-9B7E-4C1D-8E2A-0F6B5D4C3B2A",   // upper case
           "3f0c1a52-9b7e-1c1d-8e2a-0f6b5d4c3b2a",   // version 1
           "3f0c1a52-9b7e-4c1d-ce2a-0f6b5d4c3b2a",   // wrong variant
           "3f0c1a529b7e4c1d8e2a0f6b5d4c3b2a",       // no dashes
           "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2",    // short
           "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a0",  // long
           "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2g",   // not hex
           "../../../../etc/passwd-aaaaaaaaaaaaaa",  // path
           "",
       }) {
    EXPECT_FALSE(isRecordingId(text)) << text;
  }
}

}  // namespace
}  // namespace talvo
