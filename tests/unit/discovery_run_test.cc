#include "discovery/discovery_run.h"

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "errors/catalogue.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"

namespace zva {
namespace {

using zvtest::LogCapture;
using zvtest::ScopedEnv;

using Details = std::map<std::string, std::string>;
using Ids = std::vector<std::string>;

// A scripted discovery object that records the calls made into it. The test
// owns it; Release only records.
class FakeDiscover : public DiscoverInterface {
 public:
  int Release() override {
    calls.push_back("Release");
    return 0;
  }
  bool IsCNSContainer() override {
    calls.push_back("IsCNSContainer");
    return is_container;
  }
  int DiscoverRegion(std::string& out) override {
    calls.push_back("DiscoverRegion");
    if (region_status == 0) out = region;
    return region_status;
  }
  int DiscoverProxy(std::string& out) override {
    calls.push_back("DiscoverProxy");
    if (proxy_status == 0) out = proxy;
    return proxy_status;
  }
  int DiscoverAcceleratorSlots(std::vector<std::string>& out) override {
    calls.push_back("DiscoverAcceleratorSlots");
    out.insert(out.end(), ids.begin(), ids.end());
    return slots_status;
  }
  int DiscoverAcceleratorSlotDetails(const std::string& id,
                                     Details& out) override {
    calls.push_back("DiscoverAcceleratorSlotDetails " + id);
    auto it = details.find(id);
    if (it == details.end()) return 19;
    for (const auto& entry : it->second.second) out[entry.first] = entry.second;
    return it->second.first;
  }

  // Script.
  int proxy_status = 0;
  std::string proxy = "runtime.zorvel.r.kestrocloud.com:443";
  int region_status = 0;
  std::string region = "r";
  int slots_status = 0;
  Ids ids;
  bool is_container = false;
  std::map<std::string, std::pair<int, Details>> details;

  std::vector<std::string> calls;
};

Details VMHDetails(const std::string& id, const std::string& type) {
  return {{"version", "version_2018_04_12"}, {"id", id}, {"type", type}};
}

Details CNSDetails(const std::string& id, const std::string& type,
                   const std::string& device) {
  Details d = VMHDetails(id, type);
  d["deviceId"] = device;
  return d;
}

class DiscoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_.Set("HOME", ::testing::TempDir());
    env_.Unset("ZV_ENABLE_LOGGING");
    env_.Unset("ACCELERATOR_PROXYURI_OVERRIDE");
    env_.Unset("ZV_VISIBLE_DEVICES");
    // Discovery starts the log, which points it back at standard output;
    // start it first so the capture below holds.
    InitLogging();
    log_.emplace();
  }

  DeviceMetadataRegistry Run(const char* endpoint = nullptr) {
    return GetDeviceMetadataRegistry(endpoint,
                                     [this] { return DiscoverPtr(&fake_); });
  }

  bool Logged(const std::string& text) const { return log_->Contains(text); }
  std::string Log() const { return log_->Text(); }

  ScopedEnv env_;
  std::optional<LogCapture> log_;
  FakeDiscover fake_;
};

TEST_F(DiscoveryTest, InstanceRunCallsDiscoverInOrder) {
  fake_.ids = {"zva-b", "zva-a"};
  fake_.details["zva-b"] = {kOk, VMHDetails("zva-b", "zva2.medium")};
  fake_.details["zva-a"] = {kOk, VMHDetails("zva-a", "zva1.xlarge")};
  DeviceMetadataRegistry registry = Run();

  EXPECT_EQ(fake_.calls,
            (Ids{"DiscoverProxy", "DiscoverRegion", "DiscoverAcceleratorSlots",
                 "IsCNSContainer", "DiscoverAcceleratorSlotDetails zva-b",
                 "DiscoverAcceleratorSlotDetails zva-a", "Release"}));
  ASSERT_EQ(registry.GetNumberOfDevices(), 2u);
  const DeviceMetadata& first = registry.GetDeviceMetadataByOrdinal(0);
  EXPECT_EQ(first.GetId(), "zva-a");
  EXPECT_EQ(first.GetType().to_string(), "zva1.xlarge");
  EXPECT_EQ(first.GetVersion(), "version_2018_04_12");
  EXPECT_EQ(first.GetDeviceName(), "");
  EXPECT_EQ(first.GetHealthStatus(), "unknown");
  EXPECT_EQ(registry.DeviceOrdinalToId(1), "zva-b");
  EXPECT_TRUE(Logged("GetDeviceMetadataRegistry.\n"));
  EXPECT_TRUE(Logged("Endpoint: runtime.zorvel.r.kestrocloud.com:443\n"));
  EXPECT_TRUE(Logged("Region: r\n"));
  EXPECT_TRUE(Logged("SetAssociations.\n"));
  EXPECT_TRUE(Logged("GetDeviceMetadataRegistry took "));
  EXPECT_FALSE(Logged("Discovery Failure")) << Log();
}

