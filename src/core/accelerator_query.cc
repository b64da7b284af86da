// The framework query and the self-description of an accelerator.

#include <utility>

#include "core/accelerator.h"
#include "platform/log_stream.h"
#include "zva/zva_codes.h"

namespace zva {

using logger::CLogger;

void Accelerator::SetSelfDescription(SelfDescription describe) {
  internals_->self_description_ = std::move(describe);
}

void Accelerator::DescribeZVA() {
  if (internals_->self_description_) internals_->self_description_(*this);
}

int Accelerator::QueryInterface(InterfaceID /*id*/,
                                const Versions& /*versions*/,
                                std::shared_ptr<ObjectInterface>* out) {
  CLogger log("QueryInterface");
  DescribeZVA();
  log << " query interface\n" << logger::INFO;
  if (out == nullptr) return kOk;
  std::lock_guard<std::mutex> lock(mtx_);
  *out = framework_object_;
  return kOk;
}

}  // namespace zva
