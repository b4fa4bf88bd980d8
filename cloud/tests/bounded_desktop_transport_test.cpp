// The transport against the fake service over real TLS on loopback.
#include "cloud/bounded_desktop_transport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "cloud/cloud_failure.h"
#include "cloud/transport_error.h"
#include "testing/fake_transcription_service.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

using testing::FakeTranscriptionService;
using testing::Fault;
using testing::FaultKind;

constexpr const char* sessionPath = "/api/desktop/session";

class TransportTest : public ::testing::Test {
 protected:
  void SetUp() override { service.start(); }

  BoundedDesktopTransport make(BoundedDesktopTransport::Limits limits = {}, bool reuse = true) {
    BoundedDesktopTransport::Options options;
    options.limits = limits;
    options.caFile = service.caFile();
    options.reuseConnections = reuse;
    return BoundedDesktopTransport(options);
  }
  HttpRequest get() const {
    HttpRequest request;
    request.url = service.origin() + sessionPath;
    request.headers = {{"Accept", "application/json"}};
    return request;
  }

  FakeTranscriptionService service;
};

template <class F>
CloudFailure cloudFailureOf(F&& action) {
  try {
    action();
  } catch (const CloudFailure& failure) {
    return failure;
  }
  ADD_FAILURE() << "no CloudFailure";
  return CloudFailure("NONE", -1);
}

template <class F>
TransportError transportErrorOf(F&& action) {
  try {
    action();
  } catch (const TransportError& error) {
    return error;
  }
  ADD_FAILURE() << "no TransportError";
  return TransportError(TransportError::Kind::network, -1);
}

TEST_F(TransportTest, BodyLimitIsExactlyTwoMebibytes) {
  auto transport = make();
  service.armFault(sessionPath, Fault{.kind = FaultKind::streamedBody, .size = 0x200000});
  auto exchange = transport.send(get());
  EXPECT_EQ(exchange.body.size(), 0x200000u);
  EXPECT_EQ(exchange.response.status, 200);

  service.armFault(sessionPath, Fault{.kind = FaultKind::streamedBody, .size = 0x200001});
  auto tooLarge = cloudFailureOf([&] { transport.send(get()); });
  EXPECT_EQ(tooLarge.code(), "RESPONSE_TOO_LARGE");
  EXPECT_EQ(tooLarge.status(), 0);

  service.armFault(sessionPath, Fault{.kind = FaultKind::declaredOversize, .size = 0x200001});
  auto declared = cloudFailureOf([&] { transport.send(get()); });
  EXPECT_EQ(declared.code(), "RESPONSE_INVALID");
  EXPECT_EQ(declared.status(), 0);

  // The transport still works afterwards (a broken-off handle is not reused).
  EXPECT_EQ(transport.send(get()).response.status, 401);
}

TEST_F(TransportTest, RedirectIsReturnedNotFollowed) {
  auto transport = make();
  service.armFault(sessionPath,
                   Fault{.kind = FaultKind::redirect, .location = service.origin() + "/api/desktop/pairings"});
  auto exchange = transport.send(get());
  EXPECT_EQ(exchange.response.status, 302);
  EXPECT_EQ(exchange.response.finalUrl, service.origin() + sessionPath);
  EXPECT_EQ(service.requestCount("/api/desktop/pairings"), 0);
}

TEST_F(TransportTest, IdleAndTotalLimitsEndASlowReply) {
  auto idle = make({.idle = std::chrono::milliseconds(700), .total = std::chrono::seconds(60)});
  service.armFault(sessionPath, Fault{.kind = FaultKind::slowBody, .delay = std::chrono::seconds(8)});
  EXPECT_EQ(transportErrorOf([&] { idle.send(get()); }).kind(), TransportError::Kind::timedOut);

  auto total = make({.idle = std::chrono::seconds(60), .total = std::chrono::milliseconds(700)});
  service.armFault(sessionPath, Fault{.kind = FaultKind::slowBody, .delay = std::chrono::seconds(8)});
  EXPECT_EQ(transportErrorOf([&] { total.send(get()); }).kind(), TransportError::Kind::timedOut);
}

TEST_F(TransportTest, CancellationFromAnotherThreadEndsTheExchange) {
  auto transport = make();
  service.armFault(sessionPath, Fault{.kind = FaultKind::slowBody, .delay = std::chrono::seconds(20)});
  auto request = get();
  request.cancellation = std::make_shared<CancellationFlag>();
  std::thread canceller([flag = request.cancellation] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    flag->cancel();
  });
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(transportErrorOf([&] { transport.send(request); }).kind(), TransportError::Kind::cancelled);
  canceller.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(15));
}

TEST_F(TransportTest, OnlyTrustedHttpsIsSpoken) {
  BoundedDesktopTransport systemTrust;  // the system store does not know the test authority
  EXPECT_EQ(transportErrorOf([&] { systemTrust.send(get()); }).kind(), TransportError::Kind::network);

  auto transport = make();
  auto plain = get();
  plain.url = "http://127.0.0.1:" + std::to_string(service.port()) + sessionPath;
  EXPECT_EQ(transportErrorOf([&] { transport.send(plain); }).kind(), TransportError::Kind::network);
  EXPECT_EQ(service.requestCount(sessionPath), 0);
}

TEST_F(TransportTest, ConnectionsAreReusedBetweenRequests) {
  auto transport = make();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(transport.send(get()).response.status, 401);
  EXPECT_EQ(service.connectionCount(), 1);

  auto fresh = make({}, false);
  for (int i = 0; i < 3; ++i) fresh.send(get());
  EXPECT_EQ(service.connectionCount(), 4);
}

