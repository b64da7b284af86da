// The printing and health helpers behind zv and zv-health, where the
// programs cannot reach them: unnamed ping results, escaping, odd counts.
// The exact layouts are compared by the CLI tests on the built programs.

#include "api/describe_accelerators.h"

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <google/protobuf/struct.pb.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include "api/device_health.h"
#include "errors/catalogue.h"
#include "platform/files.h"

namespace zva {
namespace {

DeviceMetadata Device(const std::string& id, const std::string& type,
                      const std::string& status) {
  DeviceMetadata device("v1", id, type, "", "unknown");
  device.SetHealthStatus(status);
  return device;
}

std::vector<DeviceMetadata> TwoDevices() {
  return {Device("zva-0123456789abcdef0", "zva1.medium", "healthy"),
          Device("zva-0fedcba9876543210", "zva2.xlarge", "not reachable")};
}

TEST(HealthStatusTest, NamesTheThreePingResults) {
  EXPECT_EQ(HealthStatusToString(kPingHealthy), "healthy");
  EXPECT_EQ(HealthStatusToString(kPingUnhealthy), "unhealthy");
  EXPECT_EQ(HealthStatusToString(kPingNotReachable), "not reachable");
}

TEST(HealthStatusTest, OtherValuesThrowHoldingTheValue) {
  for (int value : {3, -1, 10, 2147483647}) {
    try {
      HealthStatusToString(value);
      ADD_FAILURE() << "no exception for " << value;
    } catch (const UnsupportedPingResponseException& e) {
      EXPECT_EQ(e.GetStatus(), value);
    }
  }
}

TEST(HealthStatusTest, IndexBeyondThirtyTwoBitsIsNotReachable) {
  // Cut down to 32 bits this index would be 0 and ping the first device.
  EXPECT_EQ(GetDeviceHealthStatusString(0x100000000UL), "not reachable");
}

TEST(HealthStatusTest, IndexPastTheListIsNotReachable) {
  // Discovery runs here: keep it on a closed loopback port.
  char home[] = "/tmp/zv_health_test_XXXXXX";
  ASSERT_NE(mkdtemp(home), nullptr);
  setenv("HOME", home, 1);
  setenv("ZV_INSTANCE_METADATA_URI", "http://127.0.0.1:1", 1);
  EXPECT_EQ(GetDeviceHealthStatusString(5), "not reachable");
  std::filesystem::remove_all(home);
}

TEST(UpdateHealthTest, SetsEveryRecordFromItsIdentifier) {
  std::vector<DeviceMetadata> devices = TwoDevices();
  std::ostringstream os;
  UpdateDeviceMetadataWithHealthStatus(os, devices, [](const std::string& id) {
    return id == "zva-0123456789abcdef0" ? std::string("unhealthy")
                                         : std::string("healthy");
  });
  EXPECT_EQ(devices[0].GetHealthStatus(), "unhealthy");
  EXPECT_EQ(devices[1].GetHealthStatus(), "healthy");
  EXPECT_EQ(os.str(), "");
}

TEST(UpdateHealthTest, UnnamedPingResultKeepsStatusAndReportsDevice) {
  std::vector<DeviceMetadata> devices = {Device("a", "zva1.large", "unknown"),
                                         Device("b", "zva1.large", "unknown"),
                                         Device("c", "zva1.large", "unknown")};
  std::ostringstream os;
  UpdateDeviceMetadataWithHealthStatus(os, devices, [](const std::string& id) {
    if (id == "b") throw UnsupportedPingResponseException(7);
    return HealthStatusToString(kPingHealthy);
  });
  EXPECT_EQ(os.str(), "ERROR: unexpected response 7 from device 1\n");
  EXPECT_EQ(devices[0].GetHealthStatus(), "healthy");
  EXPECT_EQ(devices[1].GetHealthStatus(), "unknown");
  EXPECT_EQ(devices[2].GetHealthStatus(), "healthy");
}

// True when `text` has the 24-character layout of `ctime` without its
// newline, e.g. "Sun Dec  6 22:13:07 2026". (std::regex is avoided: GCC 12
// warns inside it under the sanitizers.)
bool LooksLikeCtime(const std::string& text) {
  static const std::string kDays = "MonTueWedThuFriSatSun";
  static const std::string kMonths = "JanFebMarAprMayJunJulAugSepOctNovDec";
  auto is_digit = [&](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
  if (text.size() != 24) return false;
  // Names sit at multiples of 3 in the lists; "ueW" must not pass as a day.
  size_t day = kDays.find(text.substr(0, 3));
  size_t month = kMonths.find(text.substr(4, 3));
  if (day == std::string::npos || day % 3 != 0) return false;
  if (month == std::string::npos || month % 3 != 0) return false;
  for (size_t i : {3, 7, 10, 19}) {
    if (text[i] != ' ') return false;
  }
  if (text[13] != ':' || text[16] != ':') return false;
  if (text[8] != ' ' && !is_digit(8)) return false;
  for (size_t i : {9, 11, 12, 14, 15, 17, 18, 20, 21, 22, 23}) {
    if (!is_digit(i)) return false;
  }
  return true;
}

TEST(TimeStringTest, HasTheTwentyFourCharacterCtimeLayout) {
  std::string time = GetCurrentTimeString();
  EXPECT_TRUE(LooksLikeCtime(time)) << time;
  EXPECT_FALSE(LooksLikeCtime("Sun Dec  6 22:13:07 2026\n"));
  EXPECT_FALSE(LooksLikeCtime("Sun Dex  6 22:13:07 2026"));
}

// Parses `text` with a strict JSON parser; returns the "devices" list.
google::protobuf::Struct ParseJson(const std::string& text) {
  google::protobuf::Struct doc;
  auto status = google::protobuf::util::JsonStringToMessage(text, &doc);
  if (!status.ok()) throw std::runtime_error(status.ToString());
  return doc;
}

TEST(JsonTest, ZeroAndOneDeviceAreValidJson) {
  for (size_t n : {0u, 1u}) {
    std::vector<DeviceMetadata> devices = TwoDevices();
    devices.resize(n, devices[0]);
    std::ostringstream os;
    PrintAttachmentsDescriptionJson(os, devices, "t");
    google::protobuf::Struct doc = ParseJson(os.str());
    EXPECT_EQ(doc.fields().at("attached_accelerators").number_value(), n);
    EXPECT_EQ(doc.fields().at("devices").list_value().values_size(),
              static_cast<int>(n));
  }
}

TEST(JsonTest, TextsWithQuotesBackslashesAndControlsStayValidJson) {
  const std::string id = "zva-\"quoted\"\\back\nline\ttab\x01\x1f end";
  std::vector<DeviceMetadata> devices = {Device(id, "zva1.large", "odd\"")};
  std::ostringstream os;
  PrintAttachmentsDescriptionJson(os, devices, "Mon \"Jan\"  1");
  EXPECT_NE(os.str().find(
                R"("id": "zva-\"quoted\"\\back\nline\ttab\u0001\u001f end")"),
            std::string::npos)
      << os.str();
  google::protobuf::Struct doc = ParseJson(os.str());
  const auto& device =
      doc.fields().at("devices").list_value().values(0).struct_value();
  EXPECT_EQ(device.fields().at("id").string_value(), id);
  EXPECT_EQ(device.fields().at("status").string_value(), "odd\"");
  EXPECT_EQ(doc.fields().at("time").string_value(), "Mon \"Jan\"  1");
}

// Bytes of 0x80 and more passed raw into the JSON text, which then was no
// valid JSON (nor Unicode) when they were not UTF-8.
TEST(JsonTest, HighBytesAreEscapedSoTheTextStaysValidJson) {
  const struct {
    std::string text;
    std::string escaped;
  } cases[] = {
      {"zva-0123 abc/~", "zva-0123 abc/~"},
      {std::string("\b\f\r\0\x7f", 5), "\\b\\f\\r\\u0000\\u007f"},
      {"\xc3\xa9 \xe2\x82\xac", "\\u00e9 \\u20ac"},
      {"\xf0\x9f\x98\x80", "\\ud83d\\ude00"},
      {"\xff\xc3", "\\ufffd\\ufffd"},             // no sequence, a cut one
      {"\xc0\xaf", "\\ufffd\\ufffd"},             // overlong
      {"\xed\xa0\x80", "\\ufffd\\ufffd\\ufffd"},  // a surrogate
      {"\xf4\x90\x80\x80", "\\ufffd\\ufffd\\ufffd\\ufffd"},  // past U+10FFFF
  };
  for (const auto& c : cases) {
    EXPECT_EQ(util::EscapeJsonText(c.text), c.escaped) << c.escaped;
  }
  std::vector<DeviceMetadata> devices = {
      Device("zv\xc3\xa4\xff", "zva1.large", "healthy")};
  std::ostringstream os;
  PrintAttachmentsDescriptionJson(os, devices, "t");
  google::protobuf::Struct doc = ParseJson(os.str());
  EXPECT_EQ(doc.fields()
                .at("devices")
                .list_value()
                .values(0)
                .struct_value()
                .fields()
                .at("id")
                .string_value(),
            "zv\xc3\xa4\xef\xbf\xbd");
}

}  // namespace
}  // namespace zva
