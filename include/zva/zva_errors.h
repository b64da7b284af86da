#ifndef ZVA_ZVA_ERRORS_H_
#define ZVA_ZVA_ERRORS_H_

// Client status codes and the last error.
//
// Every failure the library reports is a small integer status code, named
// in zva/zva_codes.h (kOk is success), with a fixed description. Beside it
// each thread keeps the text of its most recent failure, with the service's
// codes, the request identifier and the accelerator identifier. Both calls
// are thread-safe; the last error is per thread, so a caller sees only
// failures of operations that ran on its own thread. Nothing here throws.

#include <string>

#include "zva/zva_codes.h"
#include "zva/zvl_export.h"

namespace zva {

// Copies the calling thread's last-error text into *message; a thread that
// never failed reads "Notice - No last error found". A null `message` is
// logged and ignored. Returns 0.
ZVA_EXPORT int GetLastError(std::string* message);

// The fixed description of a client status code; "Invalid error code
// specified" for a code without one. Some codes have an empty description.
ZVA_EXPORT std::string GetErrorDescription(int code);

}  // namespace zva

#endif  // ZVA_ZVA_ERRORS_H_
