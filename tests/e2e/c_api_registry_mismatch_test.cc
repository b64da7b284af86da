// The lookups by identifier and device name keep registries of their own,
// from discovery runs apart from the list's. When the two disagree, an
// ordinal beyond the list gives an empty pointer, never a read past it.
#include <gtest/gtest.h>

#include "support/sim_harness.h"
#include "zva/zva_accelerator.h"

namespace {

TEST(RegistryMismatchTest, OrdinalBeyondTheListGivesEmptyPointer) {
  zvsim::Options options = zvtest::SimHarness::PlainOptions();
  options.host_kind = zvsim::HostKind::kContainer;
  options.accelerators = {{"zva-aaa", "zva1.medium", "dev-a"},
                          {"zva-bbb", "zva1.large", "dev-b"}};
  zvtest::SimHarness h(options);
  setenv("ZV_VISIBLE_DEVICES", "0", 1);
  ASSERT_EQ(zva::SingletonAllAccelerators().size(), 1u);
  // The lookups' registries see both devices.
  unsetenv("ZV_VISIBLE_DEVICES");
  EXPECT_EQ(zva::GetAcceleratorByZvaId("zva-bbb"), nullptr);
  EXPECT_EQ(zva::GetAcceleratorByDeviceName("dev-b"), nullptr);
  EXPECT_NE(zva::GetAcceleratorByZvaId("zva-aaa"), nullptr);
}

}  // namespace
