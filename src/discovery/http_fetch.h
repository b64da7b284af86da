#ifndef ZVA_DISCOVERY_HTTP_FETCH_H_
#define ZVA_DISCOVERY_HTTP_FETCH_H_

#include <cstddef>
#include <string>

#include "zva/zva_codes.h"

// The one way discovery reads the host's metadata services: a plain HTTP GET
// whose whole body comes back as a string. Tests hand in implementations of
// their own.
class HttpInterface {
 public:
  // Fetches `url` and appends the body to `response`. Returns kOk on success
  // and another client status code on any failure (including an HTTP status of
  // 400 or above).
  virtual int DoHttp(const char* url, std::string& response) = 0;
  // Owners hold implementations through std::unique_ptr<HttpInterface>.
  virtual ~HttpInterface() = default;
};

// HttpInterface over one libcurl easy handle, which every fetch of the object
// reuses (so connections may be reused too). Each fetch may take at most 2
// seconds, connection included; redirects are not followed.
//
// Not thread-safe: an object belongs to one thread at a time.
class CurlHelper : public HttpInterface {
 public:
  CurlHelper();
  ~CurlHelper() override;

  CurlHelper(const CurlHelper&) = delete;
  CurlHelper& operator=(const CurlHelper&) = delete;

  // Returns kOk on success and kInternalError on any failure, logging
  // libcurl's reason.
  // Whatever part of the body arrived before a failure stays in `response`.
  int DoHttp(const char* url, std::string& response) override;

  // The libcurl write function: appends size * count bytes to `response` and
  // returns that product, or 0 (which ends the transfer) when `response`
  // cannot grow.
  static size_t CurlWritedataCallback(void* data, size_t size, size_t count,
                                      std::string* response);

 private:
  void* curl_;  // CURL*, kept opaque so that callers need no libcurl header.
};

#endif  // ZVA_DISCOVERY_HTTP_FETCH_H_
