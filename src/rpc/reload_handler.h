#ifndef ZVA_RPC_RELOAD_HANDLER_H_
#define ZVA_RPC_RELOAD_HANDLER_H_

// Reloads a model that the accelerator lost, so that a failed inference can
// be made once more.

#include <mutex>
#include <string>

#include <grpcpp/support/status.h>

#include "zva/rpc/zva_service.grpc.pb.h"

#include "platform/log_stream.h"
#include "rpc/encoded_request.h"
#include "rpc/executor.h"

namespace zva {
class Accelerator;
}  // namespace zva

// Used for one Infer execution, by one thread. Reloads of all handlers of the
// process are serialised by reload_m_, so at most one list-and-reload runs
// at a time; the kept load request is written only under that lock.
class InferExceptionHandler : public RPCExceptionHandlerInterface {
 public:
  using Stub = zva::rpc::ZvaInference::Stub;

  // `load_request` is the request that loaded the model, owned by the model
  // object; a reload overwrites its session. `stub` and `accelerator` are not
  // owned. Timeouts are in milliseconds.
  InferExceptionHandler(zva::rpc::LoadModelRequest& load_request, Stub* stub,
                        zva::Accelerator* accelerator, int load_model_timeout,
                        int list_model_timeout);
  // The same with the load request a model keeps encoded: a reload sends it
  // as it is, its session encoded again, through `wire_stub`. `model_id` is
  // the model's, the one in the request; neither is owned.
  InferExceptionHandler(const std::string& model_id,
                        zva::wire::EncodedRequest& load_request, Stub* stub,
                        zva::wire::WireStub* wire_stub,
                        zva::Accelerator* accelerator, int load_model_timeout,
                        int list_model_timeout);
  virtual ~InferExceptionHandler() = default;

  // OK when the model is loaded again (by this thread or another one) and the
  // inference may be repeated; otherwise the status to report: `status` itself
  // when the failure is not a model loss, the lock was not had in time or the
  // list call failed, and the reload's status when the reload failed.
  grpc::Status HandleException(const std::string& session_id,
                               grpc::Status status) override;

  // OK ("Model is in list") when the accelerator lists the model under
  // exactly its identifier, NOT_FOUND when it does not, otherwise the status
  // of the failed list call.
  grpc::Status IsModelInModelList(const std::string& session_id);

  // Sends the kept load request again, in session `session_id`.
  grpc::Status LoadCachedModel(const std::string& session_id);

  // One reload at a time in the whole process.
  static std::timed_mutex reload_m_;

 private:
  enum class Listing { kListed, kNotListed, kListFailed };

  // Whether the accelerator lists the model; on kListFailed, *failure is the
  // status of the list call. A failed call may itself answer NOT_FOUND (a
  // lost session, say), so it is kept apart from a model that is not listed.
  Listing ListModel(const std::string& session_id, grpc::Status* failure);

  const std::string& ModelId() const;

  // One of the two is set: the load request as a message, or encoded. Both
  // are guarded by reload_m_ on write.
  zva::rpc::LoadModelRequest* load_request_ = nullptr;
  zva::wire::EncodedRequest* encoded_load_request_ = nullptr;
  const std::string* model_id_ = nullptr;  // with encoded_load_request_
  zva::wire::WireStub* wire_stub_ = nullptr;
  Stub* stub_;
  zva::Accelerator* accelerator_;
  int load_model_timeout_;
  int list_model_timeout_;
  zva::logger::CLogger logger_;
};

#endif  // ZVA_RPC_RELOAD_HANDLER_H_
