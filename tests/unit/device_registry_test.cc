#include "discovery/device_registry.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <stdlib.h>

#include "discovery/device_record.h"

namespace zva {
namespace {

// Sets or clears ZV_VISIBLE_DEVICES for one test and restores it afterwards.
class VisibleDevices {
 public:
  explicit VisibleDevices(std::optional<std::string> value) {
    if (const char* old = getenv(kName)) saved_ = old;
    if (value) {
      setenv(kName, value->c_str(), 1);
    } else {
      unsetenv(kName);
    }
  }
  ~VisibleDevices() {
    if (saved_) {
      setenv(kName, saved_->c_str(), 1);
    } else {
      unsetenv(kName);
    }
  }

 private:
  static constexpr char kName[] = "ZV_VISIBLE_DEVICES";
  std::optional<std::string> saved_;
};

DeviceMetadata Make(const std::string& type, const std::string& id,
                    const std::string& name = "") {
  return DeviceMetadata("v1", id, type, name, "unknown");
}

std::vector<std::string> Ids(const DeviceMetadataRegistry& registry) {
  std::vector<std::string> ids;
  for (const DeviceMetadata& d : registry.GetDevicesMetadata()) {
    EXPECT_EQ(d.GetOrdinal(), ids.size());
    ids.push_back(d.GetId());
  }
  return ids;
}

// Sorted order: a (zva1.medium), b (zva1.large), c (zva2.medium, named "n0").
std::vector<DeviceMetadata> ThreeDevices() {
  return {Make("zva2.medium", "c", "n0"), Make("zva1.large", "b"),
          Make("zva1.medium", "a")};
}

TEST(DeviceMetadataRegistryTest, VisibleDevicesFilter) {
  const struct {
    std::optional<std::string> value;
    std::vector<std::string> ids;
  } cases[] = {
      {std::nullopt, {"a", "b", "c"}},
      {"1", {"b"}},
      {"2,0", {"a", "c"}},
      {" 1", {}},         // blanks are not trimmed
      {"01", {}},         // positions have no leading zeros
      {"", {}},           // an empty value hides everything
      {"1,", {"b"}},      // a single trailing comma adds no item
      {",", {"a", "b"}},  // a leading comma: the empty item matches no name
      {"2,,9", {"a", "b", "c"}},
      {"c", {"c"}},   // identifier, whatever its position
      {"n0", {"c"}},  // device name
      {"B", {}},      // no case folding
      {"3", {}},
  };
  for (const auto& c : cases) {
    VisibleDevices env(c.value);
    DeviceMetadataRegistry registry(ThreeDevices());
    EXPECT_EQ(Ids(registry), c.ids)
        << "'" << c.value.value_or("<unset>") << "'";
    EXPECT_EQ(registry.GetNumberOfDevices(), c.ids.size());
  }
}

TEST(DeviceMetadataRegistryTest, PositionsAreCountedBeforeFiltering) {
  VisibleDevices env("c,1");
  // Position 1 is b; c is named by identifier. Ordinals have no gaps.
  DeviceMetadataRegistry registry(ThreeDevices());
  EXPECT_EQ(Ids(registry), (std::vector<std::string>{"b", "c"}));
  EXPECT_EQ(registry.DeviceIdToOrdinal("c"), 1u);
  EXPECT_EQ(registry.DeviceNameToOrdinal("n0"), 1u);
}

TEST(DeviceMetadataRegistryTest, Lookups) {
  VisibleDevices env(std::nullopt);
  DeviceMetadataRegistry registry(ThreeDevices());
  EXPECT_EQ(registry.GetDeviceMetadataByOrdinal(2).GetId(), "c");
  EXPECT_EQ(registry.DeviceOrdinalToId(1), "b");
  EXPECT_EQ(registry.DeviceIdToOrdinal("a"), 0u);
  EXPECT_EQ(registry.GetDeviceMetadataById("c").GetDeviceName(), "n0");
  EXPECT_EQ(registry.GetDeviceMetadataByDeviceName("n0").GetOrdinal(), 2u);

  auto code_of = [](auto&& call) {
    try {
      call();
    } catch (int code) {
      return code;
    }
    return 0;
  };
  EXPECT_EQ(code_of([&] { registry.GetDeviceMetadataByOrdinal(3); }),
            kDeviceOrdinalOutOfRange);
  EXPECT_EQ(code_of([&] { registry.DeviceOrdinalToId(3); }),
            kDeviceOrdinalOutOfRange);
  EXPECT_EQ(code_of([&] { registry.DeviceIdToOrdinal("zz"); }),
            kDeviceIdNotFound);
  EXPECT_EQ(code_of([&] { registry.GetDeviceMetadataById("n0"); }),
            kDeviceIdNotFound);
  // Empty names are never stored.
  EXPECT_EQ(code_of([&] { registry.DeviceNameToOrdinal(""); }),
            kDeviceNameNotFound);
  EXPECT_EQ(code_of([&] { registry.GetDeviceMetadataByDeviceName("a"); }),
            kDeviceNameNotFound);
}

TEST(DeviceMetadataRegistryTest, DuplicateIdentifiersKeepTheHigherOrdinal) {
  VisibleDevices env(std::nullopt);
  DeviceMetadataRegistry registry(
      {Make("zva2.large", "dup", "late"), Make("zva1.medium", "dup", "early")});
  EXPECT_EQ(registry.GetNumberOfDevices(), 2u);
  EXPECT_EQ(registry.DeviceIdToOrdinal("dup"), 1u);
  const auto description = registry.GenerateDevicesDescription();
  ASSERT_EQ(description.size(), 1u);
  EXPECT_EQ(description.at("dup").GetDeviceName(), "late");
  EXPECT_EQ(registry.GenerateDevicesDescriptionJson(),
            "{\"dup\": {\"version\":\"v1\", \"type\": \"zva2.large\", "
            "\"ordinal\": 1}}");
}

TEST(DeviceMetadataRegistryTest, JsonDescription) {
  VisibleDevices env(std::nullopt);
  EXPECT_EQ(DeviceMetadataRegistry({}).GenerateDevicesDescriptionJson(), "{}");
  // Byte for byte the documented example; ordinal order, not key order.
  DeviceMetadataRegistry two(
      {Make("zva2.large", "id-a"), Make("zva1.medium", "id-b")});
  EXPECT_EQ(two.GenerateDevicesDescriptionJson(),
            "{\"id-b\": {\"version\":\"v1\", \"type\": \"zva1.medium\", "
            "\"ordinal\": 0},\"id-a\": {\"version\":\"v1\", \"type\": "
            "\"zva2.large\", \"ordinal\": 1}}");
}

// Every registry used to answer with the first text computed in the process.
TEST(DeviceMetadataRegistryTest, JsonDescribesItsOwnRegistry) {
  VisibleDevices env(std::nullopt);
  DeviceMetadataRegistry first({Make("zva1.medium", "first")});
  DeviceMetadataRegistry second({Make("zva1.medium", "second")});
  EXPECT_NE(first.GenerateDevicesDescriptionJson().find("first"),
            std::string::npos);
  EXPECT_NE(second.GenerateDevicesDescriptionJson().find("second"),
            std::string::npos);
  EXPECT_EQ(second.GenerateDevicesDescriptionJson().find("first"),
            std::string::npos);
}

// Texts used to be written unescaped, so a quote in an identifier broke the
// JSON.
TEST(DeviceMetadataRegistryTest, JsonEscapesTexts) {
  VisibleDevices env(std::nullopt);
  DeviceMetadataRegistry registry({DeviceMetadata(
      "v\"1\\", "a\"b\\c\n\t\x01", "zva1.medium", "", "unknown")});
  EXPECT_EQ(registry.GenerateDevicesDescriptionJson(),
            "{\"a\\\"b\\\\c\\n\\t\\u0001\": {\"version\":\"v\\\"1\\\\\", "
            "\"type\": \"zva1.medium\", \"ordinal\": 0}}");
}

}  // namespace
}  // namespace zva
