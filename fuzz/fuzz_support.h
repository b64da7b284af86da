#ifndef ZVA_FUZZ_FUZZ_SUPPORT_H_
#define ZVA_FUZZ_FUZZ_SUPPORT_H_

// What several fuzz targets share: a metadata fetcher that answers from
// memory, a library log that writes nothing, the size a tensor descriptor
// claims.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <utility>

#include "platform/log_stream.h"
#include "zva/zva_object.h"
#include "discovery/http_fetch.h"
#include "rpc/wire_transform.h"

namespace zvfuzz {

// Answers every request with the same body, without any network.
class FixedDocument : public HttpInterface {
 public:
  explicit FixedDocument(std::string body) : body_(std::move(body)) {}
  int DoHttp(const char* /*url*/, std::string& response) override {
    response += body_;
    return 0;
  }

 private:
  std::string body_;
};

// Logging is set up once per process: do it now, without glog, then raise
// the threshold above every level, so that the error lines hostile input
// provokes are neither formatted nor printed at every execution.
inline void SilenceLibraryLog() {
  unsetenv("ZV_ENABLE_LOGGING");
  zva::InitLogging();
  zva::logger::CLogger::zva_stderrthreshold_ = zva::logger::FATAL + 1;
}

// Bytes that `tensor`'s descriptor claims; -1 for one no size fits.
inline int64_t DescribedBytes(const zva::mxnet::MXTensor& tensor) {
  try {
    return zva::util::WireTransformer().GetSizeOfTensor(tensor.shape,
                                                        tensor.dtype);
  } catch (int) {
    return -1;
  }
}

}  // namespace zvfuzz

#endif  // ZVA_FUZZ_FUZZ_SUPPORT_H_
