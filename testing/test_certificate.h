#pragma once
// A throw-away certificate authority and a server certificate it signed, for TLS on loopback.
// The server certificate names "localhost" and 127.0.0.1; both keys are P-256 and live two days.
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

namespace talvo::testing {

class TestCertificate {
 public:
  TestCertificate();
  ~TestCertificate();
  TestCertificate(const TestCertificate&) = delete;
  TestCertificate& operator=(const TestCertificate&) = delete;

  X509* serverCertificate() const noexcept { return serverCertificate_; }
  EVP_PKEY* serverKey() const noexcept { return serverKey_; }
  // The authority's certificate in PEM, for a client's trust file.
  std::string authorityPem() const;

 private:
  EVP_PKEY* authorityKey_ = nullptr;
  X509* authority_ = nullptr;
  EVP_PKEY* serverKey_ = nullptr;
  X509* serverCertificate_ = nullptr;
};

}  // namespace talvo::testing
