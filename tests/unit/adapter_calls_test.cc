#include "adapters/adapter_calls.h"

#include <new>
#include <string>

#include <gtest/gtest.h>

#include "errors/catalogue.h"
#include "errors/classification.h"
#include "rpc/wire_transform.h"
#include "support/log_capture.h"

namespace zva {
namespace {

constexpr int64_t kLimit = util::kMaxWireMessageBytes;
// The largest bytes field a request may carry beside its fixed fields.
constexpr size_t kRoom = size_t{kLimit} - RequestCheck::kRequestEnvelopeBytes -
                         util::kFieldEnvelopeBytes;

// Serialized PyTorch models and tensors of 2 GiB or more were copied into a
// request that protobuf then refused to serialize. Sizes alone decide, so
// no such string is needed here.
TEST(RequestCheckTest, RequestsBeyondWhatTheWireCarriesAreRefused) {
  const struct {
    const char* what;
    std::vector<size_t> bytes_fields;
    bool fits;
  } kCases[] = {
      {"nothing", {}, true},
      {"a model of 2 GiB", {size_t{1} << 31}, false},
      {"a model of 16 EiB", {~size_t{0}}, false},
      {"two inputs of 1.5 GiB", {size_t{3} << 29, size_t{3} << 29}, false},
      {"one field filling the room", {kRoom}, true},
      {"one byte more", {kRoom + 1}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    RequestCheck check;
    for (size_t size : c.bytes_fields) check.Bytes(size);
    EXPECT_EQ(check.problem().empty(), c.fits) << check.problem();
  }
}

// std::bad_alloc from a large tensor escaped the adapters. Every adapter
// operation ends in this handler; allocating to exhaustion is not possible
// under the sanitizers, so the handler is driven directly.
TEST(RequestCheckTest, ExceptionsAtTheAdapterBoundaryBecomeCodes) {
  zvtest::LogCapture capture(2);
  const struct {
    std::function<void()> raise;
    int want;
    const char* logged;
  } kCases[] = {
      {[] { throw std::bad_alloc(); }, kInternalError,
       "[MXNet][6] Failed: Out of memory\n"},
      {[] { throw std::runtime_error("boom"); }, kInternalError,
       "[MXNet][6] Failed: boom\n"},
      {[] { throw kTensorFormatError; }, kTensorFormatError,
       "[MXNet][6] Failed: Tensor format incorrect\n"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.logged);
    util::SetLastError("stale");
    capture.Clear();
    int result = -1;
    try {
      c.raise();
    } catch (...) {
      result = ReportCaughtException(nullptr, "MXNet", functions::INFER);
    }
    EXPECT_EQ(result, c.want);
    EXPECT_NE(capture.Text().find(c.logged), std::string::npos)
        << capture.Text();
    EXPECT_NE(util::LastError().find("ZV Error Code: [1, 9, " +
                                     std::to_string(c.want) + "]"),
              std::string::npos)
        << util::LastError();
  }
}

}  // namespace
}  // namespace zva
