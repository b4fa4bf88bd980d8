#include "testing/test_certificate.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace talvo::testing {
namespace {

void check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(std::string("test certificate: ") + what);
}

EVP_PKEY* makeKey() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  check(key != nullptr, "key generation");
  return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  check(extension != nullptr, "extension");
  X509_add_ext(certificate, extension, -1);
  X509_EXTENSION_free(extension);
}

X509* makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey) {
  X509* certificate = X509_new();
  check(certificate != nullptr, "X509_new");
  X509_set_version(certificate, 2);
  unsigned char serial[16];
  RAND_bytes(serial, sizeof serial);
  serial[0] &= 0x7f;
  BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
  BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate));
  BN_free(number);
  X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
  X509_gmtime_adj(X509_getm_notAfter(certificate), 2 * 24 * 3600);
  X509_set_pubkey(certificate, key);
  X509_NAME* name = X509_get_subject_name(certificate);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
  X509* signer = issuer != nullptr ? issuer : certificate;
  X509_set_issuer_name(certificate, X509_get_subject_name(signer));
  if (issuer == nullptr) {
    addExtension(certificate, certificate, NID_basic_constraints, "critical,CA:TRUE");
    addExtension(certificate, certificate, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(certificate, certificate, NID_subject_key_identifier, "hash");
  } else {
    addExtension(certificate, issuer, NID_basic_constraints, "critical,CA:FALSE");
    addExtension(certificate, issuer, NID_key_usage, "critical,digitalSignature");
    addExtension(certificate, issuer, NID_ext_key_usage, "serverAuth");
    addExtension(certificate, issuer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    addExtension(certificate, issuer, NID_authority_key_identifier, "keyid");
  }
  check(X509_sign(certificate, issuerKey != nullptr ? issuerKey : key, EVP_sha256()) > 0, "signing");
  return certificate;
}

}  // namespace

TestCertificate::TestCertificate() {
  authorityKey_ = makeKey();
  authority_ = makeCertificate(authorityKey_, "TALVO test authority", nullptr, nullptr);
  serverKey_ = makeKey();
  serverCertificate_ = makeCertificate(serverKey_, "localhost", authority_, authorityKey_);
}

TestCertificate::~TestCertificate() {
  X509_free(serverCertificate_);
  EVP_PKEY_free(serverKey_);
  X509_free(authority_);
  EVP_PKEY_free(authorityKey_);
}

std::string TestCertificate::authorityPem() const {
  BIO* bio = BIO_new(BIO_s_mem());
  check(bio != nullptr && PEM_write_bio_X509(bio, authority_) == 1, "PEM");
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string pem(data, static_cast<std::size_t>(length));
  BIO_free(bio);
  return pem;
}

}  // namespace talvo::testing
