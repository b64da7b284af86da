#include "discovery/metadata_client.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery/http_fetch.h"
#include "errors/catalogue.h"
#include "errors/safe_text.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"

namespace zva {
namespace {

using zvtest::LogCapture;
using zvtest::ScopedEnv;

constexpr char kBase[] = "http://127.0.0.1:1";
constexpr char kContainerBase[] = "http://127.0.0.1:1/v4/task";
constexpr char kIdentityUrl[] =
    "http://127.0.0.1:1/latest/dynamic/instance-identity/document";
constexpr char kVMHListUrl[] =
    "http://127.0.0.1:1/latest/meta-data/zorvel/associations/";
constexpr char kCNSListUrl[] = "http://127.0.0.1:1/v4/task/associations/zorvel";
constexpr char kSentinel[] = "sentinel";

using Details = std::map<std::string, std::string>;
using Ids = std::vector<std::string>;

// Answers from a table of URL -> (status, body) and records every URL asked
// for. Unknown URLs fail with status 1. The record outlives the fetcher,
// which its owner may destroy.
struct FakeHttpRecord {
  std::map<std::string, std::pair<int, std::string>> answers;
  std::vector<std::string> requests;
};

class FakeHttp : public HttpInterface {
 public:
  explicit FakeHttp(FakeHttpRecord* record) : record_(record) {}
  int DoHttp(const char* url, std::string& response) override {
    record_->requests.push_back(url);
    auto it = record_->answers.find(url);
    if (it == record_->answers.end()) return 1;
    response += it->second.second;
    return it->second.first;
  }

 private:
  FakeHttpRecord* record_;
};

class DiscoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name :
         {"CNS_CONTAINER_METADATA_URI", "KCP_REGION", "KCP_DEFAULT_REGION",
          "QUERY_ACCELERATORS_RESPONSE_OVERRIDE",
          "QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE"}) {
      env_.Unset(name);
    }
    env_.Set("ZV_INSTANCE_METADATA_URI", kBase);
    util::SetLastError(kSentinel);
  }

  void Container() { env_.Set("CNS_CONTAINER_METADATA_URI", kContainerBase); }
  void Answer(const std::string& url, const std::string& body, int status = 0) {
    http_.answers[url] = {status, body};
  }

  LogCapture quiet_;  // keeps logs of tests that do not look at them off stdout
  FakeHttpRecord http_;
  ScopedEnv env_;
  Discover discover_{std::make_unique<FakeHttp>(&http_)};
};

std::string LastErrorCode() {
  const std::string& text = util::LastError();
  const auto open = text.find("ZV Error Code: [");
  if (open == std::string::npos) return text;
  return text.substr(open, text.find(']', open) - open + 1);
}

TEST_F(DiscoverTest, AddressesOfBothHostKinds) {
  std::string body;
  discover_.QueryAcceleratorMetadata(body);
  discover_.QueryAcceleratorMetadataDetails("zva-1", body);
  std::string region;
  discover_.DiscoverRegion(region);
  Container();
  EXPECT_TRUE(discover_.IsCNSContainer());
  discover_.QueryAcceleratorMetadata(body);
  discover_.QueryAcceleratorMetadataDetails("zva-1", body);
  discover_.DiscoverRegion(region);
  EXPECT_EQ(
      http_.requests,
      (Ids{kVMHListUrl, std::string(kVMHListUrl) + "zva-1", kIdentityUrl,
           kCNSListUrl, std::string(kCNSListUrl) + "/zva-1", kIdentityUrl}));
}

TEST_F(DiscoverTest, LinkLocalBaseWithoutOverride) {
  env_.Unset("ZV_INSTANCE_METADATA_URI");  // the fake never leaves the process
  std::string region;
  discover_.DiscoverRegion(region);
  ASSERT_EQ(http_.requests.size(), 1u);
  EXPECT_EQ(http_.requests[0],
            "http://169.254.169.254/latest/dynamic/instance-identity/document");
}

TEST_F(DiscoverTest, EmptyContainerVariableStillMeansContainer) {
  EXPECT_FALSE(discover_.IsCNSContainer());
  env_.Set("CNS_CONTAINER_METADATA_URI", "");
  EXPECT_TRUE(discover_.IsCNSContainer());
}

