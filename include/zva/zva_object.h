#ifndef ZVA_ZVA_OBJECT_H_
#define ZVA_ZVA_OBJECT_H_

// The object model handed to framework integrations. Every object of this
// interface ends through Release(), never through delete; owning smart
// pointers carry ObjectReleaser as their deleter. The interfaces declare no
// virtual destructor on purpose: the slot order below is the contract.

#include <cstdint>
#include <memory>
#include <string>

#include "zva/zva_client.h"  // GetZVClientVersion, shared by both interfaces
#include "zva/zvl_export.h"

namespace zva {

// Root of every object handed out. Release() frees what the object holds and
// returns 0; implementations make a second call harmless.
class ObjectInterface {
 public:
  virtual int Release() = 0;

 protected:
  ~ObjectInterface() = default;
};

// Names the framework interface a caller asks QueryInterface for. The
// accelerator does not look at the value.
enum class InterfaceID : int32_t {
  kUnknown = 0,
  kMXNet = 1,
  kPytorch = 2,
};

// Passed by a framework integration to QueryInterface; copied into the
// session configuration by the handshake.
struct Versions {
  std::string framework_version;
  int32_t client_requested_operator_whitelist_version = 0;
  int32_t operator_whitelist_override_version = 0;
};

// One remote accelerator. Thread-safe: Ping, QueryInterface and
// GetOverrideOperatorWhitelistVersion may be called from any thread, beside
// the accelerator's own health-check thread.
class AcceleratorInterface : public ObjectInterface {
 public:
  // Hands out, through `out`, the framework interface object of this
  // accelerator. The caller owns *out; it ends through Release().
  virtual int QueryInterface(InterfaceID id, const Versions& versions,
                             std::shared_ptr<ObjectInterface>* out) = 0;
  // 0 when the accelerator answers healthy, 10 when unhealthy, otherwise the
  // client status code of the failure (with the thread's last error set).
  virtual int Ping() = 0;
  // The operator-whitelist override version of this accelerator's
  // configuration.
  virtual int GetOverrideOperatorWhitelistVersion() = 0;

 protected:
  ~AcceleratorInterface() = default;
};

// Deleter of every owning pointer to an interface object: calls Release() on
// a pointer that is not null, does nothing for null.
struct ObjectReleaser {
  void operator()(ObjectInterface* object) const {
    if (object != nullptr) object->Release();
  }
};

// Starts the file log once per process. Entry points call it first, so a
// caller need not. Thread-safe.
ZVA_EXPORT void InitLogging();

}  // namespace zva

#endif  // ZVA_ZVA_OBJECT_H_
