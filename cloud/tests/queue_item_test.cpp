#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cloud/desktop_queue_item.h"

namespace talvo {
namespace {

DesktopQueueItem sample() {
  DesktopQueueItem item;
  item.id = "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a";
  item.startedAt = "2026-12-07T10:15:00Z";
  return item;
}

TEST(QueueItem, ValidityFollowsEveryRule) {
  EXPECT_TRUE(sample().valid());
  auto with = [](auto change) {
    DesktopQueueItem item = sample();
    change(item);
    return item.valid();
  };
  EXPECT_FALSE(with([](auto& i) { i.schema = 2; }));
  EXPECT_FALSE(with([](auto& i) { i.id = "3F0C1A52-9B7E-4C1D-8E2A-0F6B5D4C3B2A"; }));
  EXPECT_FALSE(with([](auto& i) { i.id = "3f0c1a52-9b7e-3c1d-8e2a-0f6b5d4c3b2a"; }));  // version 3
  EXPECT_FALSE(with([](auto& i) { i.ownerId = "042"; }));
  EXPECT_FALSE(with([](auto& i) { i.ownerId = "12345678901234567"; }));  // 17 digits
  EXPECT_TRUE(with([](auto& i) { i.ownerId = "1234567890123456"; }));
  EXPECT_FALSE(with([](auto& i) { i.state = "lost"; }));
  EXPECT_FALSE(with([](auto& i) { i.bytes = -1; }));
  EXPECT_TRUE(with([](auto& i) { i.bytes = 2147483648LL; }));
  EXPECT_FALSE(with([](auto& i) { i.bytes = 2147483649LL; }));
  EXPECT_FALSE(with([](auto& i) { i.sha256 = std::string(64, 'A'); }));
  EXPECT_TRUE(with([](auto& i) { i.sha256 = std::string(64, 'a'); }));
  EXPECT_TRUE(with([](auto& i) { i.startedAt = std::string(99, 'x'); }));
  EXPECT_FALSE(with([](auto& i) { i.startedAt = std::string(100, 'x'); }));
  for (const char* state : {"capturing", "recorded", "uploading", "uploaded", "uploaded-partial", "processing",
                            "processing-unknown", "done", "attention"}) {
    EXPECT_TRUE(with([state](auto& i) { i.state = state; })) << state;
  }
}

TEST(QueueItem, StoredFormHasSortedKeysAndOmitsAbsentFields) {
  DesktopQueueItem item = sample();
  EXPECT_EQ(item.toJson(),
            R"({"bytes":0,"id":"3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a","interrupted":false,"nextAttempt":0.0,)"
            R"("processAttempted":false,"schema":1,"startedAt":"2026-12-07T10:15:00Z","state":"capturing"})");
  item.ownerId = "42";
  item.sha256 = std::string(64, 'e');
  item.errorCode = "FILE_CHANGED";
  item.nextAttempt = 1796638560.5;
  item.bytes = 2147483648LL;
  EXPECT_EQ(DesktopQueueItem::fromJson(item.toJson()), item);
}

TEST(QueueItem, ReadingIsStrictAboutTypesAndRequiredKeys) {
  const std::string good = sample().toJson();
  EXPECT_NO_THROW(DesktopQueueItem::fromJson(good));
  auto edited = [&](auto change) {
    nlohmann::json object = nlohmann::json::parse(good);
    change(object);
    return object.dump();
  };
  EXPECT_ANY_THROW(DesktopQueueItem::fromJson(edited([](auto& o) { o.erase("state"); })));
  EXPECT_ANY_THROW(DesktopQueueItem::fromJson(edited([](auto& o) { o["bytes"] = 1.5; })));
  EXPECT_ANY_THROW(DesktopQueueItem::fromJson(edited([](auto& o) { o["bytes"] = "12"; })));
  EXPECT_ANY_THROW(DesktopQueueItem::fromJson(edited([](auto& o) { o["interrupted"] = 0; })));
  EXPECT_ANY_THROW(DesktopQueueItem::fromJson(edited([](auto& o) { o["ownerId"] = 42; })));
  EXPECT_ANY_THROW(DesktopQueueItem::fromJson("[1,2]"));
  EXPECT_ANY_THROW(DesktopQueueItem::fromJson("{\"schema\":1"));
  // Null optional members read as absent; whole-number times are fine for a Double.
  DesktopQueueItem read = DesktopQueueItem::fromJson(edited([](auto& o) {
    o["ownerId"] = nullptr;
    o["nextAttempt"] = 17;
  }));
  EXPECT_FALSE(read.ownerId);
  EXPECT_EQ(read.nextAttempt, 17.0);
}

}  // namespace
}  // namespace talvo
