#include "zvsim/tls.h"

#include <memory>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace zvsim {
namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

std::string OpenSslError(const std::string& what) {
  std::string text = what;
  const unsigned long code = ERR_get_error();
  if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof(buf));
    text += ": ";
    text += buf;
  }
  ERR_clear_error();
  return text;
}

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

// A certificate for `key` named `common_name`, valid from a day ago for a
// year (so a slightly skewed clock does not matter), not yet signed.
Owned<X509> NewCertificate(EVP_PKEY* key, const char* common_name) {
  Owned<X509> cert(X509_new());
  if (!cert) return nullptr;
  Owned<BIGNUM> serial(BN_new());
  if (!serial ||
      BN_rand(serial.get(), 64, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) != 1 ||
      BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get())) ==
          nullptr) {
    return nullptr;
  }
  if (X509_set_version(cert.get(), 2) != 1 ||
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600) == nullptr ||
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), 365L * 24 * 3600) ==
          nullptr ||
      X509_set_pubkey(cert.get(), key) != 1) {
    return nullptr;
  }
  X509_NAME* name = X509_get_subject_name(cert.get());
  if (X509_NAME_add_entry_by_txt(
          name, "O", MBSTRING_ASC,
          reinterpret_cast<const unsigned char*>("zv-sim"), -1, -1, 0) != 1 ||
      X509_NAME_add_entry_by_txt(
          name, "CN", MBSTRING_ASC,
          reinterpret_cast<const unsigned char*>(common_name), -1, -1,
          0) != 1) {
    return nullptr;
  }
  return cert;
}

bool ToPem(X509* cert, std::string* out) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return false;
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  out->assign(data, static_cast<size_t>(size));
  return true;
}

bool ToPem(EVP_PKEY* key, std::string* out) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0,
                                       nullptr, nullptr) != 1) {
    return false;
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  out->assign(data, static_cast<size_t>(size));
  return true;
}

}  // namespace

bool GenerateTlsMaterial(TlsMaterial* out, std::string* error) {
  auto fail = [error](const std::string& what) {
    if (error != nullptr) *error = OpenSslError(what);
    return false;
  };
  Owned<EVP_PKEY> ca_key(EVP_EC_gen("P-256"));
  Owned<EVP_PKEY> server_key(EVP_EC_gen("P-256"));
  if (!ca_key || !server_key) return fail("EC key generation failed");

  Owned<X509> ca = NewCertificate(ca_key.get(), "zv-sim test CA");
  if (!ca) return fail("CA certificate creation failed");
  if (X509_set_issuer_name(ca.get(), X509_get_subject_name(ca.get())) != 1 ||
      !AddExtension(ca.get(), ca.get(), NID_basic_constraints,
                    "critical,CA:TRUE") ||
      !AddExtension(ca.get(), ca.get(), NID_key_usage,
                    "critical,keyCertSign,cRLSign") ||
      !AddExtension(ca.get(), ca.get(), NID_subject_key_identifier, "hash") ||
      X509_sign(ca.get(), ca_key.get(), EVP_sha256()) == 0) {
    return fail("CA certificate signing failed");
  }

  Owned<X509> server = NewCertificate(server_key.get(), "localhost");
  if (!server) return fail("server certificate creation failed");
  if (X509_set_issuer_name(server.get(), X509_get_subject_name(ca.get())) !=
          1 ||
      !AddExtension(server.get(), ca.get(), NID_basic_constraints,
                    "critical,CA:FALSE") ||
      !AddExtension(server.get(), ca.get(), NID_key_usage,
                    "critical,digitalSignature,keyEncipherment") ||
      !AddExtension(server.get(), ca.get(), NID_ext_key_usage, "serverAuth") ||
      !AddExtension(server.get(), ca.get(), NID_subject_alt_name,
                    "IP:127.0.0.1,DNS:localhost") ||
      !AddExtension(server.get(), ca.get(), NID_authority_key_identifier,
                    "keyid:always") ||
      X509_sign(server.get(), ca_key.get(), EVP_sha256()) == 0) {
    return fail("server certificate signing failed");
  }

  TlsMaterial material;
  if (!ToPem(ca.get(), &material.ca_certificate) ||
      !ToPem(server.get(), &material.server_certificate) ||
      !ToPem(server_key.get(), &material.server_private_key)) {
    return fail("PEM encoding failed");
  }
  *out = std::move(material);
  return true;
}

}  // namespace zvsim
