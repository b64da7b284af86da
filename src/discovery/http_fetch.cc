#include "discovery/http_fetch.h"

#include <exception>
#include <limits>

#include <curl/curl.h>

#include "platform/kcp.h"
#include "platform/log_stream.h"

namespace {

// Bounds each metadata query, so a host without a metadata service costs at
// most this long per query. The credentials chain's requests to the same
// service share the bound.
constexpr long kHttpTimeoutSeconds = kcp::kMetadataQueryTimeout.count();

}  // namespace

CurlHelper::CurlHelper() : curl_(curl_easy_init()) {}

CurlHelper::~CurlHelper() {
  if (curl_ != nullptr) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

size_t CurlHelper::CurlWritedataCallback(void* data, size_t size, size_t count,
                                         std::string* response) {
  if (count != 0 && size > std::numeric_limits<size_t>::max() / count) return 0;
  const size_t bytes = size * count;
  if (bytes == 0) return 0;
  try {
    response->append(static_cast<const char*>(data), bytes);
  } catch (const std::exception&) {
    // std::string::append leaves the string unchanged when it cannot grow;
    // a short count makes libcurl end the transfer with a write error.
    return 0;
  }
  return bytes;
}

int CurlHelper::DoHttp(const char* url, std::string& response) {
  zva::logger::CLogger log;
  CURL* curl = static_cast<CURL*>(curl_);
  CURLcode result = CURLE_FAILED_INIT;
  if (curl != nullptr) {
    curl_easy_setopt(curl, CURLOPT_URL, url);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &CurlWritedataCallback);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, kHttpTimeoutSeconds);
    result = curl_easy_perform(curl);
  }
  if (result == CURLE_OK) {
    log << "[DoHttp] Success\n" << zva::logger::INFO;
    return zva::kOk;
  }
  log << "Error during cURL call: " << curl_easy_strerror(result) << "\n"
      << "Error Code: " << static_cast<int>(result) << "\n"
      << zva::logger::WARNING;
  return zva::kInternalError;
}
