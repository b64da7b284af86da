#include "discovery/device_record.h"

#include <string>

namespace zva {

namespace {

constexpr char kTypePrefix[] = "zva";
constexpr std::string::size_type kTypePrefixLength = sizeof(kTypePrefix) - 1;
// "zva1.large" is the shortest valid text.
constexpr std::string::size_type kMinTypeLength = 10;

}  // namespace

std::string DeviceType::to_string() const {
  std::string text;
  switch (generation_) {
    case 0:
      text += "zva1.";
      break;
    case 1:
      text += "zva2.";
      break;
    default:
      throw kUnknownDeviceGeneration;
  }
  switch (size_) {
    case 0:
      text += "medium";
      break;
    case 1:
      text += "large";
      break;
    case 2:
      text += "xlarge";
      break;
    default:
      throw kUnknownDeviceSize;
  }
  return text;
}

bool operator==(const DeviceType& a, const DeviceType& b) {
  return a.generation() == b.generation() && a.size() == b.size();
}

bool operator<(const DeviceType& a, const DeviceType& b) {
  if (a.generation() != b.generation()) return a.generation() < b.generation();
  return a.size() < b.size();
}

bool operator<=(const DeviceType& a, const DeviceType& b) {
  return a < b || a == b;
}

bool operator>(const DeviceType& a, const DeviceType& b) { return b < a; }

bool operator>=(const DeviceType& a, const DeviceType& b) {
  return a > b || a == b;
}

DeviceMetadata::DeviceMetadata(const std::string& version,
                               const std::string& id, const std::string& type,
                               const std::string& device_name,
                               const std::string& health_status)
    : version_(version),
      id_(id),
      type_(StringToDeviceType(type)),
      device_name_(device_name),
      health_status_(health_status) {}

DeviceType DeviceMetadata::StringToDeviceType(const std::string& type) const {
  if (type.size() < kMinTypeLength) throw kMalformedDeviceType;
  if (type.compare(0, kTypePrefixLength, kTypePrefix) != 0) {
    throw kMalformedDeviceType;
  }
  const std::string::size_type dot = type.find('.', kTypePrefixLength);
  if (dot == std::string::npos) throw kMalformedDeviceType;

  const std::string generation_text =
      type.substr(kTypePrefixLength, dot - kTypePrefixLength);
  int32_t generation;
  if (generation_text == "1") {
    generation = 0;
  } else if (generation_text == "2") {
    generation = 1;
  } else {
    throw kMalformedDeviceType;
  }

  if (dot + 1 == type.size()) throw kMalformedDeviceType;
  const std::string size_text = type.substr(dot + 1);
  int32_t size;
  if (size_text == "medium") {
    size = 0;
  } else if (size_text == "large") {
    size = 1;
  } else if (size_text == "xlarge") {
    size = 2;
  } else {
    throw kMalformedDeviceType;
  }
  return DeviceType(generation, size);
}

std::string DeviceMetadata::ToString() const {
  return "id: " + id_ + " ordinal: " + std::to_string(ordinal_) +
         " type: " + type_.to_string() + " version: " + version_ +
         " device_name: " + device_name_ + " health_status: " + health_status_;
}

bool operator==(const DeviceMetadata& a, const DeviceMetadata& b) {
  return a.GetVersion() == b.GetVersion() && a.GetId() == b.GetId() &&
         a.GetType() == b.GetType() && a.GetDeviceName() == b.GetDeviceName();
}

// std::string compares through char_traits<char>, which orders bytes as
// unsigned characters, a proper prefix first.
bool operator<(const DeviceMetadata& a, const DeviceMetadata& b) {
  if (a.GetType() < b.GetType()) return true;
  if (!(a.GetType() == b.GetType())) return false;
  if (a.GetId() != b.GetId()) return a.GetId() < b.GetId();
  return a.GetDeviceName() < b.GetDeviceName();
}

bool operator<=(const DeviceMetadata& a, const DeviceMetadata& b) {
  return a == b || a < b;
}

bool operator>(const DeviceMetadata& a, const DeviceMetadata& b) {
  return b < a;
}

bool operator>=(const DeviceMetadata& a, const DeviceMetadata& b) {
  return a == b || a > b;
}

}  // namespace zva