TEST_F(DiscoveryTest, ContainerDeviceNames) {
  fake_.is_container = true;
  fake_.ids = {"c-1", "c-2"};
  fake_.details["c-1"] = {kOk, CNSDetails("c-1", "zva1.medium", "dev-1")};
  Details fallback = VMHDetails("c-2", "zva1.medium");
  fallback["device_name"] = "named";
  fake_.details["c-2"] = {kOk, fallback};
  DeviceMetadataRegistry registry = Run();
  ASSERT_EQ(registry.GetNumberOfDevices(), 2u);
  EXPECT_EQ(registry.GetDeviceMetadataById("c-1").GetDeviceName(), "dev-1");
  EXPECT_EQ(registry.GetDeviceMetadataById("c-2").GetDeviceName(), "named");
  EXPECT_EQ(registry.DeviceNameToOrdinal("dev-1"), 0u);
}

TEST_F(DiscoveryTest, EndpointPrecedence) {
  fake_.ids = {"zva-a"};
  fake_.details["zva-a"] = {kOk, VMHDetails("zva-a", "zva1.medium")};
  env_.Set("ACCELERATOR_PROXYURI_OVERRIDE", "127.0.0.1:9");

  // The argument wins over the variable, which wins over discovery.
  EXPECT_EQ(Run("127.0.0.1:8").GetNumberOfDevices(), 1u);
  EXPECT_TRUE(Logged("Endpoint: 127.0.0.1:8\n"));
  EXPECT_FALSE(Logged("Overriding Ip/Port"));

  EXPECT_EQ(Run().GetNumberOfDevices(), 1u);
  EXPECT_TRUE(Logged("Overriding Ip/Port to 127.0.0.1:9\n"));
  EXPECT_TRUE(Logged("Endpoint: 127.0.0.1:9\n"));
  for (const std::string& call : fake_.calls) EXPECT_NE(call, "DiscoverProxy");

  // An empty variable is taken as the (unusable) endpoint.
  env_.Set("ACCELERATOR_PROXYURI_OVERRIDE", "");
  EXPECT_EQ(Run().GetNumberOfDevices(), 0u);
  EXPECT_TRUE(Logged("Endpoint: \nAccelerator ID: zva-a\n"));
  EXPECT_TRUE(
      Logged("[GetDeviceMetadataRegistry] Error - Discovery "
             "Failure: 19\n"));
  for (const std::string& call : fake_.calls) EXPECT_NE(call, "DiscoverProxy");
}

