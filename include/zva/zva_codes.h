#ifndef ZVA_ZVA_CODES_H_
#define ZVA_ZVA_CODES_H_

// Client status codes and ping results, by name.
//
// Every operation of the library that can fail returns a client status code:
// kOk for success, otherwise one of the codes below, each with a fixed
// description (zva::GetErrorDescription, zva/zva_errors.h). Many stand for a
// status the service sent; their description is then "Internal error", and
// the thread's last-error text carries the service's own code and message.
// The values never change: they are ints because the C interface returns
// them, and integrations compare against them.

namespace zva {

// ---- Client status codes: every entry of the error catalogue ------------

// Operation succeeded.
inline constexpr int kOk = 0;
// A failure without a code of its own, such as a failed call.
inline constexpr int kInternalError = 1;
// The service does not support this client's version.
inline constexpr int kUnsupportedVersion = 2;
// Internal error; no longer raised.
inline constexpr int kReserved3 = 3;
// Service unavailable: it could not reach the accelerator.
inline constexpr int kServiceUnavailable = 4;
// Internal error; no longer raised.
inline constexpr int kReserved5 = 5;
// Invalid model: the service refused it.
inline constexpr int kInvalidModel = 6;
// No KCP credentials found to sign the Connect with.
inline constexpr int kNoKcpCredentials = 7;
// Unable to authenticate with the accelerator.
inline constexpr int kAuthenticationFailed = 8;
// Authentication failure during KCP4 signing.
inline constexpr int kSigningFailed = 9;
// The accelerator reports itself unhealthy.
inline constexpr int kAcceleratorUnhealthy = 10;
// Accelerator device is healthy.
inline constexpr int kAcceleratorHealthy = 11;
// The accelerator does not hold the model.
inline constexpr int kModelNotFound = 12;
// The service does not know the session.
inline constexpr int kSessionNotFound = 13;
// The accelerator is frozen.
inline constexpr int kAcceleratorFrozen = 14;
// The service terminated the session.
inline constexpr int kSessionTerminated = 15;
// The session was destroyed.
inline constexpr int kSessionDestroyed = 16;
// The service refused the accelerator identifier.
inline constexpr int kAcceleratorIdInvalid = 17;
// The service is throttling this client.
inline constexpr int kThrottled = 18;
// Accelerator metadata discovery process failure.
inline constexpr int kDiscoveryFailure = 19;
// Internal error; no longer raised.
inline constexpr int kReserved20 = 20;
// A tensor, identifier or name the wire cannot carry as given.
inline constexpr int kTensorFormatError = 21;
// The service reset the session.
inline constexpr int kSessionReset = 22;
// A call reached the service without a session identifier.
inline constexpr int kSessionIdEmpty = 23;
// A call reached the service without the accelerator header.
inline constexpr int kMissingAcceleratorIdHeader = 24;
// The proxy has seen no Connect on this channel.
inline constexpr int kConnectExpected = 25;
// A call reached the service without a path.
inline constexpr int kMissingPath = 26;
// The service asks to come back later.
inline constexpr int kComeBackLater = 27;
// The service knows no accelerator of that identifier.
inline constexpr int kAcceleratorNotFound = 28;
// A Connect reached the service without a body.
inline constexpr int kConnectWithoutBody = 29;
// The service failed internally.
inline constexpr int kServiceInternalError = 30;
// Accelerator out of memory.
inline constexpr int kAcceleratorOutOfMemory = 31;
// Invalid tensor on the accelerator.
inline constexpr int kInvalidTensor = 32;
// The service timed out.
inline constexpr int kServiceTimeout = 33;
// The service knows no request of that identifier.
inline constexpr int kRequestIdNotFound = 34;
// Unable to locate SSL certificates.
inline constexpr int kNoSslCertificates = 35;
// Service not available: the channel never became ready.
inline constexpr int kServiceNotReachable = 36;
// Invalid configuration file.
inline constexpr int kInvalidConfigurationFile = 37;
// No configuration file found.
inline constexpr int kNoConfigurationFile = 38;
// The model is not of the session's framework.
inline constexpr int kModelTypeMismatch = 39;
// Failed to find the region name, in the metadata or the environment.
inline constexpr int kRegionNotFound = 40;
// Failed to find an accelerator identifier in the metadata.
inline constexpr int kAcceleratorIdNotFound = 41;
// The accelerator is still being attached.
inline constexpr int kAttachmentPending = 42;
// The accelerator holds a model of that identifier already.
inline constexpr int kModelAlreadyExists = 43;
// Invalid model type.
inline constexpr int kInvalidModelType = 44;
// The service failed without saying why.
inline constexpr int kUnknownServiceError = 45;
// The service refused the request.
inline constexpr int kInvalidRequest = 46;

// ---- Results of PingDevice (zva/zva_client.h) ---------------------------

// The device answered that it is healthy.
inline constexpr int kPingHealthy = 0;
// The device answered that it is unhealthy.
inline constexpr int kPingUnhealthy = 1;
// No answer, an unknown index, or no accelerator list.
inline constexpr int kPingNotReachable = 2;

}  // namespace zva

#endif  // ZVA_ZVA_CODES_H_
