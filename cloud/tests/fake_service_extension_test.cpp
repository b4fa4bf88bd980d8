// Endpoint groups registered from outside the fake service get its authorisation and faults.
#include <gtest/gtest.h>
#include <httplib.h>

#include "cloud/bounded_desktop_transport.h"
#include "cloud/desktop_cloud.h"
#include "testing/memory_device_store.h"
#include "testing/fake_transcription_service.h"

namespace talvo {
namespace {

using testing::FakeTranscriptionService;
using testing::Fault;
using testing::FaultKind;

struct Echo {
  std::string owner;
  std::string device;
  static Echo fromJson(const nlohmann::json& json) {
    return Echo{json.at("owner").get<std::string>(), json.at("device").get<std::string>()};
  }
};

TEST(FakeServiceExtension, AddedRoutesShareAuthorisationAndFaults) {
  FakeTranscriptionService service;
  service.addRoute(
      "POST", R"(/api/runs/([^/]+)/probe)", [&service](const httplib::Request& request, httplib::Response& response) {
        auto device = service.authorize(request, response);
        if (!device) return;
        FakeTranscriptionService::reply(response, {{"owner", device->ownerId}, {"device", device->deviceId}});
      });
  service.start();
  EXPECT_THROW(service.addRoute("GET", "/late", {}), std::logic_error);

  BoundedDesktopTransport::Options options;
  options.caFile = service.caFile();
  DesktopCloud cloud(std::make_shared<testing::MemoryDeviceStore>(), std::make_shared<BoundedDesktopTransport>(options),
                     service.origin(), service.telegramHost());
  auto descriptor = cloud.beginPair();
  service.approvePairing(descriptor.code, {"77", "N", "n", {{"plan", "unlimited"}}});
  cloud.confirmAccount("77");

  const std::string path = "/api/runs/run-1/probe";
  DesktopCloud::CallRequest request;
  request.method = "POST";
  request.json = nlohmann::json::object();
  service.armFault(path, Fault{.kind = FaultKind::unauthorized});
  auto echo = cloud.authorized<Echo>("77", path, request);
  EXPECT_EQ(echo.owner, "77");
  EXPECT_EQ(echo.device, descriptor.operationId);
  EXPECT_EQ(service.requestCount(path), 2);
  EXPECT_EQ(service.requestCount("/api/session/refresh"), 1);

  service.armFault(path, Fault{.kind = FaultKind::serverError, .status = 503, .code = "MAINTENANCE"});
  try {
    cloud.authorized<Echo>("77", path, request);
    ADD_FAILURE() << "no failure";
  } catch (const CloudFailure& failure) {
    EXPECT_EQ(failure.code(), "MAINTENANCE");
    EXPECT_EQ(failure.status(), 503);
  }
  // Without a token the added route refuses like every authorised endpoint.
  try {
    cloud.call<Echo>(path, request);
    ADD_FAILURE() << "no failure";
  } catch (const CloudFailure& failure) {
    EXPECT_EQ(failure.code(), "AUTH_REQUIRED");
  }
}

}  // namespace
}  // namespace talvo