TEST_F(DiscoveryTest, FailedStepsGiveAnEmptyRegistry) {
  const std::string kWarning =
      "Warning - Preconditions not met for reaching Accelerator\n";
  const struct {
    const char* name;
    void (*script)(FakeDiscover&);
    std::vector<std::string> logged;
    std::string last_call_before_release;
  } cases[] = {
      {"endpoint",
       [](FakeDiscover& f) { f.proxy_status = kDiscoveryFailure; },
       {"[GetDeviceMetadataRegistry] Error - Discovery Failure: 19\n"},
       "DiscoverProxy"},
      {"region",
       [](FakeDiscover& f) { f.region_status = kRegionNotFound; },
       {"Failed to detect region\n",
        "[GetDeviceMetadataRegistry] Unknown Exception: 40\n"},
       "DiscoverRegion"},
      {"list",
       [](FakeDiscover& f) { f.slots_status = kDiscoveryFailure; },
       {"[GetDeviceMetadataRegistry] Error - Discovery Failure: 19\n"},
       "DiscoverAcceleratorSlots"},
      {"container details",
       [](FakeDiscover& f) {
         f.is_container = true;
         f.ids = {"c-1"};
       },
       {"Failed to detect accelerator details for accelerator: c-1\n",
        "Accelerator ID: \n",
        "[GetDeviceMetadataRegistry] Error - Discovery Failure: 1050\n"},
       "DiscoverAcceleratorSlotDetails c-1"},
      {"container details with a type",
       [](FakeDiscover& f) {
         f.is_container = true;
         f.ids = {"c-1"};
         f.details["c-1"] = {kDiscoveryFailure,
                             VMHDetails("c-1", "zva1.large")};
       },
       {"Failed to detect accelerator details for accelerator: c-1\n",
        "[GetDeviceMetadataRegistry] Error - Discovery Failure: 19\n"},
       "DiscoverAcceleratorSlotDetails c-1"},
      {"instance details",
       [](FakeDiscover& f) { f.ids = {"zva-a"}; },
       {"Accelerator ID: zva-a\n",
        "[GetDeviceMetadataRegistry] Error - Discovery Failure: 1050\n"},
       "DiscoverAcceleratorSlotDetails zva-a"},
      {"empty region",
       [](FakeDiscover& f) {
         f.region = "";
         f.ids = {"zva-a"};
         f.details["zva-a"] = {kOk, VMHDetails("zva-a", "zva1.large")};
       },
       {"Region: \n",
        "[GetDeviceMetadataRegistry] Error - Discovery Failure: 19\n"},
       "DiscoverAcceleratorSlotDetails zva-a"},
      {"second type unknown",
       [](FakeDiscover& f) {
         f.ids = {"zva-a", "zva-b"};
         f.details["zva-a"] = {kOk, VMHDetails("zva-a", "zva1.large")};
         f.details["zva-b"] = {kOk, VMHDetails("zva-b", "zva9.large")};
       },
       {"[GetDeviceMetadataRegistry] Error - Discovery Failure: 1050\n"},
       "DiscoverAcceleratorSlotDetails zva-b"},
      // A details document without an identifier used to yield a device
      // with an empty identifier on an instance.
      {"instance details without identifier",
       [](FakeDiscover& f) {
         f.ids = {"zva-a"};
         f.details["zva-a"] = {kOk, VMHDetails("", "zva1.large")};
       },
       {"[GetDeviceMetadataRegistry] Error - Discovery Failure: 19\n"},
       "DiscoverAcceleratorSlotDetails zva-a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeDiscover fake;
    c.script(fake);
    LogCapture log;
    DeviceMetadataRegistry registry = GetDeviceMetadataRegistry(
        nullptr, [&fake] { return DiscoverPtr(&fake); });
    EXPECT_EQ(registry.GetNumberOfDevices(), 0u);
    EXPECT_EQ(registry.GenerateDevicesDescriptionJson(), "{}");
    for (const std::string& text : c.logged) {
      EXPECT_TRUE(log.Contains(text)) << text << "\n---\n" << log.Text();
    }
    ASSERT_GE(fake.calls.size(), 2u);
    EXPECT_EQ(fake.calls.back(), "Release");
    EXPECT_EQ(fake.calls[fake.calls.size() - 2], c.last_call_before_release);
  }
}

TEST_F(DiscoveryTest, PreconditionWarningLines) {
  fake_.region = "";
  fake_.ids = {"zva-a"};
  fake_.details["zva-a"] = {kOk, VMHDetails("zva-a", "zva1.large")};
  Run("ep:1");
  EXPECT_TRUE(
      Logged("Warning - Preconditions not met for reaching Accelerator"
             "\nEndpoint: ep:1\nAccelerator ID: zva-a\nRegion: \n"))
      << Log();
}

// Identifiers and device names of a details document, and a region, went
// into request headers unchecked, where gRPC stops the process.
TEST_F(DiscoveryTest, ValuesGrpcCannotSendFailTheRunNamingThem) {
  const struct {
    bool container;
    Details details;
    std::string region;
    std::string logged;
    std::string named;
  } cases[] = {
      {false, VMHDetails("zva-a\x01", "zva1.large"), "r",
       "Discovery Failure: 19\n",
       "accelerator identifier \"zva-a\\x01\" from the details of "
       "accelerator zva-a is refused"},
      {true, CNSDetails("z\xc3\xa4", "zva1.large", "dev-0"), "r",
       "Discovery Failure: 19\n",
       "accelerator identifier \"z\\xc3\\xa4\" from the details of "
       "accelerator zva-a is refused"},
      {true, CNSDetails("zva-a", "zva1.large", "dev 0\n"), "r",
       "Discovery Failure: 19\n",
       "device name \"dev 0\\x0a\" from the details of accelerator zva-a is "
       "refused"},
      {false, VMHDetails("zva-a", "zva1.large"), "us-west-2\r",
       "Unknown Exception: 40\n",
       "region \"us-west-2\\x0d\" from discovery is refused"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    FakeDiscover fake;
    fake.is_container = c.container;
    fake.region = c.region;
    fake.ids = {"zva-a"};
    fake.details["zva-a"] = {kOk, c.details};
    LogCapture log;
    util::SetLastError("sentinel");
    DeviceMetadataRegistry registry = GetDeviceMetadataRegistry(
        nullptr, [&fake] { return DiscoverPtr(&fake); });
    EXPECT_EQ(registry.GetNumberOfDevices(), 0u);
    EXPECT_TRUE(log.Contains(c.logged)) << log.Text();
    EXPECT_NE(util::LastError().find(c.named), std::string::npos)
        << util::LastError();
  }
}

// One accelerator listed twice (the details override, for one, names the
// same accelerator for every entry) became two devices, and so two
// channels and two sessions.
TEST_F(DiscoveryTest, AcceleratorFoundTwiceIsOneDevice) {
  fake_.ids = {"zva-b", "zva-a", "zva-c"};
  fake_.details["zva-b"] = {kOk, VMHDetails("zva-b", "zva2.large")};
  fake_.details["zva-a"] = {kOk, VMHDetails("zva-b", "zva1.large")};
  fake_.details["zva-c"] = {kOk, VMHDetails("zva-c", "zva1.large")};
  DeviceMetadataRegistry registry = Run();
  ASSERT_EQ(registry.GetNumberOfDevices(), 2u);
  EXPECT_EQ(registry.GetDeviceMetadataById("zva-b").GetType().to_string(),
            "zva2.large");
  EXPECT_EQ(registry.DeviceOrdinalToId(0), "zva-c");
  EXPECT_TRUE(
      Logged("Ignoring accelerator zva-b found more than once; the "
             "first entry stays\n"))
      << Log();
}

TEST_F(DiscoveryTest, NoAcceleratorIsNotADiscoveryFailure) {
  EXPECT_EQ(Run().GetNumberOfDevices(), 0u);
  EXPECT_TRUE(Logged("Failed to detect any accelerator\n"));
  EXPECT_FALSE(Logged("Discovery Failure"));
  EXPECT_FALSE(Logged("Unknown Exception"));
  EXPECT_EQ(fake_.calls.back(), "Release");
  for (const std::string& call : fake_.calls) EXPECT_NE(call, "IsCNSContainer");
}

TEST_F(DiscoveryTest, VisibleDevicesApplyToTheResult) {
  env_.Set("ZV_VISIBLE_DEVICES", "1");
  fake_.ids = {"zva-a", "zva-b"};
  fake_.details["zva-a"] = {kOk, VMHDetails("zva-a", "zva1.large")};
  fake_.details["zva-b"] = {kOk, VMHDetails("zva-b", "zva1.large")};
  DeviceMetadataRegistry registry = Run();
  ASSERT_EQ(registry.GetNumberOfDevices(), 1u);
  EXPECT_EQ(registry.DeviceOrdinalToId(0), "zva-b");
}

TEST_F(DiscoveryTest, HandleDiscoveryFailureLine) {
  const struct {
    int code;
    const char* prefix;
  } cases[] = {
      {kDiscoveryFailure, "Error - Discovery Failure: "},
      {kDeviceOrdinalOutOfRange, "Error - Discovery Failure: "},
      {kDeviceNameNotFound, "Error - Discovery Failure: "},
      {kUnknownDeviceSize, "Error - Discovery Failure: "},
      {kRegionNotFound, "Unknown Exception: "},
      {1046, "Unknown Exception: "},
      {1053, "Unknown Exception: "},
      {kOk, "Unknown Exception: "},
      {-19, "Unknown Exception: "},
  };
  for (const auto& c : cases) {
    LogCapture log;
    HandleDiscoveryFailure("Where", c.code);
    EXPECT_TRUE(log.Contains("] [Where] " + std::string(c.prefix) +
                             std::to_string(c.code) + "\n"))
        << log.Text();
  }
  LogCapture log;
  HandleDiscoveryFailure(nullptr, kDiscoveryFailure);
  EXPECT_TRUE(log.Contains("[] Error - Discovery Failure: 19\n"));
}

TEST_F(DiscoveryTest, GetDevicesListsIdentifiers) {
  fake_.ids = {"zva-b", "zva-a"};
  Ids ids = {"kept"};
  EXPECT_TRUE(GetDevices(ids, [this] { return DiscoverPtr(&fake_); }));
  EXPECT_EQ(ids, (Ids{"kept", "zva-b", "zva-a"}));
  EXPECT_EQ(fake_.calls, (Ids{"DiscoverAcceleratorSlots", "Release"}));

  FakeDiscover failing;
  failing.slots_status = kDiscoveryFailure;
  Ids none;
  EXPECT_FALSE(GetDevices(none, [&failing] { return DiscoverPtr(&failing); }));
  EXPECT_TRUE(Logged("Failed to discover Accelerators.\n"));
  EXPECT_EQ(failing.calls.back(), "Release");
}

// The production path: a real Discover over a real CurlHelper, with every
// answer from the environment and the metadata address a closed loopback
// port.
class DiscoveryFromEnvironmentTest : public DiscoveryTest {
 protected:
  void SetUp() override {
    DiscoveryTest::SetUp();
    env_.Set("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1");
    env_.Unset("CNS_CONTAINER_METADATA_URI");
    env_.Unset("KCP_DEFAULT_REGION");
    env_.Set("KCP_REGION", "test-1");
    env_.Set("KCP_ACCESS_KEY_ID", "AKIDTEST");
    env_.Set("KCP_SECRET_ACCESS_KEY", "secret");
    env_.Set("QUERY_ACCELERATORS_RESPONSE_OVERRIDE", "zva-1");
    env_.Set("QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE",
             "{\"version_2018_04_12\":{\"zorvelAcceleratorId\":\"zva-1\","
             "\"zorvelAcceleratorType\":\"zva2.large\"}}");
  }
};

TEST_F(DiscoveryFromEnvironmentTest, BuildsTheRegistry) {
  DeviceMetadataRegistry registry = GetDeviceMetadataRegistry(nullptr);
  ASSERT_EQ(registry.GetNumberOfDevices(), 1u) << Log();
  EXPECT_EQ(registry.GenerateDevicesDescriptionJson(),
            "{\"zva-1\": {\"version\":\"version_2018_04_12\", \"type\": "
            "\"zva2.large\", \"ordinal\": 0}}");
  // The endpoint came from the identity-less region.
  EXPECT_TRUE(Logged("Endpoint: runtime.zorvel.test-1.kestrocloud.com:443\n"));

  Ids ids;
  EXPECT_TRUE(GetDevices(ids));
  EXPECT_EQ(ids, (Ids{"zva-1"}));
}

TEST_F(DiscoveryFromEnvironmentTest, UnreachableServiceWithoutRegion) {
  env_.Unset("KCP_REGION");
  EXPECT_EQ(GetDeviceMetadataRegistry(nullptr).GetNumberOfDevices(), 0u);
  EXPECT_TRUE(
      Logged("[GetDeviceMetadataRegistry] Error - Discovery "
             "Failure: 19\n"));

  env_.Unset("QUERY_ACCELERATORS_RESPONSE_OVERRIDE");
  Ids ids;
  EXPECT_FALSE(GetDevices(ids));
  EXPECT_TRUE(ids.empty());
}

}  // namespace
}  // namespace zva
