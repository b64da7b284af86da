// The accelerator over TLS. gRPC reads its default roots once per process,
// so this program holds the only TLS simulator.
#include <gtest/gtest.h>

#include "support/sim_harness.h"
#include "zva/zva_codes.h"

namespace {

TEST(TlsTest, SignedConnectWithoutSessionTokenAndAPing) {
  zvsim::Options options;
  options.plaintext = false;
  zvtest::SimHarness h(options);
  ASSERT_FALSE(h.sim().CaFile().empty());
  auto accelerator = h.MakeAccelerator();
  EXPECT_EQ(accelerator->Connect(), zva::kOk);
  EXPECT_EQ(accelerator->Ping(), zva::kOk);
  auto journal = h.core().Journal();
  ASSERT_EQ(journal.size(), 2u);
  EXPECT_EQ(journal[0].method, "Connect");
  EXPECT_EQ(journal[0].code, grpc::StatusCode::OK) << journal[0].detail;
  EXPECT_EQ(journal[0].metadata.count("x-kst-security-token"), 0u);
  EXPECT_EQ(journal[0].authority, h.sim().Endpoint());
}

}  // namespace
