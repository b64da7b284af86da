#ifndef ZVA_API_SELF_DESCRIPTION_H_
#define ZVA_API_SELF_DESCRIPTION_H_

#include "core/accelerator.h"

namespace zva {

// Prints to standard output, and logs at INFO, the client version, the
// number of attached accelerators and `accelerator`'s identifier, type and
// ordinal. Runs a full discovery on the caller's thread each time. Lets the
// registry's int pass when the accelerator is no longer attached (nothing is
// printed then). Thread-safe. The factory hands it to every accelerator it
// makes, as what their DescribeZVA runs.
void DescribeAccelerator(const Accelerator& accelerator);

}  // namespace zva

#endif  // ZVA_API_SELF_DESCRIPTION_H_
