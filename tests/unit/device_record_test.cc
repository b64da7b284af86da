#include "discovery/device_record.h"

#include <string>

#include <gtest/gtest.h>

namespace zva {
namespace {

DeviceMetadata Make(const std::string& type, const std::string& id,
                    const std::string& name = "",
                    const std::string& version = "v1") {
  return DeviceMetadata(version, id, type, name, kUnknownHealthStatus);
}

int ParseError(const std::string& text) {
  try {
    Make(text, "id");
  } catch (int code) {
    return code;
  }
  return 0;
}

TEST(DeviceTypeTest, ParsesEveryValidText) {
  const struct {
    const char* text;
    int32_t generation;
    int32_t size;
  } cases[] = {
      {"zva1.medium", 0, 0}, {"zva1.large", 0, 1}, {"zva1.xlarge", 0, 2},
      {"zva2.medium", 1, 0}, {"zva2.large", 1, 1}, {"zva2.xlarge", 1, 2},
  };
  for (const auto& c : cases) {
    const DeviceType type = Make(c.text, "id").GetType();
    EXPECT_EQ(type.generation(), c.generation) << c.text;
    EXPECT_EQ(type.size(), c.size) << c.text;
    EXPECT_EQ(type.to_string(), c.text);
  }
}

TEST(DeviceTypeTest, MalformedTextsThrow1050) {
  const char* cases[] = {
      "zva3.medium",   "zva1.small",  "zva1medium",  "zva1.Large",
      "zva1.large ",   "zva.medium",  "zva12.large", "zva1.large.",
      "zvb1.medium",   "ZVA1.medium", " zva1.large", "zva1.",
      "zva1.medium\n", "zva1.mediu",  "zva2.xlarg",  "",
      "zva1.lar",      "zva0.medium", "zva-1.large", "zva1..large",
  };
  for (const char* text : cases) {
    EXPECT_EQ(ParseError(text), kMalformedDeviceType) << "'" << text << "'";
  }
  // A text ending with the dot but long enough to pass the length check.
  EXPECT_EQ(ParseError("zva111111."), kMalformedDeviceType);
}

TEST(DeviceTypeTest, OutOfRangeValuesThrowOnPrinting) {
  EXPECT_EQ(DeviceType(1, 0).to_string(), "zva2.medium");
  try {
    DeviceType(2, 0).to_string();
    ADD_FAILURE() << "no throw";
  } catch (int code) {
    EXPECT_EQ(code, kUnknownDeviceGeneration);
  }
  try {
    DeviceType(0, 3).to_string();
    ADD_FAILURE() << "no throw";
  } catch (int code) {
    EXPECT_EQ(code, kUnknownDeviceSize);
  }
  try {
    DeviceType(0, -1).to_string();
    ADD_FAILURE() << "no throw";
  } catch (int code) {
    EXPECT_EQ(code, kUnknownDeviceSize);
  }
}

TEST(DeviceTypeTest, OrdersByGenerationThenSize) {
  const DeviceType order[] = {DeviceType(0, 0), DeviceType(0, 1),
                              DeviceType(0, 2), DeviceType(1, 0),
                              DeviceType(1, 1), DeviceType(1, 2)};
  for (size_t i = 0; i < 6; ++i) {
    for (size_t j = 0; j < 6; ++j) {
      const DeviceType& a = order[i];
      const DeviceType& b = order[j];
      EXPECT_EQ(a == b, i == j) << i << "," << j;
      EXPECT_EQ(a < b, i < j) << i << "," << j;
      EXPECT_EQ(a <= b, i <= j) << i << "," << j;
      EXPECT_EQ(a > b, i > j) << i << "," << j;
      EXPECT_EQ(a >= b, i >= j) << i << "," << j;
    }
  }
}

TEST(DeviceMetadataTest, KeepsFieldsAndPrintsOneLine) {
  DeviceMetadata device("version_2018_04_12", "zva-1", "zva2.large", "dev0",
                        "unknown");
  device.SetOrdinal(3);
  EXPECT_EQ(device.GetVersion(), "version_2018_04_12");
  EXPECT_EQ(device.GetId(), "zva-1");
  EXPECT_EQ(device.GetDeviceName(), "dev0");
  EXPECT_EQ(device.GetOrdinal(), 3u);
  EXPECT_EQ(device.ToString(),
            "id: zva-1 ordinal: 3 type: zva2.large version: "
            "version_2018_04_12 device_name: dev0 health_status: unknown");

  DeviceMetadata copy = device;
  copy.SetHealthStatus("healthy");
  EXPECT_EQ(device.GetHealthStatus(), "unknown");
  EXPECT_EQ(copy.GetHealthStatus(), "healthy");
  EXPECT_TRUE(copy == device);  // health status and ordinal not compared
}

TEST(DeviceMetadataTest, OrdersByTypeThenIdThenName) {
  // Type decides before the identifier.
  EXPECT_TRUE(Make("zva1.xlarge", "z") < Make("zva2.medium", "a"));
  EXPECT_FALSE(Make("zva2.medium", "a") < Make("zva1.xlarge", "z"));
  // Same type: identifier, byte by byte, a prefix first.
  EXPECT_TRUE(Make("zva1.large", "ab") < Make("zva1.large", "abc"));
  EXPECT_TRUE(Make("zva1.large", "Z") < Make("zva1.large", "a"));
  EXPECT_TRUE(Make("zva1.large", "a\x7f") < Make("zva1.large", "a\x80"));
  // Same type and identifier: device name, the empty name first.
  EXPECT_TRUE(Make("zva1.large", "a", "") < Make("zva1.large", "a", "n"));
  EXPECT_TRUE(Make("zva1.large", "a", "n") > Make("zva1.large", "a", ""));
  EXPECT_TRUE(Make("zva1.large", "a", "n") >= Make("zva1.large", "a", ""));
  EXPECT_TRUE(Make("zva1.large", "a", "") <= Make("zva1.large", "a", "n"));
}

TEST(DeviceMetadataTest, VersionTakesPartInEqualityOnly) {
  const DeviceMetadata a = Make("zva1.large", "a", "n", "v1");
  const DeviceMetadata b = Make("zva1.large", "a", "n", "v2");
  EXPECT_FALSE(a == b);
  EXPECT_FALSE(a < b);
  EXPECT_FALSE(b < a);
  EXPECT_FALSE(a <= b);
  EXPECT_FALSE(a >= b);
  EXPECT_TRUE(a == Make("zva1.large", "a", "n", "v1"));
  EXPECT_TRUE(a <= Make("zva1.large", "a", "n", "v1"));
  EXPECT_TRUE(a >= Make("zva1.large", "a", "n", "v1"));
}

}  // namespace
}  // namespace zva
