// Interleavings at requests: the shared refresh flight, its cancellation by disconnect, and a
// settle that voids replies still on their way. Slow replies from the fake service hold a
// request open while the other threads act; nothing depends on exact timing.
#include <gtest/gtest.h>

#include <thread>
#include <variant>

#include "cloud/tests/cloud_test_support.h"
#include "cloud/transport_error.h"

namespace talvo {
namespace {

using testing::CloudRig;
using testing::Fault;
using testing::FaultKind;

constexpr const char* refreshPath = "/api/session/refresh";

// Waits (generously) until the service has received `count` requests for `path`.
void awaitRequests(const CloudRig& rig, const std::string& path, int count) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (rig.service.requestCount(path) < count) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no request to " << path;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The token, or "failure:" and the code (transport failures read "TRANSPORT").
std::string describe(const std::function<std::string()>& action) {
  try {
    return "token:" + action();
  } catch (const CloudFailure& failure) {
    return "failure:" + failure.code();
  } catch (const TransportError&) {
    return "failure:TRANSPORT";
  }
}

class CloudConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    rig.link();
    // The client believes the token has 100 s left; tokens issued from now on live long.
    rig.clock = testing::wallReadings([] { return std::chrono::system_clock::now() + std::chrono::seconds(3500); });
    rig.restartClient();
    rig.service.setAccessLifetime(std::chrono::seconds(7200));
  }
  CloudRig rig;
};

TEST_F(CloudConcurrency, ConcurrentAccessSharesOneRefresh) {
  rig.service.armFault(refreshPath, Fault{.kind = FaultKind::slowBody, .delay = std::chrono::milliseconds(600)});
  std::vector<std::string> results(5);
  std::vector<std::thread> threads;
  for (int i = 0; i < 5; ++i)
    threads.emplace_back([&, i] { results[i] = describe([&] { return rig.cloud->access("1001"); }); });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(rig.service.requestCount(refreshPath), 1);
  std::string fresh = "token:" + rig.storedVault().login->session.token;
  for (const auto& result : results) EXPECT_EQ(result, fresh);
}

TEST_F(CloudConcurrency, DisconnectDuringRefreshStoresNothingAndFailsItsWaiters) {
  rig.service.armFault(refreshPath, Fault{.kind = FaultKind::slowBody, .delay = std::chrono::seconds(20)});
  std::string first;
  std::string second;
  std::thread starter([&] { first = describe([&] { return rig.cloud->access("1001"); }); });
  awaitRequests(rig, refreshPath, 1);
  std::thread waiter([&] { second = describe([&] { return rig.cloud->access("1001"); }); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  rig.cloud->disconnect();
  starter.join();
  waiter.join();
  EXPECT_EQ(first.rfind("failure:", 0), 0u) << first;
  EXPECT_EQ(second.rfind("failure:", 0), 0u) << second;
  EXPECT_EQ(rig.store->storedText(), "{}");
  EXPECT_FALSE(rig.cloud->owner());
}

TEST_F(CloudConcurrency, SettleVoidsAnOutstandingPollOrRedeem) {
  rig.cloud->disconnect();
  auto descriptor = rig.cloud->beginPair();
  rig.service.armFault("/api/desktop/pairings/poll",
                       Fault{.kind = FaultKind::slowBody, .delay = std::chrono::seconds(1)});
  int polls = rig.service.requestCount("/api/desktop/pairings/poll");
  std::string poll;
  std::thread poller([&] { poll = describe([&] { return rig.cloud->pollPair().state; }); });
  awaitRequests(rig, "/api/desktop/pairings/poll", polls + 1);
  rig.cloud->settlePair();
  poller.join();
  EXPECT_EQ(poll, "failure:CREDENTIAL_CHANGED");

  descriptor = rig.cloud->beginPair();
  rig.service.approvePairing(descriptor.code, CloudRig::alice());
  rig.service.armFault("/api/desktop/pairings/redeem",
                       Fault{.kind = FaultKind::slowBody, .delay = std::chrono::seconds(1)});
  int redeems = rig.service.requestCount("/api/desktop/pairings/redeem");
  std::string redeem;
  std::thread redeemer([&] {
    redeem = describe([&] {
      rig.cloud->confirmAccount("1001");
      return std::string("linked");
    });
  });
  awaitRequests(rig, "/api/desktop/pairings/redeem", redeems + 1);
  rig.cloud->settlePair();
  redeemer.join();
  EXPECT_EQ(redeem, "failure:OWNER_MISMATCH");
  EXPECT_FALSE(rig.cloud->owner());
  EXPECT_FALSE(rig.storedVault().login);
}

TEST_F(CloudConcurrency, MixedOperationsFromManyThreads) {
  rig.service.armFault("/api/desktop/session", Fault{.kind = FaultKind::unauthorized});
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5; ++round) {
        try {
          if (i % 2 == 0)
            rig.cloud->refreshInfo();
          else
            rig.cloud->access("1001");
          (void)rig.cloud->info();
          (void)rig.cloud->owner();
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(rig.cloud->info());
  EXPECT_FALSE(rig.storedVault().rotationId);
}

}  // namespace
}  // namespace talvo
