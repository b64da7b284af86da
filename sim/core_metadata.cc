// The metadata service: the instance and container documents, the
// credentials documents, and per-path overrides.

#include <google/protobuf/util/json_util.h>

#include "zva/discover/zva_discover.pb.h"

#include "core_internal.h"

namespace zvsim {
namespace {

using std::chrono::milliseconds;

constexpr char kVmAssociations[] = "/latest/meta-data/zorvel/associations";
constexpr char kIdentityDocument[] =
    "/latest/dynamic/instance-identity/document";
constexpr char kContainerAssociations[] = "/container/associations/zorvel";
constexpr char kRoleCredentials[] =
    "/latest/meta-data/kcp/security-credentials/";
constexpr char kContainerCredentials[] = "/container/credentials";

// The discovery documents are printed from the very messages clients parse
// them into, so their shape cannot drift from the schema.
std::string ToJson(const google::protobuf::Message& message) {
  std::string out;
  google::protobuf::util::JsonPrintOptions options;
  options.preserve_proto_field_names = true;
  options.always_print_primitive_fields = true;
  // These plain messages always print.
  if (!google::protobuf::util::MessageToJsonString(message, &out, options)
           .ok()) {
    out.clear();
  }
  return out;
}

}  // namespace

Core::HttpAnswer Core::AnswerMetadata(const std::string& path) {
  std::unique_lock<std::mutex> lock(mtx_);
  ++metadata_requests_[path];
  cv_.notify_all();
  HttpAnswer answer;
  answer.status = 404;
  answer.body = "not found";

  const std::string vm_list = std::string(kVmAssociations) + "/";
  const std::string container_list = kContainerAssociations;
  if (path == vm_list || path == kVmAssociations) {
    answer.status = 200;
    answer.body.clear();
    for (size_t i = 0; i < specs_.size(); ++i) {
      if (i > 0) answer.body += "\n";
      answer.body += specs_[i].id;
    }
  } else if (path.rfind(vm_list, 0) == 0) {
    auto it = accelerators_.find(path.substr(vm_list.size()));
    if (it != accelerators_.end()) {
      zva::discover::VMHAcceleratorMetadata doc;
      doc.mutable_version_2018_04_12()->set_zorvelacceleratorid(
          it->second.desc.id);
      doc.mutable_version_2018_04_12()->set_zorvelacceleratortype(
          it->second.desc.type);
      answer = {200, ToJson(doc), "application/json"};
    }
  } else if (path == container_list || path == container_list + "/") {
    zva::discover::AssociatedAccelerators doc;
    for (const AcceleratorSpec& desc : specs_) doc.add_associations(desc.id);
    answer = {200, ToJson(doc), "application/json"};
  } else if (path.rfind(container_list + "/", 0) == 0) {
    auto it = accelerators_.find(path.substr(container_list.size() + 1));
    if (it != accelerators_.end()) {
      zva::discover::CNSAcceleratorMetadata doc;
      auto* details = doc.mutable_version_2018_04_12();
      details->set_zorvelacceleratorid(it->second.desc.id);
      details->set_zorvelacceleratortype(it->second.desc.type);
      details->set_deviceid(it->second.desc.device_name);
      answer = {200, ToJson(doc), "application/json"};
    }
  } else if (Rotating() && path == kRoleCredentials) {
    answer = {200, role_name_, "text/plain"};
  } else if (Rotating() && path == kRoleCredentials + role_name_) {
    answer = {200, CredentialsDocumentLocked(true), "application/json"};
  } else if (Rotating() && path == kContainerCredentials) {
    answer = {200, CredentialsDocumentLocked(false), "application/json"};
  } else if (path == kIdentityDocument &&
             identity_document_ != IdentityDocument::kAbsent) {
    // The members a real identity document carries besides the region are
    // there so that clients are seen to ignore them.
    std::string doc =
        "{\n  \"accountId\" : \"000000000000\",\n"
        "  \"architecture\" : \"x86_64\",\n"
        "  \"instanceId\" : \"i-0zvsim000000000\",\n"
        "  \"instanceType\" : \"zv.sim\"";
    if (identity_document_ == IdentityDocument::kWithRegion) {
      doc += ",\n  \"region\" : \"" + JsonEscape(region_) + "\"";
    }
    doc += "\n}";
    answer = {200, doc, "application/json"};
  }

  auto it = metadata_overrides_.find(path);
  if (it != metadata_overrides_.end() &&
      metadata_requests_[path] > it->second.after_requests) {
    const MetadataOverride o = it->second;
    if (o.status) answer.status = *o.status;
    if (o.body) answer.body = *o.body;
    if (o.delay.count() > 0) {
      const uint64_t epoch = interrupt_epoch_;
      cv_.wait_for(lock, o.delay, [&] { return interrupt_epoch_ != epoch; });
    }
  }
  return answer;
}

void Core::SetMetadataOverride(const std::string& path, MetadataOverride o) {
  std::lock_guard<std::mutex> lock(mtx_);
  metadata_overrides_[path] = std::move(o);
}

void Core::ClearMetadataOverrides() {
  std::lock_guard<std::mutex> lock(mtx_);
  metadata_overrides_.clear();
}

size_t Core::MetadataRequestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(mtx_);
  auto it = metadata_requests_.find(path);
  return it == metadata_requests_.end() ? 0 : it->second;
}

bool Core::WaitForMetadataRequests(const std::string& path, size_t n,
                                   milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mtx_);
  return cv_.wait_for(lock, timeout, [&] {
    auto it = metadata_requests_.find(path);
    return it != metadata_requests_.end() && it->second >= n;
  });
}

}  // namespace zvsim
