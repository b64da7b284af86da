#ifndef ZVA_ERRORS_CLASSIFICATION_H_
#define ZVA_ERRORS_CLASSIFICATION_H_

// What to do after a failed call, decided from its status record alone.

#include <string>

#include "errors/rpc_status.h"

namespace zva {

// The next state after a failure. Thrown by value by the connection and
// session code; returned as a plain int to the RPC executor.
enum RPCState {
  TCP_CONNECT_NEEDED = 0,    // the channel to the proxy must be rebuilt
  PROXY_CONNECT_NEEDED = 1,  // the signed Connect must be made again
  SESSION_BUILD_NEEDED = 2,  // the session must be built again
  DEADLINE_EXCEEDED = 3,     // the call ran out of time
  MODEL_RELOAD_NEEDED = 4,   // the accelerator no longer holds the model
  RETRYABLE_ERROR = 5,       // any other failure; it may be tried again
  FATAL_ERROR = 6,           // repeating cannot cure it
};

// Codes of the framework operations. An adapter ends the method name of an
// RPC execution with one of them in square brackets, after its own tag, for
// example "[MXNet][" + INFER + "]"; IsIgnoredError reads it back.
namespace functions {
inline const std::string INIT_SESSION = "1";
inline const std::string GET_OP_WHITE_LIST = "2";
inline const std::string LOAD_MODEL = "3";
inline const std::string UNLOAD_MODEL = "4";
inline const std::string LIST_MODELS = "5";
inline const std::string INFER = "6";
inline const std::string FRAMEWORK_DESTRUCTOR = "7";
inline const std::string MODEL_DESTRUCTOR = "8";
inline const std::string POST_GRAPH_STATS = "9";
}  // namespace functions

}  // namespace zva

// Classification of failures. Stateless; every operation is static, pure and
// thread-safe.
class ErrorHandler {
 public:
  // gRPC CANCELLED; or UNAVAILABLE unless the service reports an internal
  // error.
  static bool IsTcpConnectNeeded(ZvaRpcStatus status);
  // The proxy has not seen a Connect from this channel.
  static bool IsProxyConnectNeeded(ZvaRpcStatus status);
  // The session is unknown, reset, destroyed or terminated.
  static bool IsSessionBuildNeeded(ZvaRpcStatus status);
  static bool IsDeadlineExceeded(ZvaRpcStatus status);
  // The accelerator no longer holds the model.
  static bool IsModelReloadNeeded(ZvaRpcStatus status);
  // Failures that repeating cannot cure, among them a library-detected
  // authentication failure (kAuthenticationFailed or kSigningFailed).
  static bool IsFatalError(ZvaRpcStatus status);
  // One of the three repairs above: channel, Connect or session.
  static bool IsRetryable(ZvaRpcStatus status);
  // UNIMPLEMENTED from a graph-statistics execution, whose function code is
  // the text between the last "[" and the last "]" of `method_name`.
  static bool IsIgnoredError(ZvaRpcStatus status,
                             const std::string& method_name);

  // The first matching rule: TCP connect, proxy connect, session build,
  // deadline, model reload, fatal; otherwise RETRYABLE_ERROR.
  static int GetNextState(ZvaRpcStatus status);
  // Throws the zva::RPCState of the same rules without the deadline test: a
  // deadline-exceeded status throws RETRYABLE_ERROR, and DEADLINE_EXCEEDED
  // is never thrown.
  [[noreturn]] static void ThrowRPCStateException(ZvaRpcStatus status);
};

#endif  // ZVA_ERRORS_CLASSIFICATION_H_
