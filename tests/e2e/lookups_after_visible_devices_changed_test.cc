// "ZV_VISIBLE_DEVICES" changes between building the accelerator list and
// the first lookups, so the lookups' registries number the devices otherwise
// than the list. A lookup once returned the list's accelerator at the
// registry's ordinal: a neighbour. The list is built once per process, so
// this program is one scenario.
#include <string>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/sim_harness.h"
#include "zva/zva_accelerator.h"

namespace {

TEST(LookupsAfterVisibleDevicesChangedTest, GiveTheMatchingAcceleratorOrNone) {
  zvsim::Options options = zvtest::SimHarness::PlainOptions();
  options.host_kind = zvsim::HostKind::kContainer;
  options.accelerators = {{"zva-aaa", "zva1.medium", "dev-a"},
                          {"zva-bbb", "zva1.large", "dev-b"},
                          {"zva-ccc", "zva2.medium", "dev-c"}};
  zvtest::SimHarness h(options);
  // The list holds bbb at 0 and ccc at 1; the registries, built on the first
  // lookups, number aaa 0, bbb 1 and ccc 2.
  setenv("ZV_VISIBLE_DEVICES", "zva-bbb,zva-ccc", 1);
  ASSERT_EQ(zva::SingletonAllAccelerators().size(), 2u);
  unsetenv("ZV_VISIBLE_DEVICES");

  struct Case {
    std::string id;
    std::string device_name;
    std::string expected_id;  // empty: no accelerator
  };
  const Case cases[] = {{"zva-aaa", "dev-a", ""},
                        {"zva-bbb", "dev-b", "zva-bbb"},
                        {"zva-ccc", "dev-c", "zva-ccc"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    // GetAcceleratorId names no accelerator for an empty pointer.
    EXPECT_EQ(zva::GetAcceleratorId(zva::GetAcceleratorByZvaId(c.id).get()),
              c.expected_id);
    EXPECT_EQ(zva::GetAcceleratorId(
                  zva::GetAcceleratorByDeviceName(c.device_name).get()),
              c.expected_id);
  }
}

}  // namespace
