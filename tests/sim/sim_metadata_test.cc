// The metadata service of the simulator: exact document shapes over HTTP,
// overrides, and that the library's discovery code reads both host kinds.

#include <filesystem>

#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>

#include "zva/discover/zva_discover.pb.h"

#include "discovery/http_fetch.h"
#include "discovery/metadata_client.h"
#include "support/sim_client.h"
#include "zva/zva_object.h"

namespace zvtest {
namespace {

constexpr char kVmList[] = "/latest/meta-data/zorvel/associations/";
constexpr char kIdentity[] = "/latest/dynamic/instance-identity/document";
constexpr char kContainerList[] = "/container/associations/zorvel";

class MetadataTest : public ::testing::Test {
 protected:
  void Start(
      zvsim::IdentityDocument identity = zvsim::IdentityDocument::kWithRegion) {
    zvsim::Options options;
    options.plaintext = true;
    options.region = "ap-south-2";
    options.identity_document = identity;
    options.accelerators = {{"zva-aaaaaaaaaaaaaaaa1", "zva2.large", "gpu\"7"},
                            {"zva-aaaaaaaaaaaaaaaa0", "zva1.medium", ""}};
    sim_ = std::make_unique<zvsim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(&error)) << error;
    http_ =
        std::make_unique<httplib::Client>("127.0.0.1", sim_->metadata_port());
  }

  std::pair<int, std::string> Get(const std::string& path) {
    return HttpGet(*http_, path);
  }

  std::unique_ptr<zvsim::Simulator> sim_;
  std::unique_ptr<httplib::Client> http_;
};

template <typename Message>
Message Parse(const std::string& json) {
  Message message;
  EXPECT_TRUE(google::protobuf::util::JsonStringToMessage(json, &message).ok())
      << json;
  return message;
}

TEST_F(MetadataTest, DocumentShapes) {
  Start();
  // The instance list is plain text, one id a line, in configured order.
  EXPECT_EQ(Get(kVmList),
            std::make_pair(200, std::string("zva-aaaaaaaaaaaaaaaa1\n"
                                            "zva-aaaaaaaaaaaaaaaa0")));
  EXPECT_EQ(
      Get(std::string(kVmList) + "zva-aaaaaaaaaaaaaaaa1"),
      std::make_pair(200, std::string("{\"version_2018_04_12\":{"
                                      "\"zorvelAcceleratorId\":\"zva-"
                                      "aaaaaaaaaaaaaaaa1\","
                                      "\"zorvelAcceleratorType\":\"zva2.large\""
                                      "}}")));
  EXPECT_EQ(Get(std::string(kVmList) + "zva-unknown").first, 404);

  auto list =
      Parse<zva::discover::AssociatedAccelerators>(Get(kContainerList).second);
  ASSERT_EQ(list.associations_size(), 2);
  EXPECT_EQ(list.associations(0), "zva-aaaaaaaaaaaaaaaa1");
  const auto [status, body] =
      Get(std::string(kContainerList) + "/zva-aaaaaaaaaaaaaaaa1");
  EXPECT_EQ(status, 200);
  EXPECT_NE(body.find("\"deviceId\":\"gpu\\\"7\""), std::string::npos) << body;
  auto details = Parse<zva::discover::CNSAcceleratorMetadata>(body);
  EXPECT_EQ(details.version_2018_04_12().deviceid(), "gpu\"7");
  EXPECT_EQ(details.version_2018_04_12().zorvelacceleratortype(), "zva2.large");
  EXPECT_EQ(
      Parse<zva::discover::CNSAcceleratorMetadata>(
          Get(std::string(kContainerList) + "/zva-aaaaaaaaaaaaaaaa0").second)
          .version_2018_04_12()
          .deviceid(),
      "zvadev1");

  google::protobuf::util::JsonParseOptions lenient;
  lenient.ignore_unknown_fields = true;
  zva::discover::InstanceIdentityMetadata identity;
  ASSERT_TRUE(google::protobuf::util::JsonStringToMessage(Get(kIdentity).second,
                                                          &identity, lenient)
                  .ok());
  EXPECT_EQ(identity.region(), "ap-south-2");
  EXPECT_EQ(Get("/elsewhere").first, 404);
  EXPECT_EQ(sim_->core().MetadataRequestCount(kIdentity), 1u);
}

TEST_F(MetadataTest, IdentityWithoutRegionOrAbsent) {
  Start(zvsim::IdentityDocument::kWithoutRegion);
  const auto [status, body] = Get(kIdentity);
  EXPECT_EQ(status, 200);
  EXPECT_EQ(body.find("region"), std::string::npos);
  sim_.reset();
  Start(zvsim::IdentityDocument::kAbsent);
  EXPECT_EQ(Get(kIdentity).first, 404);
}

TEST_F(MetadataTest, OverridesReplaceStatusBodyAndDelay) {
  Start();
  sim_->core().SetMetadataOverride(kVmList, {500, std::nullopt, {}});
  EXPECT_EQ(Get(kVmList).first, 500);
  EXPECT_EQ(Get(kVmList).second,
            "zva-aaaaaaaaaaaaaaaa1\nzva-aaaaaaaaaaaaaaaa0");
  sim_->core().SetMetadataOverride(kIdentity, {std::nullopt, "not json", {}});
  EXPECT_EQ(Get(kIdentity), std::make_pair(200, std::string("not json")));
  sim_->core().SetMetadataOverride("/new/path",
                                   {201, "made up", milliseconds(20)});
  EXPECT_EQ(Get("/new/path"), std::make_pair(201, std::string("made up")));
  // One that waits for a request answered normally, as a second discovery
  // run's would be.
  sim_->core().SetMetadataOverride("/later", {201, "later", {}, 1});
  EXPECT_EQ(Get("/later").first, 404);
  EXPECT_EQ(Get("/later"), std::make_pair(201, std::string("later")));
  sim_->core().ClearMetadataOverrides();
  EXPECT_EQ(Get(kVmList).first, 200);
  EXPECT_EQ(Get("/new/path").first, 404);
}

TEST_F(MetadataTest, StopWakesADelayedResponse) {
  Start();
  sim_->core().SetMetadataOverride(
      kIdentity, {std::nullopt, std::nullopt, milliseconds(600000)});
  std::thread client([this] { Get(kIdentity); });
  // Once the request is in, stopping must not wait out the delay.
  ASSERT_TRUE(sim_->core().WaitForMetadataRequests(kIdentity, 1, seconds(30)));
  sim_->Stop();
  client.join();
}

// The library's discovery code against the simulator. Environment set up
// as every discovery test must: local metadata, a fresh HOME, credentials.
class DiscoveryTest : public MetadataTest {
 protected:
  void SetUp() override {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "zv_sim_disc_XXXXXX")
            .string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    home_ = pattern;
    setenv("HOME", home_.c_str(), 1);
    setenv("KCP_ACCESS_KEY_ID", "AK", 1);
    setenv("KCP_SECRET_ACCESS_KEY", "SK", 1);
    unsetenv("KCP_REGION");
    unsetenv("KCP_DEFAULT_REGION");
    unsetenv("CNS_CONTAINER_METADATA_URI");
    unsetenv("QUERY_ACCELERATORS_RESPONSE_OVERRIDE");
    unsetenv("QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE");
  }
  void TearDown() override {
    unsetenv("ZV_INSTANCE_METADATA_URI");
    unsetenv("CNS_CONTAINER_METADATA_URI");
    unsetenv("KCP_REGION");
    std::filesystem::remove_all(home_);
  }

