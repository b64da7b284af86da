#ifndef ZVSIM_TLS_H_
#define ZVSIM_TLS_H_

#include <string>

namespace zvsim {

// A throw-away certificate authority and a server certificate it signed,
// valid for IP 127.0.0.1 and DNS localhost. EC P-256 keys, so generating
// them takes milliseconds. All fields are PEM.
struct TlsMaterial {
  std::string ca_certificate;
  std::string server_certificate;
  std::string server_private_key;
};

// Generates fresh material; false with `error` set when OpenSSL fails.
bool GenerateTlsMaterial(TlsMaterial* out, std::string* error);

}  // namespace zvsim

#endif  // ZVSIM_TLS_H_
