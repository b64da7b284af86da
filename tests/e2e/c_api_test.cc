// The C interface and the getters over one process-wide accelerator list,
// against the simulator's container metadata. The list is built once per
// process, so this program is one scenario.
#include <string>

#include <gtest/gtest.h>

#include "api/factory.h"
#include "support/log_capture.h"
#include "support/sim_harness.h"
#include "zva/zva_accelerator.h"
#include "zva/zva_client.h"

namespace {

using zvtest::kPatience;

zvsim::Options ThreeDevices() {
  zvsim::Options options = zvtest::SimHarness::PlainOptions();
  options.host_kind = zvsim::HostKind::kContainer;
  options.accelerators = {{"zva-ccc", "zva2.medium", "dev-c"},
                          {"zva-bbb", "zva1.large", "dev-b"},
                          {"zva-aaa", "zva1.medium", "dev-a"}};
  return options;
}

TEST(CApiTest, WholeLifeOfTheAcceleratorList) {
  zvtest::SimHarness h(ThreeDevices());
  // Sorted: aaa (zva1.medium), bbb (zva1.large), ccc (zva2.medium). Position
  // 0 and the identifier of ccc stay visible.
  setenv("ZV_VISIBLE_DEVICES", "0,zva-ccc", 1);

  ZVLInit(nullptr);
  unsigned int count = 7;
  EXPECT_EQ(GetDeviceCount(&count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(GetDeviceCount(nullptr), -1);

  const std::string json = GetDevicesDescriptionJson();
  EXPECT_NE(json.find("\"zva-aaa\": {\"version\":"), std::string::npos) << json;
  EXPECT_NE(json.find("\"type\": \"zva2.medium\", \"ordinal\": 1}"),
            std::string::npos)
      << json;
  EXPECT_EQ(json.find("zva-bbb"), std::string::npos) << json;
  // Computed once per process.
  setenv("ZV_VISIBLE_DEVICES", "", 1);
  EXPECT_EQ(std::string(GetDevicesDescriptionJson()), json);
  setenv("ZV_VISIBLE_DEVICES", "0,zva-ccc", 1);

  // Lookups by position, identifier, device name and ordinal.
  auto first = zva::GetAccelerator();
  EXPECT_EQ(zva::GetAcceleratorId(first.get()), "zva-aaa");
  EXPECT_EQ(zva::SingletonAccelerator().get(), first.get());
  EXPECT_EQ(&zva::SingletonAllAccelerators("10.0.0.1:443"),
            &zva::SingletonAllAccelerators());
  auto ccc = zva::GetAcceleratorByZvaId("zva-ccc");
  EXPECT_EQ(zva::GetAcceleratorId(ccc.get()), "zva-ccc");
  EXPECT_EQ(zva::GetAcceleratorByDeviceName("dev-c").get(), ccc.get());
  EXPECT_EQ(zva::GetAcceleratorByDeviceOrdinal(1).get(), ccc.get());
  {
    zvtest::LogCapture log;
    EXPECT_EQ(zva::GetAcceleratorByZvaId("zva-bbb"), nullptr);
    EXPECT_EQ(zva::GetAcceleratorByDeviceName("dev-b"), nullptr);
    EXPECT_EQ(zva::GetAcceleratorByDeviceOrdinal(2), nullptr);
    EXPECT_EQ(log.Count("[GetAcceleratorByZvaId] no device found for ZVA ID: "
                        "zva-bbb \n"),
              1);
    EXPECT_EQ(log.Count("[GetAcceleratorByDeviceName] no device found for ZVA "
                        "device name: dev-b \n"),
              1);
    EXPECT_EQ(log.Count("[GetAcceleratorByDeviceOrdinal] no device found for "
                        "ZVA device ordinal: 2 \n"),
              1);
  }

  // Two holders of one accelerator: dropping one leaves the other whole.
  auto by_ordinal = zva::GetAcceleratorByDeviceOrdinal(0);
  auto by_id = zva::GetAcceleratorByZvaId("zva-aaa");
  ASSERT_EQ(by_ordinal.get(), by_id.get());
  by_ordinal.reset();
  EXPECT_EQ(by_id->Ping(), zva::kOk);

  // The self-description and the framework query.
  testing::internal::CaptureStdout();
  std::shared_ptr<zva::ObjectInterface> framework;
  EXPECT_EQ(by_id->QueryInterface(zva::InterfaceID::kMXNet, zva::Versions(),
                                  &framework),
            zva::kOk);
  std::string description = testing::internal::GetCapturedStdout();
  EXPECT_EQ(framework, nullptr);
  EXPECT_NE(description.find("Using Kestro Zorvel Client Library Version: "
                             "1.5.3\nNumber of Zorvel Accelerators Available: "
                             "2\nZorvel Accelerator ID: zva-aaa\nZorvel "
                             "Accelerator Type: zva1.medium\nZorvel "
                             "Accelerator Ordinal: 0\n"),
            std::string::npos)
      << description;

  // PingDevice maps the results.
  EXPECT_EQ(PingDevice(0), zva::kPingHealthy);
  h.core().SetHealthy("zva-ccc", false);
  EXPECT_EQ(PingDevice(1), zva::kPingUnhealthy);
  h.core().SetHealthy("zva-ccc", true);
  {
    zvtest::LogCapture log;
    EXPECT_EQ(PingDevice(5), zva::kPingNotReachable);
    EXPECT_EQ(log.Count("Device index 5 is invalid.\n"), 1);
  }
  h.core().FailNext("Ping", 4, grpc::StatusCode::INTERNAL,
                   "23 internal server error", "zva-aaa");
  EXPECT_EQ(PingDevice(0), zva::kPingNotReachable);

  // A running health-check thread on ccc.
  EXPECT_EQ(zva::KickOffKeepAliveThread(ccc.get(), zva::Versions(), "mxnet"),
            zva::kOk);
  zva::Accelerator* ccc_impl = zva::AsAccelerator(ccc.get());
  zva::Accelerator* aaa_impl = zva::AsAccelerator(by_id.get());
  ASSERT_FALSE(ccc_impl->session_context_.Wait(kPatience).empty());
  EXPECT_NE(zva::GetAcceleratorChannel(ccc.get()), nullptr);

  // Shutdown drops the list's references only.
  ZVLShutdown();
  EXPECT_EQ(GetDeviceCount(&count), -1);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(PingDevice(0), zva::kPingNotReachable);
  EXPECT_EQ(zva::GetAccelerator(), nullptr);
  EXPECT_EQ(zva::GetAcceleratorByZvaId("zva-ccc"), nullptr);
  EXPECT_EQ(by_id->Ping(), zva::kOk);
  EXPECT_TRUE(ccc_impl->IsKeepAliveThreadRunning());
  EXPECT_FALSE(ccc_impl->IsReleased());

  // The last holder lets go: released, thread stopped, session destroyed.
  ccc.reset();
  EXPECT_TRUE(ccc_impl->IsReleased());
  EXPECT_FALSE(ccc_impl->IsKeepAliveThreadRunning());
  EXPECT_EQ(h.core().CallCount("DestroySession", grpc::StatusCode::OK), 1u);
  EXPECT_EQ(ccc_impl->Ping(), zva::kInternalError);
  EXPECT_EQ(zva::KickOffKeepAliveThread(ccc_impl, zva::Versions(), "mxnet"),
            zva::kInternalError);
  EXPECT_EQ(zva::GetAcceleratorChannel(ccc_impl), nullptr);

  by_id.reset();
  first.reset();
  EXPECT_FALSE(aaa_impl->IsReleased());  // SingletonAccelerator holds it
  zva::SingletonAccelerator().reset();
  EXPECT_TRUE(aaa_impl->IsReleased());
  EXPECT_EQ(aaa_impl->Ping(), zva::kInternalError);
  ZVLShutdown();
}

}  // namespace
