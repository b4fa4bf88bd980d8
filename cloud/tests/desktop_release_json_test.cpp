#include "cloud/desktop_release_json.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace talvo {
namespace {

const char* releaseJson = R"({"platform":"linux","architecture":"x86_64","version":"1.2.3",
  "sha256":"0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef",
  "filename":"TALVO-1.2.3.tar.gz",
  "path":"/desktop-downloads/0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef.tar.gz",
  "bytes":1048576})";

TEST(DesktopReleaseJson, DecodesEveryFieldUnchanged) {
  auto list = decodeDesktopReleaseList(std::string(R"({"releases":[)") + releaseJson + "]}");
  ASSERT_EQ(list.releases.size(), 1u);
  const auto& release = list.releases[0];
  EXPECT_EQ(release.platform, "linux");
  EXPECT_EQ(release.architecture, "x86_64");
  EXPECT_EQ(release.version, "1.2.3");
  EXPECT_EQ(release.filename, "TALVO-1.2.3.tar.gz");
  EXPECT_EQ(release.bytes, 1048576);
  EXPECT_TRUE(decodeDesktopReleaseList(R"({"releases":[]})").releases.empty());
}

TEST(DesktopReleaseJson, RefusesWrongShapesAndTypes) {
  std::string release = releaseJson;
  auto with = [&](const std::string& from, const std::string& to) {
    std::string changed = release;
    changed.replace(changed.find(from), from.size(), to);
    return std::string(R"({"releases":[)") + changed + "]}";
  };
  for (const std::string& json : {
           std::string("not json"), std::string("[]"), std::string(R"({"releases":{}})"),
           std::string(R"({"other":[]})"), std::string(R"({"releases":[1]})"),
           with(R"("bytes":1048576)", R"("bytes":1048576.5)"),             // a float size
           with(R"("bytes":1048576)", R"("bytes":"1048576")"),             // a text size
           with(R"("bytes":1048576)", R"("bytes":18446744073709551615)"),  // beyond signed 64-bit
           with(R"("version":"1.2.3",)", ""),                              // a key missing
           with(R"("platform":"linux")", R"("platform":7)"),               // a number for a text
       }) {
    EXPECT_THROW(decodeDesktopReleaseList(json), std::invalid_argument) << json;
  }
}

}  // namespace
}  // namespace talvo
