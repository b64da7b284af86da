#ifndef ZVA_ZVA_DEVICE_METADATA_H_
#define ZVA_ZVA_DEVICE_METADATA_H_

// The description of one attached accelerator, as discovery reports it and
// the tools print it. Both classes are plain values: copies are independent,
// and a const object may be read from several threads at once. Nothing here
// is guarded by a lock; a record that one thread changes (SetOrdinal,
// SetHealthStatus) must not be read by another thread at the same time.
//
// Failures are thrown as plain int codes:
//   1050  malformed device type text (constructor, StringToDeviceType)
//   1051  device type with an unknown generation (to_string, ToString)
//   1052  device type with an unknown size (to_string, ToString)

#include <cstdint>
#include <string>
#include <vector>

#include "zva/zvl_export.h"

namespace zva {

// A device's number, 0-based, in the order the registry gives the attached
// devices (and the process-wide accelerator list follows): the one type of
// an ordinal in every C++ interface of the library. The C interface
// (zva_client.h) takes the same number as an unsigned int, the width its
// signature has.
using DeviceOrdinal = unsigned long;

// The parsed form of an accelerator type text such as "zva1.medium".
// Valid texts are exactly "zva1.medium", "zva1.large", "zva1.xlarge",
// "zva2.medium", "zva2.large" and "zva2.xlarge".
class ZVA_EXPORT DeviceType {
 public:
  // generation: 0 for "zva1.", 1 for "zva2.".
  // size: 0 for "medium", 1 for "large", 2 for "xlarge".
  // Default: generation 0, size 0 ("zva1.medium").
  DeviceType() = default;
  DeviceType(int32_t generation, int32_t size)
      : generation_(generation), size_(size) {}
  virtual ~DeviceType() = default;

  DeviceType(const DeviceType&) = default;
  DeviceType& operator=(const DeviceType&) = default;

  int32_t generation() const { return generation_; }
  int32_t size() const { return size_; }

  // The type text. Throws int 1051 for an unknown generation and 1052 for an
  // unknown size; a type parsed from a valid text never throws.
  std::string to_string() const;

 private:
  int32_t generation_ = 0;
  int32_t size_ = 0;
};

// Same generation and same size.
ZVA_EXPORT bool operator==(const DeviceType& a, const DeviceType& b);
// By generation, then by size.
ZVA_EXPORT bool operator<(const DeviceType& a, const DeviceType& b);
ZVA_EXPORT bool operator<=(const DeviceType& a, const DeviceType& b);
ZVA_EXPORT bool operator>(const DeviceType& a, const DeviceType& b);
ZVA_EXPORT bool operator>=(const DeviceType& a, const DeviceType& b);

// One attached accelerator: identifier, type, version label of its metadata
// document, device name (empty outside a container), ordinal (its number in
// the device registry) and health status.
class ZVA_EXPORT DeviceMetadata {
 public:
  // Copies the texts and parses `type`. Throws int 1050 when `type` is not
  // one of the six valid type texts; no record is created then. The ordinal
  // is 0 until the device registry assigns it.
  DeviceMetadata(const std::string& version, const std::string& id,
                 const std::string& type, const std::string& device_name,
                 const std::string& health_status);
  virtual ~DeviceMetadata() = default;

  DeviceMetadata(const DeviceMetadata&) = default;
  DeviceMetadata& operator=(const DeviceMetadata&) = default;

  // Parses a type text; reads no field. Throws int 1050 when the text is
  // malformed. The comparison is exact: no case folding, no trimming.
  DeviceType StringToDeviceType(const std::string& type) const;

  const std::string& GetVersion() const { return version_; }
  const std::string& GetId() const { return id_; }
  const DeviceType& GetType() const { return type_; }
  const std::string& GetDeviceName() const { return device_name_; }
  DeviceOrdinal GetOrdinal() const { return ordinal_; }
  const std::string& GetHealthStatus() const { return health_status_; }

  void SetOrdinal(DeviceOrdinal ordinal) { ordinal_ = ordinal; }
  void SetHealthStatus(const std::string& status) { health_status_ = status; }

  // "id: <id> ordinal: <n> type: <type> version: <v> device_name: <name>
  // health_status: <status>" on one line, without a trailing newline.
  // Throws what DeviceType::to_string throws.
  std::string ToString() const;

 private:
  std::string version_;
  std::string id_;
  DeviceType type_;
  std::string device_name_;
  DeviceOrdinal ordinal_ = 0;
  std::string health_status_;
};

// Equal version, identifier, type and device name; the ordinal and the
// health status are not compared.
ZVA_EXPORT bool operator==(const DeviceMetadata& a, const DeviceMetadata& b);
// Lexicographic on (type, identifier, device name); texts compare byte by
// byte. The version takes no part, so two records that differ only in their
// version are neither equal nor ordered.
ZVA_EXPORT bool operator<(const DeviceMetadata& a, const DeviceMetadata& b);
ZVA_EXPORT bool operator<=(const DeviceMetadata& a, const DeviceMetadata& b);
ZVA_EXPORT bool operator>(const DeviceMetadata& a, const DeviceMetadata& b);
ZVA_EXPORT bool operator>=(const DeviceMetadata& a, const DeviceMetadata& b);

// Runs a fresh discovery of the accelerators attached to this host and
// appends their identifiers to `accelerator_ids`, in the order the metadata
// service lists them. Returns true on success; on failure returns false, logs
// the failure, and the calling thread's last error may describe it. Performs
// blocking HTTP queries (each at most 2 seconds). Thread-safe: concurrent
// calls are independent.
ZVA_EXPORT bool GetDevices(std::vector<std::string>& accelerator_ids);

}  // namespace zva

#endif  // ZVA_ZVA_DEVICE_METADATA_H_