  void StartAndPointAt(zvsim::IdentityDocument identity, bool container) {
    Start(identity);
    setenv("ZV_INSTANCE_METADATA_URI", sim_->MetadataUri().c_str(), 1);
    if (container) {
      setenv("CNS_CONTAINER_METADATA_URI", sim_->ContainerMetadataUri().c_str(),
             1);
    }
    discover_.reset(discover::QueryInterface(std::make_unique<CurlHelper>()));
  }

  std::unique_ptr<zva::DiscoverInterface, zva::ObjectReleaser> discover_;
  std::string home_;
};

TEST_F(DiscoveryTest, InstanceDocumentsParse) {
  StartAndPointAt(zvsim::IdentityDocument::kWithRegion, false);
  std::string region, endpoint;
  EXPECT_EQ(discover_->DiscoverRegion(region), zva::kOk);
  EXPECT_EQ(region, "ap-south-2");
  EXPECT_EQ(discover_->DiscoverProxy(endpoint), zva::kOk);
  EXPECT_EQ(endpoint, "runtime.zorvel.ap-south-2.kestrocloud.com:443");
  std::vector<std::string> ids;
  ASSERT_EQ(discover_->DiscoverAcceleratorSlots(ids), zva::kOk);
  EXPECT_EQ(ids, sim_->AcceleratorIds());
  std::map<std::string, std::string> details;
  ASSERT_EQ(discover_->DiscoverAcceleratorSlotDetails(ids[0], details),
            zva::kOk);
  EXPECT_EQ(details, (std::map<std::string, std::string>{
                         {"version", "version_2018_04_12"},
                         {"id", "zva-aaaaaaaaaaaaaaaa1"},
                         {"type", "zva2.large"}}));
}

TEST_F(DiscoveryTest, ContainerDocumentsParse) {
  StartAndPointAt(zvsim::IdentityDocument::kWithRegion, true);
  ASSERT_TRUE(discover_->IsCNSContainer());
  std::vector<std::string> ids;
  ASSERT_EQ(discover_->DiscoverAcceleratorSlots(ids), zva::kOk);
  EXPECT_EQ(ids, sim_->AcceleratorIds());
  std::map<std::string, std::string> details;
  ASSERT_EQ(discover_->DiscoverAcceleratorSlotDetails(ids[1], details),
            zva::kOk);
  EXPECT_EQ(details, (std::map<std::string, std::string>{
                         {"version", "version_2018_04_12"},
                         {"id", "zva-aaaaaaaaaaaaaaaa0"},
                         {"type", "zva1.medium"},
                         {"deviceId", "zvadev1"}}));
  EXPECT_EQ(sim_->core().MetadataRequestCount(kContainerList), 1u);
}

TEST_F(DiscoveryTest, IdentityVariantsAndFailures) {
  StartAndPointAt(zvsim::IdentityDocument::kWithoutRegion, false);
  std::string region;
  EXPECT_EQ(discover_->DiscoverRegion(region), zva::kRegionNotFound);
  sim_.reset();
  discover_.reset();

  StartAndPointAt(zvsim::IdentityDocument::kAbsent, false);
  setenv("KCP_REGION", "eu-west-3", 1);
  EXPECT_EQ(discover_->DiscoverRegion(region), zva::kOk);
  EXPECT_EQ(region, "eu-west-3");

  sim_->core().SetMetadataOverride(kVmList, {503, std::nullopt, {}});
  std::vector<std::string> ids;
  EXPECT_EQ(discover_->DiscoverAcceleratorSlots(ids), zva::kDiscoveryFailure);
  sim_->core().SetMetadataOverride(kVmList, {std::nullopt, "one\n\ntwo", {}});
  EXPECT_EQ(discover_->DiscoverAcceleratorSlots(ids), zva::kDiscoveryFailure);
}

}  // namespace
}  // namespace zvtest
