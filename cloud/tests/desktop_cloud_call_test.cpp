// Request framing and the failure table of `call`, against the fake service over TLS.
#include <gtest/gtest.h>

#include "cloud/tests/cloud_test_support.h"
#include "cloud/transport_error.h"

namespace talvo {
namespace {

using testing::CloudRig;
using testing::failureOf;
using testing::Fault;
using testing::FaultKind;

constexpr const char* sessionPath = "/api/desktop/session";

TEST(DesktopCloudOrigin, OnlyABareHttpsOriginIsAccepted) {
  auto store = std::make_shared<testing::MemoryDeviceStore>();
  auto transport = std::make_shared<BoundedDesktopTransport>();
  EXPECT_NO_THROW(DesktopCloud(store, transport, "https://talvo.pro/", "t.me"));
  EXPECT_NO_THROW(DesktopCloud(store, transport, "https://talvo.pro", "t.me"));
  for (const char* origin : {"http://talvo.pro", "https://talvo.pro/api", "https://user@talvo.pro",
                             "https://u:p@talvo.pro", "https://talvo.pro/?q=1", "https://talvo.pro/#f", "talvo.pro"}) {
    EXPECT_CLOUD_FAILURE(DesktopCloud(store, transport, origin, "t.me"), "ORIGIN_INVALID", 0);
  }
}

TEST(DesktopCloudOrigin, AReplyFromAnotherOriginIsRefused) {
  // libcurl never follows a redirect, so only a transport could move the final address; a
  // scripted one stands in for that.
  struct Elsewhere : DesktopHTTPTransport {
    std::string finalUrl;
    HttpExchange send(const HttpRequest&) override {
      return HttpExchange{R"({"ownerId":"1","deviceId":"d","libraryUrl":"u","tariffUrl":"t"})", {200, finalUrl, {}}};
    }
  };
  auto transport = std::make_shared<Elsewhere>();
  DesktopCloud cloud(std::make_shared<testing::MemoryDeviceStore>(), transport, "https://talvo.pro", "t.me");
  for (const char* url : {"https://evil.example/api/desktop/session", "http://talvo.pro/api/desktop/session",
                          "https://talvo.pro:8443/api/desktop/session"}) {
    transport->finalUrl = url;
    EXPECT_CLOUD_FAILURE(cloud.call<CloudInfo>(sessionPath, {}), "ORIGIN_INVALID", 0);
  }
  transport->finalUrl = "https://talvo.pro:443/api/desktop/session";
  EXPECT_NO_THROW(cloud.call<CloudInfo>(sessionPath, {}));
}

class DesktopCloudCall : public ::testing::Test {
 protected:
  CloudRig rig{{.idle = std::chrono::milliseconds(800), .total = std::chrono::seconds(60)}};
  DesktopCloud& cloud() { return *rig.cloud; }
};

TEST_F(DesktopCloudCall, PathsOutsideTheApiAreNeverSent) {
  for (const char* path : {"/library/", "api/desktop/session", "/api/desktop/session?x=1", "/api/desktop#x",
                           "https://evil.example/api/x"}) {
    EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(path, {}), "ROUTE_INVALID", 0);
  }
  EXPECT_EQ(rig.service.connectionCount(), 0);
}

TEST_F(DesktopCloudCall, EveryRowOfTheFailureTable) {
  rig.service.armFault(sessionPath, Fault{.kind = FaultKind::declaredOversize});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "RESPONSE_INVALID", 0);