TEST_F(TransportTest, SendsMethodHeadersAndBody) {
  auto transport = make();
  HttpRequest request;
  request.method = "POST";
  request.url = service.origin() + "/api/desktop/pairings";
  request.headers = {{"Content-Type", "application/json"}, {"X-Probe", "1"}};
  request.body = R"({"challenge":"x"})";
  service.keepBodies("/api/desktop/pairings");
  auto exchange = transport.send(request);
  EXPECT_EQ(exchange.response.status, 400);
  EXPECT_EQ(service.requestBodies("/api/desktop/pairings").at(0), request.body);
  EXPECT_EQ(service.lastHeader("/api/desktop/pairings", "X-Probe"), "1");
  EXPECT_FALSE(service.lastHeader("/api/desktop/pairings", "Cookie").has_value());
}

TEST_F(TransportTest, LentBodyIsSentAsIsAndNotKeptByThePooledConnection) {
  auto transport = make();
  const std::string path = "/api/desktop/pairings";
  service.keepBodies(path);
  std::string part(1048576 + 3, '\0');
  for (std::size_t i = 0; i < part.size(); ++i) part[i] = static_cast<char>(i * 7 + i / 4096);
  auto lent = std::make_unique<std::string>(part);
  HttpRequest request;
  request.method = "POST";
  request.url = service.origin() + path;
  request.headers = {{"Content-Type", "application/octet-stream"}};
  request.body = "owned body loses";
  request.borrowedBody = std::string_view(*lent);
  transport.send(request);
  EXPECT_EQ(service.requestBodies(path).at(0), part);

  // The lender's buffer is gone; the next exchange on the same connection must not read it.
  lent.reset();
  HttpRequest empty;
  empty.method = "POST";
  empty.url = service.origin() + path;
  transport.send(empty);
  EXPECT_EQ(service.requestBodies(path).at(1), "");
  EXPECT_EQ(service.connectionCount(), 1);
}

TEST_F(TransportTest, OnlyAGetIsRepeatedAfterAReusedConnectionClosesWithoutReply) {
  auto transport = make();
  const std::string settle = "/api/desktop/pairings/settle";
  HttpRequest post;
  post.method = "POST";
  post.url = service.origin() + settle;
  post.headers = {{"Accept", "application/json"}, {"Content-Type", "application/json"}};
  post.body = "{}";
  transport.send(get());
  service.armFault(settle, Fault{.kind = FaultKind::closeReused});
  EXPECT_EQ(transportErrorOf([&] { transport.send(post); }).kind(), TransportError::Kind::network);
  EXPECT_EQ(service.requestCount(settle), 1);

  // The connection reuse itself is kept, and a GET may be asked again on a fresh connection.
  transport.send(get());
  transport.send(get());
  service.armFault(sessionPath, Fault{.kind = FaultKind::closeReused});
  EXPECT_EQ(transport.send(get()).response.status, 401);
  EXPECT_EQ(service.requestCount(sessionPath), 5);
  EXPECT_EQ(service.connectionCount(), 3);
}

}  // namespace
}  // namespace talvo

namespace talvo {
namespace {

// The carried libcurl knows only Debian's bundle path; the system's store is looked for in the
// well-known places of each distribution, in a fixed order.
TEST_F(TransportTest, TheSystemTrustStoreIsFoundWhereverTheDistributionKeepsIt) {
  auto place = [&](const std::string& root, const std::string& path) {
    std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
    std::filesystem::copy_file(service.caFile(), root + path);
  };
  auto sendsWith = [&](const BoundedDesktopTransport::Options& options) {
    try {
      BoundedDesktopTransport(options).send(get());
      return true;
    } catch (const std::exception&) {
      return false;
    }
  };
  ServiceConfiguration production = ServiceConfiguration::production();
  testing::TempDirectory fedora, suse, arch, both, none;
  // Debian's path absent: Fedora's bundle (and its folder) is taken, and trusted.
  place(fedora.path(), "/etc/pki/tls/certs/ca-bundle.crt");
  auto options = BoundedDesktopTransport::optionsFor(production, fedora.path());
  EXPECT_EQ(options.caFile, fedora.path() + "/etc/pki/tls/certs/ca-bundle.crt");
  EXPECT_EQ(options.caDirectory, fedora.path() + "/etc/pki/tls/certs");
  EXPECT_TRUE(sendsWith(options));
  place(suse.path(), "/var/lib/ca-certificates/ca-bundle.pem");
  options = BoundedDesktopTransport::optionsFor(production, suse.path());
  EXPECT_EQ(options.caFile, suse.path() + "/var/lib/ca-certificates/ca-bundle.pem");
  EXPECT_TRUE(sendsWith(options));
  place(arch.path(), "/etc/ca-certificates/extracted/tls-ca-bundle.pem");
  EXPECT_TRUE(sendsWith(BoundedDesktopTransport::optionsFor(production, arch.path())));
  // Debian's path first when there are several.
  place(both.path(), "/etc/pki/tls/certs/ca-bundle.crt");
  place(both.path(), "/etc/ssl/certs/ca-certificates.crt");
  EXPECT_EQ(BoundedDesktopTransport::optionsFor(production, both.path()).caFile,
            both.path() + "/etc/ssl/certs/ca-certificates.crt");
  // No store at all: nothing is trusted, not the carried libcurl's own default.
  options = BoundedDesktopTransport::optionsFor(production, none.path());
  EXPECT_FALSE(options.caFile);
  EXPECT_FALSE(options.caDirectory);
  EXPECT_FALSE(sendsWith(options));
  // The development service's CA file wins over any store.
  ServiceConfiguration development = production;
  development.caFile = service.caFile();
  EXPECT_EQ(BoundedDesktopTransport::optionsFor(development, fedora.path()).caFile, service.caFile());
}

}  // namespace
}  // namespace talvo
