#ifndef ZVA_API_FACTORY_H_
#define ZVA_API_FACTORY_H_

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zva/zva_accelerator.h"

namespace zva {

class Accelerator;

// Builds a new list: one accelerator per visible device, in ordinal order,
// each owned through a shared pointer whose deleter is ObjectReleaser. An
// int failure of discovery is logged and ends the list where it stands (empty
// when discovery failed). Each accelerator's memory stays reachable after its
// release (see Accelerator). Thread-safe.
std::vector<std::shared_ptr<AcceleratorInterface>> GetAllAcceleratorsInternal(
    const char* endpoint);

// The position in `list` of the accelerator whose identifier is `id`, or
// `list.size()` when there is none. The process-wide list is the one
// authority on which accelerator is which: what another discovery run reports
// about a device leads to an accelerator only through the device's
// identifier, never through that run's ordinal. Takes AcceleratorListMutex.
size_t PositionOfAccelerator(
    const std::vector<std::shared_ptr<AcceleratorInterface>>& list,
    const std::string& id);

// Guards the entries of the process-wide list against ZVLShutdown emptying
// them while another thread copies one.
std::mutex& AcceleratorListMutex();

// The accelerator behind an interface pointer handed out by this library;
// null for null or for an object of another kind.
Accelerator* AsAccelerator(AcceleratorInterface* accelerator);

}  // namespace zva

#endif  // ZVA_API_FACTORY_H_
