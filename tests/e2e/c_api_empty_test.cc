// The C interface and the getters when discovery fails: the process keeps
// an empty accelerator list for good.
#include <string>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "support/log_capture.h"
#include "support/scoped_env.h"
#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"

namespace {

TEST(CApiEmptyTest, FailedDiscoveryLeavesAnEmptyList) {
  zvtest::AccelEnv env;
  unsetenv("ACCELERATOR_PROXYURI_OVERRIDE");
  unsetenv("CNS_CONTAINER_METADATA_URI");
  ZVLInit(nullptr);
  // After the first entry point: starting the log resets the logger's stream.
  zvtest::LogCapture log;
  unsigned int count = 7;
  EXPECT_EQ(GetDeviceCount(&count), -1);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(PingDevice(0), zva::kPingNotReachable);
  EXPECT_EQ(log.Count("Accelerator 0 is not initialized. Returning..\n"), 1);
  EXPECT_EQ(std::string(GetDevicesDescriptionJson()), "{}");

  EXPECT_EQ(zva::GetAccelerator(), nullptr);
  EXPECT_EQ(zva::SingletonAccelerator(), nullptr);
  EXPECT_EQ(zva::GetAcceleratorByZvaId("zva-x"), nullptr);
  EXPECT_EQ(zva::GetAcceleratorByDeviceName("dev-x"), nullptr);
  EXPECT_EQ(zva::GetAcceleratorByDeviceOrdinal(0), nullptr);
  EXPECT_EQ(log.Count("[GetAcceleratorByDeviceOrdinal] no device found for "
                      "ZVA device ordinal: 0 \n"),
            1);
  EXPECT_TRUE(zva::DescribeAccelerators().empty());
  EXPECT_TRUE(zva::GetAcceleratorsMetadata().empty());
  EXPECT_EQ(zva::KickOffKeepAliveThread(nullptr, zva::Versions(), "mxnet"),
            zva::kInternalError);
  EXPECT_EQ(zva::GetAcceleratorChannel(nullptr), nullptr);

  ZVLShutdown();
  EXPECT_EQ(GetDeviceCount(&count), -1);
  EXPECT_EQ(PingDevice(0), zva::kPingNotReachable);
}

}  // namespace
