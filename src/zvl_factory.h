#ifndef ZVA_ZVL_FACTORY_H_
#define ZVA_ZVL_FACTORY_H_

#include <memory>
#include <mutex>
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

// Guards the entries of the process-wide list against ZVLShutdown emptying
// them while another thread copies one.
std::mutex& AcceleratorListMutex();

// The accelerator behind an interface pointer handed out by this library;
// null for null or for an object of another kind.
Accelerator* AsAccelerator(AcceleratorInterface* accelerator);

}  // namespace zva

#endif  // ZVA_ZVL_FACTORY_H_