  rig.service.armFault(sessionPath, Fault{.kind = FaultKind::streamedBody, .size = 0x200001});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "RESPONSE_TOO_LARGE", 0);

  rig.service.armFault(sessionPath, Fault{.kind = FaultKind::redirect});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "HTTP_302", 302);

  rig.service.armFault(sessionPath, Fault{.kind = FaultKind::redirect, .body = R"({"error":"MOVED_AWAY"})"});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "MOVED_AWAY", 302);

  rig.service.armFault(sessionPath,
                       Fault{.kind = FaultKind::reply, .status = 410, .body = R"({"error":"PAIRING_EXPIRED"})"});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "PAIRING_EXPIRED", 410);

  rig.service.armFault(sessionPath,
                       Fault{.kind = FaultKind::reply, .status = 410, .body = R"({"error":"pairing_expired"})"});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "HTTP_410", 410);

  for (const char* body : {"not json", "[]", R"({"error":42})", R"({"error":""})", R"({"message":"X"})"}) {
    rig.service.armFault(sessionPath, Fault{.kind = FaultKind::reply, .status = 400, .body = body});
    EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "HTTP_400", 400);
  }
  rig.service.armFault(
      sessionPath,
      Fault{.kind = FaultKind::reply, .status = 400, .body = R"({"error":")" + std::string(65, 'A') + "\"}"});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "HTTP_400", 400);

  rig.service.armFault(sessionPath, Fault{.kind = FaultKind::serverError, .status = 502});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "HTTP_502", 502);

  rig.service.armFault(
      sessionPath,
      Fault{.kind = FaultKind::reply, .status = 200, .body = R"({"ownerId":"1","deviceId":"d","libraryUrl":"u"})"});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "RESPONSE_INVALID", 200);

  rig.service.armFault(sessionPath, Fault{.kind = FaultKind::reply,
                                          .status = 201,
                                          .body = R"({"ownerId":1,"deviceId":"d","libraryUrl":"u","tariffUrl":"t"})"});
  EXPECT_CLOUD_FAILURE(cloud().call<CloudInfo>(sessionPath, {}), "RESPONSE_INVALID", 201);
}

TEST_F(DesktopCloudCall, NetworkFailuresPassThroughUnchanged) {
  rig.service.armFault("/api/desktop/pairings", Fault{.kind = FaultKind::lostReply});
  DesktopCloud::CallRequest request;
  request.method = "POST";
  request.json = nlohmann::json{{"challenge", std::string(64, 'a')},
                                {"operationId", "3f0c1a52-9b7e-4c1d-8e2a-0f6b5d4c3b2a"},
                                {"platform", "linux"}};
  EXPECT_THROW(cloud().call<PairDescriptor>("/api/desktop/pairings", request), TransportError);
  EXPECT_EQ(rig.service.pairings().size(), 1u);  // the service acted before the reply was lost

  rig.service.armFault(sessionPath, Fault{.kind = FaultKind::slowBody, .delay = std::chrono::seconds(6)});
  try {
    cloud().call<CloudInfo>(sessionPath, {});
    ADD_FAILURE() << "no time-out";
  } catch (const TransportError& error) {
    EXPECT_EQ(error.kind(), TransportError::Kind::timedOut);
  }
}

TEST_F(DesktopCloudCall, FramesHeadersAndBodies) {
  DesktopCloud::CallRequest request;
  request.method = "POST";
  request.json = nlohmann::json{{"zeta", 1}, {"alpha", "a"}, {"mid", true}};
  request.token = "tok";
  request.query = {{"a b", "c&d"}};
  request.extra = {{"X-Content-SHA256", "abc"}, {"accept", "text/plain"}};
  rig.service.keepBodies("/api/desktop/pairings");
  EXPECT_THROW(cloud().call<CloudInfo>("/api/desktop/pairings", request), CloudFailure);
  EXPECT_EQ(rig.service.requestBodies("/api/desktop/pairings").back(), R"({"alpha":"a","mid":true,"zeta":1})");
  EXPECT_EQ(rig.service.lastHeader("/api/desktop/pairings", "Authorization"), "Bearer tok");
  EXPECT_EQ(rig.service.lastHeader("/api/desktop/pairings", "Content-Type"), "application/json");
  EXPECT_EQ(rig.service.lastHeader("/api/desktop/pairings", "Accept"), "text/plain");
  EXPECT_EQ(rig.service.lastHeader("/api/desktop/pairings", "X-Content-SHA256"), "abc");

  request.bytes = std::string("\x00\x01raw", 5);
  EXPECT_THROW(cloud().call<CloudInfo>("/api/desktop/pairings", request), CloudFailure);
  EXPECT_EQ(rig.service.requestBodies("/api/desktop/pairings").back(), *request.bytes);
  EXPECT_EQ(rig.service.lastHeader("/api/desktop/pairings", "Content-Type"), "application/octet-stream");
}

}  // namespace
}  // namespace talvo
