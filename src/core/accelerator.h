#ifndef ZVA_CORE_ACCELERATOR_H_
#define ZVA_CORE_ACCELERATOR_H_

// The accelerator is declared in the public header, because integrations
// call its operations as members; what only the library uses of it (the
// stub, the configuration, the health-check thread) is defined here.

#include <functional>
#include <memory>
#include <mutex>

#include <grpcpp/grpcpp.h>

#include "zva/config/zva_client_lib_config.pb.h"
#include "zva/rpc/zva_service.grpc.pb.h"

#include "core/health_check.h"
#include "core/session_context.h"
#include "errors/backoff.h"
#include "platform/configuration.h"
#include "zva/zva_accelerator_class.h"

namespace zva {

// Serialises the start and shutdown of the platform layer and Release.
extern std::mutex mtx_init_and_shutdown;

// Keeps the platform layer up while any accelerator lives: runs `init` at
// once and `exit` when destroyed.
class Accelerator::RunOnInitAndExit {
 public:
  RunOnInitAndExit(const std::function<void()>& init,
                   std::function<void()> exit);
  virtual ~RunOnInitAndExit();

 private:
  std::function<void()> exit_;
};

// Owned by its accelerator, for the accelerator's whole life.
struct Accelerator::Internals {
  explicit Internals(Accelerator* accelerator) : health_check_(accelerator) {}

  // The stub; null once released. Holding the returned pointer keeps the
  // stub alive for the call in hand.
  std::shared_ptr<zva::rpc::ZvaInference::Stub> GetStub() const {
    std::lock_guard<std::mutex> lock(mtx_stub_);
    return stub_;
  }

  // State below is protected by mtx_stub_: Release drops it while other
  // threads may be about to make a call.
  mutable std::mutex mtx_stub_;
  std::shared_ptr<zva::rpc::ZvaInference::Stub> stub_;

  // Filled by the accelerator's constructor, only read afterwards.
  zva::config::ClientConfiguration client_config_;
  // Set once, before the accelerator is shared; only read afterwards.
  SelfDescription self_description_;

  // The health-check thread, its stop flag, its wake-ups and the session
  // identifier it owns. Declared after everything it uses, so that it is
  // destroyed (and its thread joined) first.
  HealthCheck health_check_;
};

}  // namespace zva

#endif  // ZVA_CORE_ACCELERATOR_H_
