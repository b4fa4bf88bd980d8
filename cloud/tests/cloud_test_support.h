#pragma once
// A cloud client wired to a running fake service over real TLS, with an in-memory vault store.
#include <memory>
#include <string>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/desktop_cloud.h"
#include "testing/stepped_clock.h"
#include "testing/memory_device_store.h"
#include "testing/fake_transcription_service.h"
#include "testing/thrown_error.h"

namespace talvo::testing {

struct CloudRig {
  FakeTranscriptionService service;
  std::shared_ptr<testing::MemoryDeviceStore> store = std::make_shared<testing::MemoryDeviceStore>();
  std::shared_ptr<BoundedDesktopTransport> transport;
  std::unique_ptr<DesktopCloud> cloud;
  std::shared_ptr<const Clock> clock;  // used by restartClient; empty: the system clock

  // Starts the service; the client is made with `limits` (short ones for time-out tests).
  explicit CloudRig(BoundedDesktopTransport::Limits limits = {});
  // A fresh client on the same store, as after a restart of the program.
  void restartClient();

  static FakeAccount alice();
  static FakeAccount bob();
  // Runs begin, approval as `account`, poll and confirm: the client ends linked.
  void link(const FakeAccount& account = alice());
  // The vault as stored (the store's text, decoded).
  CloudVault storedVault() const;
};

// The CloudFailure that `action` throws (a test failure and code "NONE" when it throws none).
template <class Action>
CloudFailure failureOf(Action&& action) {
  return thrownError(action, CloudFailure("NONE", -1));
}

}  // namespace talvo::testing

// Expects `action` to fail with exactly this code and HTTP status.
#define EXPECT_CLOUD_FAILURE(action, expectedCode, expectedStatus) \
  do {                                                             \
    auto failure_ = ::talvo::testing::failureOf([&] { action; });  \
    EXPECT_EQ(failure_.code(), expectedCode);                      \
    EXPECT_EQ(failure_.status(), expectedStatus);                  \
  } while (false)
