// zv-test-labels: threaded
#include "errors/catalogue.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zva/config/zva_client_lib_config.pb.h"

#include "platform/files.h"
#include "support/log_capture.h"
#include "zva/zva_errors.h"

namespace {

namespace fs = std::filesystem;
using zvtest::CountOf;
using zvtest::LogCapture;

// ---- Catalogue ---------------------------------------------------------

struct CatalogueEntry {
  int code;
  const char* description;
};

const std::string kCode36 =
    "Service not available. Please wait for sometime. Also, make sure the ZV "
    "setup is correct. Quick setup instructions - " +
    std::string(zva::kSetupInstructionsUrl) + ". Setup validation - " +
    zva::kSetupValidationUrl;

TEST(ErrorCatalogueTest, HoldsExactlyTheFixedEntries) {
  // By number: integrations compare against these values, so this table,
  // unlike the others, pins the numbers behind the names.
  const CatalogueEntry table[] = {
      {0, "Operation succeeded"},
      {1, "Internal error"},
      {2, "Internal error"},
      {3, "Internal error"},
      {4, "Service unavailable"},
      {5, "Internal error"},
      {6, "Invalid model"},
      {7, "No KCP credentials found. Please configure KCP credentials"},
      {8, "Unable to authenticate with accelerator"},
      {9, "Authentication failure during KCP4 signing"},
      {10, "Internal error"},
      {11, "Accelerator device is healthy"},
      {12, "Internal error"},
      {13, "Internal error"},
      {14, "Internal error"},
      {15, "Internal error"},
      {16, "Internal error"},
      {17, "Internal error"},
      {18, "Internal error"},
      {19, "Accelerator metadata discovery process failure"},
      {20, "Internal error"},
      {21,
       "Invalid tensor or request: it cannot be sent or received as "
       "given"},
      {22, "Internal error"},
      {23, "Internal error"},
      {24, "Internal error"},
      {25, "Internal error"},
      {26, "Internal error"},
      {27, "Internal error"},
      {28, "Internal error"},
      {29, "Internal error"},
      {30, "Internal error"},
      {31, "Accelerator out of memory. Consider using a larger accelerator."},
      {32, "Invalid tensor on accelerator"},
      {33, "Internal error"},
      {34, "Internal error"},
      {35, "Unable to locate SSL certificates"},
      {36, nullptr},  // checked against kCode36
      {37, "Invalid configuration file"},
      {38, "No configuration file found"},
      {39, ""},
      {40, "Failed to find region name in accelerator metadata"},
      {41, "Failed to find accelerator ID in accelerator metadata"},
      {42, "Internal error"},
      {43, "Internal error"},
      {44, "Invalid model type"},
      {45, "Internal error"},
      {46, ""},
  };
  ASSERT_EQ(std::size(table), 47u);
  EXPECT_EQ(zva::errorDescriptions.size(), 47u);
  LogCapture capture(2);
  for (const CatalogueEntry& e : table) {
    const std::string expected = e.description ? e.description : kCode36;
    EXPECT_EQ(zva::GetErrorDescription(e.code), expected) << e.code;
    ASSERT_EQ(zva::errorDescriptions.count(e.code), 1u) << e.code;
    EXPECT_EQ(zva::errorDescriptions.at(e.code), expected) << e.code;
  }
  // Known codes are not errors: nothing logged.
  EXPECT_EQ(capture.Text(), "");
}

TEST(ErrorCatalogueTest, Code36NamesNeutralDocumentationPages) {
  EXPECT_THAT(zva::kSetupInstructionsUrl, ::testing::StartsWith("https://"));
  EXPECT_THAT(zva::kSetupValidationUrl, ::testing::StartsWith("https://"));
  EXPECT_STRNE(zva::kSetupInstructionsUrl, zva::kSetupValidationUrl);
  EXPECT_THAT(zva::GetErrorDescription(zva::kServiceNotReachable),
              ::testing::HasSubstr(zva::kSetupValidationUrl));
}

TEST(ErrorCatalogueTest, AbsentCodesAreLoggedAndAnsweredWithFixedText) {
  for (int code : {47, 100, 1047, 1048, 1052, -1}) {
    LogCapture capture(2);
    EXPECT_EQ(zva::GetErrorDescription(code), "Invalid error code specified");
    EXPECT_EQ(zva::errorDescriptions.count(code), 0u);
    EXPECT_THAT(capture.Text(),
                ::testing::EndsWith("] Error - No error description for error "
                                    "code " +
                                    std::to_string(code) + "\n"));
  }
}

// ---- Last error --------------------------------------------------------

TEST(LastErrorTest, FreshThreadReadsNotice) {
  std::string seen = "unset";
  std::thread([&] { zva::GetLastError(&seen); }).join();
  EXPECT_EQ(seen, "Notice - No last error found");
}

TEST(LastErrorTest, IsPerThread) {
  zva::util::SetLastError("main thread failure");
  std::string other_before, other_after;
  std::thread([&] {
    zva::GetLastError(&other_before);
    zva::util::SetLastError("worker failure");
    zva::GetLastError(&other_after);
  }).join();
  EXPECT_EQ(other_before, "Notice - No last error found");
  EXPECT_EQ(other_after, "worker failure");
  std::string mine;
  EXPECT_EQ(zva::GetLastError(&mine), zva::kOk);
  EXPECT_EQ(mine, "main thread failure");
  EXPECT_EQ(zva::util::LastError(), "main thread failure");
}

TEST(LastErrorTest, NullPointerIsLoggedAndReturnsZero) {
  LogCapture capture(2);
  EXPECT_EQ(zva::GetLastError(nullptr), zva::kOk);
  EXPECT_THAT(capture.Text(), ::testing::EndsWith("] Error msg ptr is null\n"));
}

TEST(LastErrorTest, MessageHasFiveLinesWithCodesInOrder) {
  LogCapture capture(2);
  ZvaRpcStatus status(
      grpc::Status(grpc::StatusCode::UNAUTHENTICATED, "3 signature mismatch"),
      "PT-1", zva::kInternalError);
  EXPECT_EQ(
      zva::util::GenerateLastErrorMessage(status, "PT-1", "zva-0123"),
      "Last Error: \n"
      "    ZV Error Code: [3, 16, 8]\n"
      "    ZV Error Description: Unable to authenticate with accelerator\n"
      "    ZV Request ID: PT-1  --  ZV Accelerator ID: zva-0123\n"
      "    ZV Client Version: 1.5.3\n");
}

TEST(LastErrorTest, EmptyDescriptionFallsBackToServiceMessage) {
  LogCapture capture(2);
  ZvaRpcStatus status(
      grpc::Status(grpc::StatusCode::INVALID_ARGUMENT, "58 wrong model type"),
      "", zva::kInternalError);
  ASSERT_EQ(status.GetZVLStatusCode(), zva::kModelTypeMismatch);
  EXPECT_EQ(zva::util::GenerateLastErrorMessage(status, "", ""),
            "Last Error: \n"
            "    ZV Error Code: [58, 3, 39]\n"
            "    ZV Error Description: 58 wrong model type\n"
            "    ZV Request ID:   --  ZV Accelerator ID: \n"
            "    ZV Client Version: 1.5.3\n");
}

// Codes 21 (a tensor the wire cannot carry) and 22 (session reset) were
// returned without a catalogue entry and described as an invalid code.
TEST(ErrorCatalogueTest, EveryCodeTheLibraryReturnsHasADescription) {
  std::set<int> returned = {
      zva::kInternalError,        zva::kNoKcpCredentials,
      zva::kSigningFailed,        zva::kDiscoveryFailure,
      zva::kTensorFormatError,    zva::kNoSslCertificates,
      zva::kServiceNotReachable,  zva::kInvalidConfigurationFile,
      zva::kNoConfigurationFile,  zva::kRegionNotFound,
      zva::kAcceleratorIdNotFound};
  for (int service = -1; service <= 100; ++service) {
    ZvaRpcStatus status(
        grpc::Status(grpc::StatusCode::ABORTED, std::to_string(service)), "",
        zva::kInternalError);
    returned.insert(status.GetZVLStatusCode());
  }
  LogCapture capture(2);
  for (int code : returned) {
    EXPECT_EQ(zva::errorDescriptions.count(code), 1u) << code;
  }
  ZvaRpcStatus reset(grpc::Status(grpc::StatusCode::ABORTED, "13"), "r",
                     zva::kInternalError);
  EXPECT_THAT(zva::util::GenerateLastErrorMessage(reset, "r", "a"),
              ::testing::HasSubstr("[13, 10, 22]\n    ZV Error Description: "
                                   "Internal error\n"));
  EXPECT_EQ(capture.Text(), "");
}

TEST(LastErrorTest, LibraryFailureMessage) {
  ZvaRpcStatus status(zva::kNoSslCertificates, "no certificate", "PT-9");
  EXPECT_THAT(zva::util::GenerateLastErrorMessage(status, "PT-9", "zva-1"),
              ::testing::HasSubstr("[1, 9, 35]\n    ZV Error Description: "
                                   "Unable to locate SSL certificates\n"));
}

// ---- Files and certificates --------------------------------------------

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "zvutil.XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    if (made == nullptr) std::abort();
    path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  // The directory with a trailing slash, as the certificate search wants.
  std::string Dir() const { return path_ + "/"; }
  std::string Write(const std::string& name, const std::string& contents) {
    std::string path = Dir() + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

 private:
  std::string path_;
};

TEST(FindSSLCertTest, SearchOrder) {
  struct Case {
    std::vector<std::string> present;
    std::string expected;  // empty: none found
  };
  const Case cases[] = {
      {{"ca-bundle.crt", "Kestro_Root_CA_1.pem"}, "ca-bundle.crt"},
      {{"Kestro_Root_CA_3.pem"}, "Kestro_Root_CA_3.pem"},
      {{"Kestro_Root_CA_4.pem", "Kestro_Root_CA_2.pem"},
       "Kestro_Root_CA_2.pem"},
      {{"Kestro_Root_CA_4.pem"}, "Kestro_Root_CA_4.pem"},
      {{"ca-certificates.crt", "Kestro_Root_CA_5.pem", "ca-bundle.pem"}, ""},
      {{}, ""},
  };
  for (const Case& c : cases) {
    TempDir dir;
    for (const std::string& name : c.present) dir.Write(name, "cert");
    LogCapture capture(1);
    const std::string found = zva::util::FindSSLCert(dir.Dir());
    if (c.expected.empty()) {
      EXPECT_EQ(found, "");
      EXPECT_THAT(capture.Text(),
                  ::testing::EndsWith("] [GetSSLCert] Warning - No "
                                      "certificates found in expected "
                                      "location\n"));
    } else {
      EXPECT_EQ(found, dir.Dir() + c.expected);
      EXPECT_EQ(capture.Text(), "");
    }
  }
}

TEST(FindSSLCertTest, SkipsDanglingCandidate) {
  TempDir dir;
  fs::create_symlink(dir.Dir() + "missing.pem", dir.Dir() + "ca-bundle.crt");
  dir.Write("Kestro_Root_CA_1.pem", "cert");
  EXPECT_EQ(zva::util::FindSSLCert(dir.Dir()),
            dir.Dir() + "Kestro_Root_CA_1.pem");
}

TEST(FindSSLCertTest, SkipsUnreadableCandidate) {
  if (::geteuid() == 0) {
    GTEST_SKIP() << "root passes every read-permission check";
  }
  TempDir dir;
  std::string bundle = dir.Write("ca-bundle.crt", "cert");
  ASSERT_EQ(::chmod(bundle.c_str(), 0), 0);
  dir.Write("Kestro_Root_CA_2.pem", "cert");
  EXPECT_EQ(zva::util::FindSSLCert(dir.Dir()),
            dir.Dir() + "Kestro_Root_CA_2.pem");
}

TEST(FindSSLCertTest, FixedDirectoryAgreesWithRootCertificateFile) {
  LogCapture capture(1);
  const std::string found = zva::util::FindSSLCert();
  std::string contents = "untouched";
  const int rc = zva::util::GetRootCertificateFile(&contents);
  if (found.empty()) {
    EXPECT_EQ(rc, zva::kNoSslCertificates);
    EXPECT_EQ(contents, "untouched");
    // Both warnings, the search's first.
    const std::string text = capture.Text();
    const size_t search = text.rfind("No certificates found");
    const size_t empty = text.rfind("Certificate path empty");
    ASSERT_NE(search, std::string::npos);
    ASSERT_NE(empty, std::string::npos);
    EXPECT_LT(search, empty);
  } else {
    EXPECT_EQ(found.rfind("/etc/ssl/certs/", 0), 0u);
    EXPECT_EQ(rc, zva::kOk);
    EXPECT_EQ(contents, zva::util::ReadFile(found.c_str()));
  }
}

TEST(ReadFileTest, ReturnsBytesUnchanged) {
  TempDir dir;
  const std::string bytes("line one\r\nline two\n\0binary\xff", 27);
  std::string path = dir.Write("data.bin", bytes);
  EXPECT_EQ(zva::util::ReadFile(path.c_str()), bytes);
  EXPECT_EQ(zva::util::ReadFile(dir.Write("empty", "").c_str()), "");
}

TEST(ReadFileTest, UnreadablePathsGiveEmptyText) {
  TempDir dir;
  LogCapture capture(0);
  EXPECT_EQ(zva::util::ReadFile((dir.Dir() + "absent").c_str()), "");
  EXPECT_EQ(zva::util::ReadFile(dir.Dir().c_str()), "");  // a directory
  EXPECT_EQ(zva::util::ReadFile(nullptr), "");
  EXPECT_EQ(capture.Text(), "");
}

// ---- Request identifiers -----------------------------------------------

TEST(GenerateUUIDTest, FormatAndUniqueness) {
  const auto format = ::testing::MatchesRegex(
      "PT-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) {
    std::string id = zva::util::GenerateUUID();
    ASSERT_THAT(id, format);
    ASSERT_TRUE(seen.insert(id).second) << "repeated " << id;
  }
}

// ---- JSON --------------------------------------------------------------

TEST(DeserializeJSONTest, EmptyObjectLeavesDefaults) {
  zva::config::ClientLibraryConfig config;
  EXPECT_EQ(zva::util::DeserializeJSONToProtobufMessage("{}", config),
            zva::kOk);
  EXPECT_EQ(config.ByteSizeLong(), 0u);
}

TEST(DeserializeJSONTest, KnownFieldsSetUnknownIgnored) {
  LogCapture capture(0);
  zva::config::ClientLibraryConfig config;
  EXPECT_EQ(zva::util::DeserializeJSONToProtobufMessage(
                R"({"infer_timeout": 100, "no_such_field": {"a": [1]},
                    "pingTimeout": 7})",
                config),
            zva::kOk);
  EXPECT_EQ(config.infer_timeout(), 100);
  EXPECT_EQ(config.ping_timeout(), 7);  // the JSON name works too
  EXPECT_EQ(capture.Text(), "");
}

TEST(DeserializeJSONTest, FailuresAreLoggedAndReported) {
  const char* bad[] = {
      "",
      "{",
      "{\"infer_timeout\": \"soon\"}",
      "{\"infer_timeout\": 2147483648}",
      "{\"infer_timeout\": 1.5}",
      "[]",
      "not json",
  };
  for (const char* json : bad) {
    LogCapture capture(2);
    zva::config::ClientLibraryConfig config;
    EXPECT_EQ(zva::util::DeserializeJSONToProtobufMessage(json, config),
              zva::kInternalError)
        << json;
    EXPECT_THAT(capture.Text(),
                ::testing::ContainsRegex(
                    "^\\[[^]]+\\] Error: Failure parsing JSON\n    Status: "
                    ".+\n$"))
        << json;
  }
}

}  // namespace
