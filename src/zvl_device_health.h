#ifndef ZVA_ZVL_DEVICE_HEALTH_H_
#define ZVA_ZVL_DEVICE_HEALTH_H_

// Health of the devices of the process-wide accelerator list: the names of
// the three ping results and the ping of one device by index. The public
// declarations live in zva/zva_tools.h.

#include "zva/zva_tools.h"

namespace zva {

// The PingDevice result that means "not reachable"; also what an index past
// the list yields.
inline constexpr int kHealthNotReachable = 2;

}  // namespace zva

#endif  // ZVA_ZVL_DEVICE_HEALTH_H_