TEST_F(DiscoverTest, Region) {
  const struct {
    const char* name;
    std::optional<std::pair<int, std::string>> identity;  // unset: no answer
    std::optional<std::string> region_env;
    std::optional<std::string> default_env;
    int status;
    std::string region;
    std::string logged;
  } cases[] = {
      {"document",
       {{kOk, "{\"region\":\"doc-1\",\"x\":1}"}},
       "env",
       "def",
       kOk,
       "doc-1",
       ""},
      {"document without region",
       {{kOk, "{\"accountId\":\"1\"}"}},
       "env",
       std::nullopt,
       kRegionNotFound,
       "",
       "Error: Region not present in Instance Identity metadata: \n"},
      {"malformed document",
       {{kOk, "{region"}},
       "env",
       std::nullopt,
       kRegionNotFound,
       "",
       "Error during deserialization of Instance Identity metadata details \n"},
      {"unreachable, KCP_REGION", std::nullopt, "env", std::nullopt, kOk, "env",
       "Warning: Failed to query instance identity metadata.  This is not an "
       "issue if KCP_REGION/KCP_DEFAULT_REGION are set \n"},
      {"unreachable, KCP_DEFAULT_REGION", std::nullopt, std::nullopt, "def", 0,
       "def", "Setting region from KCP_DEFAULT_REGION\n"},
      {"KCP_REGION first", std::nullopt, "env", "def", kOk, "env",
       "Setting region from KCP_REGION\n"},
      {"empty KCP_REGION still first", std::nullopt, "", "def", kRegionNotFound,
       "", "Could not find region from identity or env variable. \n"},
      {"nothing", std::nullopt, std::nullopt, std::nullopt, kRegionNotFound, "",
       "Could not find region from identity or env variable. \n"},
      {"empty document",
       {{kOk, ""}},
       "env",
       std::nullopt,
       kOk,
       "env",
       "Checking environment variables for region\n"},
      // A transfer that broke off with part of a document.
      {"partial document",
       {{kInternalError, "{\"regi"}},
       "env",
       std::nullopt,
       kOk,
       "env",
       "Setting region from KCP_REGION\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedEnv env;
    http_.answers.clear();
    if (c.identity) Answer(kIdentityUrl, c.identity->second, c.identity->first);
    if (c.region_env) env.Set("KCP_REGION", *c.region_env);
    if (c.default_env) env.Set("KCP_DEFAULT_REGION", *c.default_env);
    LogCapture log;
    std::string region;
    EXPECT_EQ(discover_.DiscoverRegion(region), c.status);
    EXPECT_EQ(region, c.region);
    EXPECT_TRUE(log.Contains(c.logged)) << log.Text();
  }
  EXPECT_EQ(util::LastError(), kSentinel);  // region alone sets no last error
}

// A region with a carriage return (a file edited on another system) went
// into the proxy host name and the signed header, where gRPC stops the
// process.
TEST_F(DiscoverTest, RegionsOutsideTheSafeSetFailWith40NamingThem) {
  const struct {
    std::optional<std::string> identity;
    std::string env;
    std::string named;
  } cases[] = {
      {std::nullopt, "us-west-2\r", "\"us-west-2\\x0d\" from KCP_REGION"},
      {std::nullopt, "US-WEST-2", "\"US-WEST-2\" from KCP_REGION"},
      {std::nullopt, std::string(util::kMaxRegionLength + 1, 'a'),
       "\"" + std::string(util::kMaxRegionLength + 1, 'a') +
           "\" from KCP_REGION"},
      {"{\"region\":\"us west\"}", "",
       "\"us west\" from the instance identity document"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    ScopedEnv env;
    http_.answers.clear();
    if (c.identity) Answer(kIdentityUrl, *c.identity);
    if (!c.env.empty()) env.Set("KCP_REGION", c.env);
    const std::string expected =
        "ZV Error Description: Failed to find region "
        "name in accelerator metadata: region " +
        c.named + " is refused: it must be " + util::kRegionRule + "\n";
    std::string region = "unchanged";
    EXPECT_EQ(discover_.DiscoverRegion(region), kRegionNotFound);
    EXPECT_EQ(region, "unchanged");
    EXPECT_EQ(LastErrorCode(), "ZV Error Code: [1, 9, 40]");
    EXPECT_NE(util::LastError().find(expected), std::string::npos)
        << util::LastError();

    util::SetLastError(kSentinel);
    std::string endpoint = "unchanged";
    EXPECT_EQ(discover_.GenerateProxyVanityDomainName(endpoint),
              kRegionNotFound);
    EXPECT_EQ(endpoint, "unchanged");
    EXPECT_NE(util::LastError().find(expected), std::string::npos);
  }
  ScopedEnv env;
  http_.answers.clear();
  const std::string longest =
      std::string(util::kMaxRegionLength - 2, 'a') + "-0";
  env.Set("KCP_REGION", longest);
  std::string region;
  EXPECT_EQ(discover_.DiscoverRegion(region), kOk);
  EXPECT_EQ(region, longest);
}

TEST_F(DiscoverTest, ProxyEndpoint) {
  Answer(kIdentityUrl, "{\"region\":\"north-7\"}");
  std::string endpoint;
  EXPECT_EQ(discover_.DiscoverProxy(endpoint), kOk);
  EXPECT_EQ(endpoint, "runtime.zorvel.north-7.kestrocloud.com:443");
  EXPECT_EQ(util::LastError(), kSentinel);
}

TEST_F(DiscoverTest, ProxyFailureReturns19WithLastErrorOf40) {
  LogCapture log;
  std::string endpoint = "unchanged";
  EXPECT_EQ(discover_.DiscoverProxy(endpoint), kDiscoveryFailure);
  EXPECT_EQ(endpoint, "unchanged");
  EXPECT_TRUE(log.Contains("Error during discovering endpoint \n"));
  EXPECT_EQ(LastErrorCode(), "ZV Error Code: [1, 9, 40]");
  EXPECT_NE(util::LastError().find(GetErrorDescription(40)), std::string::npos);
  EXPECT_EQ(discover_.GenerateProxyVanityDomainName(endpoint), kRegionNotFound);
}

TEST_F(DiscoverTest, VMHListFromOverride) {
  const struct {
    std::string body;
    int status;
    Ids ids;
  } cases[] = {
      {"a\nb", kOk, {"a", "b"}},
      {"a\nb\n", kOk, {"a", "b"}},
      // Order kept; an accelerator listed again is dropped, the first stays.
      {"b\na\nb", kOk, {"b", "a"}},
      {"a\n\nb", kDiscoveryFailure, {"a", "", "b"}},
      {"\n", kDiscoveryFailure, {""}},
      {"a\n\n", kDiscoveryFailure, {"a", ""}},
      {"", kDiscoveryFailure, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ScopedEnv env;
    env.Set("QUERY_ACCELERATORS_RESPONSE_OVERRIDE", c.body);
    util::SetLastError(kSentinel);
    LogCapture log;
    Ids ids;
    EXPECT_EQ(discover_.DiscoverAcceleratorSlots(ids), c.status);
    EXPECT_EQ(ids, c.ids);
    EXPECT_TRUE(
        log.Contains("Overriding HTTP Response for Attached "
                     "Accelerators to " +
                     c.body + "\n"));
    if (c.status != kOk) {
      EXPECT_TRUE(log.Contains("Error during accelerator discovery \n"));
      EXPECT_EQ(LastErrorCode(), "ZV Error Code: [1, 9, 41]");
    } else {
      EXPECT_EQ(util::LastError(), kSentinel);
    }
  }
  EXPECT_TRUE(http_.requests.empty());
}

// An identifier with a control byte, a blank or a letter outside ASCII
// reached the request headers, where gRPC stops the process.
TEST_F(DiscoverTest, ListedIdentifiersGrpcCannotSendFailWith19NamingThem) {
  const std::string longest(util::kMaxIdentifierLength, 'a');
  const struct {
    std::string body;
    std::string named;
  } cases[] = {
      {"a\r\nb\r\n", "a\\x0d"},  // a list with carriage returns
      {" a ", " a "},
      {"zva-1\nzv\xc3\xa4", "zv\\xc3\\xa4"},
      {"zva-\x01", "zva-\\x01"},
      {"zva\\1", "zva\\\\1"},
      {"..", ".."},
      {"../../latest", "../../latest"},
      {longest + "a", longest + "a"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.named);
    ScopedEnv env;
    env.Set("QUERY_ACCELERATORS_RESPONSE_OVERRIDE", c.body);
    Ids ids;
    EXPECT_EQ(discover_.DiscoverAcceleratorSlots(ids), kDiscoveryFailure);
    EXPECT_EQ(LastErrorCode(), "ZV Error Code: [1, 9, 19]");
    EXPECT_NE(util::LastError().find(
                  "\n    ZV Error Description: Accelerator metadata discovery "
                  "process failure: accelerator identifier \"" +
                  c.named +
                  "\" from QUERY_ACCELERATORS_RESPONSE_OVERRIDE is refused: "
                  "it must be " +
                  util::kIdentifierRule + "\n    ZV Request ID: "),
              std::string::npos)
        << util::LastError();
  }
  ScopedEnv env;
  env.Set("QUERY_ACCELERATORS_RESPONSE_OVERRIDE", longest + "\nA.b_c-9");
  Ids ids;
  EXPECT_EQ(discover_.DiscoverAcceleratorSlots(ids), kOk);
  EXPECT_TRUE(http_.requests.empty());
}

// Identifiers went into the details URL as they were: "../../" walked up
// the metadata tree.
TEST_F(DiscoverTest, DetailsUrlCannotWalkTheMetadataTree) {
  std::string body;
  for (const char* id : {"../../latest/x y", "..", ".", "a.b"}) {
    discover_.QueryAcceleratorMetadataDetails(id, body);
  }
  const std::string list = kVMHListUrl;
  EXPECT_EQ(http_.requests, (Ids{list + "..%2F..%2Flatest%2Fx%20y",
                                 list + "%2E%2E", list + "%2E", list + "a.b"}));
  // An identifier that no list would give is not even asked for.
  http_.requests.clear();
  Details details;
  EXPECT_EQ(discover_.DiscoverAcceleratorSlotDetails("../x", details),
            kDiscoveryFailure);
  EXPECT_EQ(LastErrorCode(), "ZV Error Code: [1, 9, 19]");
  EXPECT_TRUE(http_.requests.empty());
  EXPECT_TRUE(details.empty());
}

TEST_F(DiscoverTest, VMHListFromService) {
  Answer(kVMHListUrl, "zva-1\nzva-2\n");
  Ids ids;
  EXPECT_EQ(discover_.DiscoverAcceleratorSlots(ids), kOk);
  EXPECT_EQ(ids, (Ids{"zva-1", "zva-2"}));
}

TEST_F(DiscoverTest, FailedListFetchSetsNoLastError) {
  LogCapture log;
  Ids ids;
  EXPECT_EQ(discover_.DiscoverAcceleratorSlots(ids), kDiscoveryFailure);
  EXPECT_TRUE(log.Contains("Querying accelerators from VMH Instance...\n"));
  EXPECT_TRUE(log.Contains("Error: Failed to query accelerator metadata.\n"));
  EXPECT_EQ(util::LastError(), kSentinel);
}

TEST_F(DiscoverTest, ContainerList) {
  Container();
  const struct {
    std::string body;
    int status;
    Ids ids;
  } cases[] = {
      {"{\"Associations\":[\"y\",\"x\"],\"other\":1}", kOk, {"y", "x"}},
      {"{\"Associations\":[]}", kDiscoveryFailure, {}},
      {"{\"Associations\":[\"x\",\"\"]}", kDiscoveryFailure, {"x", ""}},
      {"x\ny", kDiscoveryFailure, {}},
      {"{\"Associations\":[1]}", kDiscoveryFailure, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ScopedEnv env;
    env.Set("QUERY_ACCELERATORS_RESPONSE_OVERRIDE", c.body);
    util::SetLastError(kSentinel);
    LogCapture log;
    Ids ids;
    EXPECT_EQ(discover_.DiscoverAcceleratorSlots(ids), c.status);
    EXPECT_EQ(ids, c.ids);
    if (c.status != kOk) {
      EXPECT_EQ(LastErrorCode(), "ZV Error Code: [1, 9, 41]");
    }
  }
  LogCapture log;
  Ids ids;
  ScopedEnv env;
  env.Set("QUERY_ACCELERATORS_RESPONSE_OVERRIDE", "a\nb");
  EXPECT_EQ(discover_.DiscoverAcceleratorSlots(ids), kDiscoveryFailure);
  EXPECT_TRUE(log.Contains(
      "Error during deserialization of CNS accelerator metadata \n"));

  // Without the override the list comes from the container endpoint.
  env.Unset("QUERY_ACCELERATORS_RESPONSE_OVERRIDE");
  Answer(kCNSListUrl, "{\"Associations\":[\"c-1\"]}");
  ids.clear();
  EXPECT_EQ(discover_.DiscoverAcceleratorSlots(ids), kOk);
  EXPECT_EQ(ids, (Ids{"c-1"}));
}

constexpr char kDetailsDocument[] =
    "{\"version_2018_04_12\":{\"zorvelAcceleratorId\":\"zva-1\","
    "\"zorvelAcceleratorType\":\"zva1.large\",\"deviceId\":\"dev-0\"}}";

TEST_F(DiscoverTest, DetailsOfBothHostKinds) {
  Answer(std::string(kVMHListUrl) + "zva-1", kDetailsDocument);
  Answer(std::string(kCNSListUrl) + "/zva-1", kDetailsDocument);
  {
    LogCapture log;
    Details details{{"id", "old"}, {"keep", "k"}};
    EXPECT_EQ(discover_.DiscoverAcceleratorSlotDetails("zva-1", details), kOk);
    // The VMH message has no deviceId: an unknown key there, ignored.
    EXPECT_EQ(details, (Details{{"version", "version_2018_04_12"},
                                {"id", "zva-1"},
                                {"type", "zva1.large"},
                                {"keep", "k"}}));
    EXPECT_TRUE(
        log.Contains("Processing details for VMH instance accelerator\n"));
  }
  Container();
  LogCapture log;
  Details details;
  EXPECT_EQ(discover_.DiscoverAcceleratorSlotDetails("zva-1", details), kOk);
  EXPECT_EQ(details, (Details{{"version", "version_2018_04_12"},
                              {"id", "zva-1"},
                              {"type", "zva1.large"},
                              {"deviceId", "dev-0"}}));
  EXPECT_TRUE(
      log.Contains("Querying accelerator details from CNS Container "
                   "for accelerator: zva-1\n"));
  EXPECT_TRUE(
      log.Contains("Processing details for CNS container accelerator\n"));
}

TEST_F(DiscoverTest, DetailsDocuments) {
  const struct {
    bool container;
    std::string body;
    int status;
    Details details;
  } cases[] = {
      {false,
       "{}",
       kOk,
       {{"version", "version_2018_04_12"}, {"id", ""}, {"type", ""}}},
      {true,
       "{\"version_2018_04_12\":{\"zorvelAcceleratorId\":\"a\","
       "\"zorvelAcceleratorType\":\"zva2.xlarge\"}}",
       kOk,
       {{"version", "version_2018_04_12"},
        {"id", "a"},
        {"type", "zva2.xlarge"},
        {"deviceId", ""}}},
      {false, "not json", kDiscoveryFailure, {}},
      {true, "not json", kDiscoveryFailure, {}},
      {false,
       "{\"version_2018_04_12\":{\"zorvelAcceleratorId\":5}}",
       kDiscoveryFailure,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    ScopedEnv env;
    if (c.container) env.Set("CNS_CONTAINER_METADATA_URI", kContainerBase);
    // The override serves every accelerator without a request.
    env.Set("QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE", c.body);
    LogCapture log;
    for (const char* id : {"first", "second"}) {
      Details details;
      EXPECT_EQ(discover_.DiscoverAcceleratorSlotDetails(id, details),
                c.status);
      EXPECT_EQ(details, c.details);
    }
    EXPECT_TRUE(
        log.Contains("Overriding HTTP Response for Accelerators Details to " +
                     c.body + "\n"));
    if (c.status != kOk) {
      EXPECT_TRUE(
          log.Contains("Error during accelerator details discovery \n"));
      EXPECT_TRUE(log.Contains(std::string("Error during deserialization of ") +
                               (c.container ? "CNS" : "VMH") +
                               " accelerator metadata details \n"));
    }
  }
  EXPECT_TRUE(http_.requests.empty());
}

TEST_F(DiscoverTest, FailedDetailsFetch) {
  LogCapture log;
  Details details;
  EXPECT_EQ(discover_.DiscoverAcceleratorSlotDetails("zva-9", details),
            kDiscoveryFailure);
  EXPECT_TRUE(details.empty());
  EXPECT_TRUE(
      log.Contains("Error: Failed to query details for accelerator "
                   "zva-9.\n"));
}

struct DestroyedFlag : HttpInterface {
  explicit DestroyedFlag(bool* destroyed) : destroyed_(destroyed) {}
  ~DestroyedFlag() override { *destroyed_ = true; }
  int DoHttp(const char*, std::string&) override { return 1; }
  bool* destroyed_;
};

TEST(DiscoverLifetimeTest, ReleaseDestroysTheFetcher) {
  bool destroyed = false;
  DiscoverInterface* discover =
      discover::QueryInterface(std::make_unique<DestroyedFlag>(&destroyed));
  ASSERT_NE(discover, nullptr);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(discover->Release(), kOk);
  EXPECT_TRUE(destroyed);
}

TEST(DiscoverLifetimeTest, MissingFetcherFailsQueries) {
  ScopedEnv env;
  env.Set("ZV_INSTANCE_METADATA_URI", kBase);
  env.Unset("CNS_CONTAINER_METADATA_URI");
  Discover discover(nullptr);
  std::string body;
  EXPECT_NE(discover.QueryAcceleratorMetadata(body), kOk);
  EXPECT_NE(discover.QueryAcceleratorMetadataDetails("x", body), kOk);
}

}  // namespace
}  // namespace zva
