#include "discovery/metadata_client.h"

#include <cstdlib>
#include <set>
#include <utility>

#include <google/protobuf/descriptor.h>

#include "zva/discover/zva_discover.pb.h"

#include "platform/log_stream.h"
#include "errors/rpc_status.h"
#include "errors/safe_text.h"
#include "errors/catalogue.h"
#include "platform/files.h"

using zva::logger::CLogger;
using zva::logger::ERROR;
using zva::logger::INFO;
using zva::logger::WARNING;

namespace {

using zva::kAcceleratorIdNotFound;
using zva::kDiscoveryFailure;
using zva::kInternalError;
using zva::kOk;
using zva::kRegionNotFound;

constexpr char kInstanceMetadataVariable[] = "ZV_INSTANCE_METADATA_URI";
constexpr char kContainerMetadataVariable[] = "CNS_CONTAINER_METADATA_URI";
constexpr char kRegionVariable[] = "KCP_REGION";
constexpr char kDefaultRegionVariable[] = "KCP_DEFAULT_REGION";
constexpr char kAcceleratorsOverrideVariable[] =
    "QUERY_ACCELERATORS_RESPONSE_OVERRIDE";
constexpr char kDetailsOverrideVariable[] =
    "QUERY_ACCELERATOR_DETAILS_RESPONSE_OVERRIDE";

constexpr char kVMHAssociationsPath[] = "/latest/meta-data/zorvel/associations";
constexpr char kCNSAssociationsPath[] = "/associations/zorvel";
constexpr char kIdentityDocumentPath[] =
    "/latest/dynamic/instance-identity/document";
constexpr char kProxyHostPrefix[] = "runtime.zorvel.";
constexpr char kProxyPort[] = ":443";

std::string InstanceMetadataBase() {
  const char* base = std::getenv(kInstanceMetadataVariable);
  return base != nullptr ? base : zva::kInstanceMetadataBaseUri;
}

std::string ContainerMetadataBase() {
  const char* base = std::getenv(kContainerMetadataVariable);
  return base != nullptr ? base : "";
}

// Sets the last error of the calling thread from a client status code.
void SetDiscoveryLastError(int code) {
  ZvaRpcStatus status(code, zva::GetErrorDescription(code), "");
  zva::util::SetLastError(zva::util::GenerateLastErrorMessage(status, "", ""));
}

// `id` as one segment of a URL path: every byte but the unreserved ones
// percent-encoded, and a segment of only dots ("." or "..") with its dots
// encoded too, so that no identifier can step to another document.
std::string PathSegment(const std::string& id) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const bool only_dots = id.find_first_not_of('.') == std::string::npos;
  std::string out;
  out.reserve(id.size());
  for (char c : id) {
    const auto byte = static_cast<unsigned char>(c);
    const bool unreserved = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                            c == '~' || (c == '.' && !only_dots);
    if (unreserved) {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    }
  }
  return out;
}

// The name of the wrapper field of a details document, which is the version
// label of the document.
template <typename Wrapper>
std::string VersionLabel(const Wrapper& wrapper) {
  const google::protobuf::FieldDescriptor* field =
      wrapper.GetDescriptor()->FindFieldByNumber(1);
  return field != nullptr ? field->name() : std::string();
}

// Parses a details document of either host kind into `document` and writes
// the entries both kinds share. False, with the failure logged, when the
// document does not parse.
template <typename Document>
bool ParseSlotDetails(const std::string& body, const char* host_kind,
                      Document& document,
                      std::map<std::string, std::string>& details) {
  if (zva::util::DeserializeJSONToProtobufMessage(body, document) != kOk) {
    CLogger log;
    log << "Error during deserialization of " << host_kind
        << " accelerator metadata details \n"
        << ERROR;
    return false;
  }
  const auto& inner = document.version_2018_04_12();
  details["version"] = VersionLabel(document);
  details["id"] = inner.zorvelacceleratorid();
  details["type"] = inner.zorvelacceleratortype();
  return true;
}

}  // namespace

Discover::Discover(std::unique_ptr<HttpInterface> fetcher)
    : fetcher_(std::move(fetcher)) {}

Discover::~Discover() = default;

int Discover::Release() {
  delete this;
  return kOk;
}

int Discover::Fetch(const std::string& url, std::string& body) {
  if (fetcher_ == nullptr) return kInternalError;
  return fetcher_->DoHttp(url.c_str(), body);
}

bool Discover::IsCNSContainer() {
  return std::getenv(kContainerMetadataVariable) != nullptr;
}

int Discover::QueryAcceleratorMetadata(std::string& body) {
  CLogger log;
  std::string url;
  if (IsCNSContainer()) {
    log << "Querying accelerators from CNS Container...\n" << INFO;
    url = ContainerMetadataBase() + kCNSAssociationsPath;
  } else {
    log << "Querying accelerators from VMH Instance...\n" << INFO;
    url = InstanceMetadataBase() + kVMHAssociationsPath + "/";
  }
  return Fetch(url, body);
}

int Discover::QueryAcceleratorMetadataDetails(const std::string& id,
                                              std::string& body) {
  CLogger log;
  std::string url;
  if (IsCNSContainer()) {
    log << "Querying accelerator details from CNS Container for accelerator: "
        << id << "\n"
        << INFO;
    url =
        ContainerMetadataBase() + kCNSAssociationsPath + "/" + PathSegment(id);
  } else {
    log << "Querying accelerator details from VMH Instance for accelerator: "
        << id << "\n"
        << INFO;
    url = InstanceMetadataBase() + kVMHAssociationsPath + "/" + PathSegment(id);
  }
  return Fetch(url, body);
}

int Discover::DiscoverRegion(std::string& region) {
  std::string refusal;
  const int status = FindRegion(region, &refusal);
  if (!refusal.empty()) {
    zva::util::SetLastErrorWithDetail(kRegionNotFound, refusal);
  }
  return status;
}

int Discover::FindRegion(std::string& region, std::string* refusal) {
  CLogger log;
  std::string body;
  if (Fetch(InstanceMetadataBase() + kIdentityDocumentPath, body) != kOk) {
    log << "Warning: Failed to query instance identity metadata.  This is not "
           "an issue if KCP_REGION/KCP_DEFAULT_REGION are set \n"
        << WARNING;
    // A transfer that broke off may have left part of a document; the
    // environment must then decide, not a parse of the fragment.
    body.clear();
  }

  std::string found;
  std::string source;
  if (body.empty()) {
    log << "Checking environment variables for region\n" << INFO;
    if (const char* value = std::getenv(kRegionVariable)) {
      log << "Setting region from KCP_REGION\n" << INFO;
      found = value;
      source = kRegionVariable;
    } else if (const char* fallback = std::getenv(kDefaultRegionVariable)) {
      log << "Setting region from KCP_DEFAULT_REGION\n" << INFO;
      found = fallback;
      source = kDefaultRegionVariable;
    }
  } else {
    zva::discover::InstanceIdentityMetadata document;
    if (zva::util::DeserializeJSONToProtobufMessage(body, document) != kOk) {
      log << "Error during deserialization of Instance Identity metadata "
             "details \n"
          << ERROR;
      return kRegionNotFound;
    }
    if (document.region().empty()) {
      log << "Error: Region not present in Instance Identity metadata: \n"
          << ERROR;
      return kRegionNotFound;
    }
    found = document.region();
    source = "the instance identity document";
  }

  if (found.empty()) {
    log << "Could not find region from identity or env variable. \n" << ERROR;
    return kRegionNotFound;
  }
  // The region becomes part of the proxy host name and of the signed
  // request headers: a stray carriage return or blank must stop here.
  if (!zva::util::IsSafeRegion(found)) {
    *refusal = zva::util::RefusedValueText("region", found, source,
                                           zva::util::kRegionRule);
    log << "Error: " << *refusal << "\n" << ERROR;
    return kRegionNotFound;
  }
  region = std::move(found);
  return kOk;
}

int Discover::GenerateProxyVanityDomainName(std::string& endpoint) {
  std::string region;
  std::string refusal;
  if (FindRegion(region, &refusal) != kOk) {
    if (refusal.empty()) {
      SetDiscoveryLastError(kRegionNotFound);
    } else {
      zva::util::SetLastErrorWithDetail(kRegionNotFound, refusal);
    }
    return kRegionNotFound;
  }
  endpoint = kProxyHostPrefix + region + zva::kProxyDomainSuffix + kProxyPort;
  return kOk;
}

int Discover::DiscoverProxy(std::string& endpoint) {
  if (GenerateProxyVanityDomainName(endpoint) != kOk) {
    CLogger log;
    log << "Error during discovering endpoint \n" << ERROR;
    return kDiscoveryFailure;
  }
  return kOk;
}

int Discover::ProcessAcceleratorMetadata(const std::string& body,
                                         std::vector<std::string>& ids) {
  if (IsCNSContainer()) {
    zva::discover::AssociatedAccelerators document;
    if (zva::util::DeserializeJSONToProtobufMessage(body, document) != kOk) {
      CLogger log;
      log << "Error during deserialization of CNS accelerator metadata \n"
          << ERROR;
      return kInternalError;
    }
    ids.insert(ids.end(), document.associations().begin(),
               document.associations().end());
    return kOk;
  }
  // One identifier per line; a final line feed ends the last line rather
  // than starting an empty one. Nothing is trimmed.
  std::string::size_type start = 0;
  while (start < body.size()) {
    const std::string::size_type end = body.find('\n', start);
    if (end == std::string::npos) {
      ids.push_back(body.substr(start));
      break;
    }
    ids.push_back(body.substr(start, end - start));
    start = end + 1;
  }
  return kOk;
}

int Discover::DiscoverAcceleratorSlots(std::vector<std::string>& ids) {
  CLogger log;
  std::string body;
  std::string source = "the metadata service";
  if (const char* override_body = std::getenv(kAcceleratorsOverrideVariable)) {
    log << "Overriding HTTP Response for Attached Accelerators to "
        << override_body << "\n"
        << INFO;
    body = override_body;
    source = kAcceleratorsOverrideVariable;
  } else if (QueryAcceleratorMetadata(body) != kOk) {
    log << "Error: Failed to query accelerator metadata.\n" << ERROR;
    return kDiscoveryFailure;
  }

  const std::size_t first_new = ids.size();
  bool failed = ProcessAcceleratorMetadata(body, ids) != kOk || ids.empty();
  for (const std::string& id : ids) {
    if (id.empty()) failed = true;
  }
  if (failed) {
    log << "Error during accelerator discovery \n" << ERROR;
    SetDiscoveryLastError(kAcceleratorIdNotFound);
    return kDiscoveryFailure;
  }
  // Every identifier goes into a URL and into the header of every call.
  for (std::size_t i = first_new; i < ids.size(); ++i) {
    if (zva::util::IsSafeIdentifier(ids[i])) continue;
    const std::string refusal = zva::util::RefusedValueText(
        "accelerator identifier", ids[i], source, zva::util::kIdentifierRule);
    log << "Error during accelerator discovery: " << refusal << "\n" << ERROR;
    zva::util::SetLastErrorWithDetail(kDiscoveryFailure, refusal);
    return kDiscoveryFailure;
  }
  // One accelerator listed twice is still one accelerator: a second entry
  // would give it a second device, channel and session.
  std::set<std::string> seen(ids.begin(), ids.begin() + first_new);
  std::vector<std::string> listed(ids.begin() + first_new, ids.end());
  ids.resize(first_new);
  for (std::string& id : listed) {
    if (!seen.insert(id).second) {
      log << "Ignoring accelerator " << id
          << " listed more than once in the attached accelerators\n"
          << WARNING;
      continue;
    }
    ids.push_back(std::move(id));
  }
  return kOk;
}

int Discover::ProcessSlotDetailsForVMHInstance(
    const std::string& body, std::map<std::string, std::string>& details) {
  zva::discover::VMHAcceleratorMetadata document;
  return ParseSlotDetails(body, "VMH", document, details) ? kOk
                                                          : kInternalError;
}

int Discover::ProcessSlotDetailsForCNSContainer(
    const std::string& body, std::map<std::string, std::string>& details) {
  zva::discover::CNSAcceleratorMetadata document;
  if (!ParseSlotDetails(body, "CNS", document, details)) return kInternalError;
  details["deviceId"] = document.version_2018_04_12().deviceid();
  return kOk;
}

int Discover::ProcessAcceleratorMetadataDetails(
    const std::string& body, std::map<std::string, std::string>& details) {
  CLogger log;
  if (IsCNSContainer()) {
    log << "Processing details for CNS container accelerator\n" << INFO;
    return ProcessSlotDetailsForCNSContainer(body, details);
  }
  log << "Processing details for VMH instance accelerator\n" << INFO;
  return ProcessSlotDetailsForVMHInstance(body, details);
}

int Discover::DiscoverAcceleratorSlotDetails(
    const std::string& id, std::map<std::string, std::string>& details) {
  CLogger log;
  if (!zva::util::IsSafeIdentifier(id)) {
    const std::string refusal = zva::util::RefusedValueText(
        "accelerator identifier", id, "the caller", zva::util::kIdentifierRule);
    log << "Error during accelerator details discovery: " << refusal << "\n"
        << ERROR;
    zva::util::SetLastErrorWithDetail(kDiscoveryFailure, refusal);
    return kDiscoveryFailure;
  }
  std::string body;
  if (const char* override_body = std::getenv(kDetailsOverrideVariable)) {
    log << "Overriding HTTP Response for Accelerators Details to "
        << override_body << "\n"
        << INFO;
    body = override_body;
  } else if (QueryAcceleratorMetadataDetails(id, body) != kOk) {
    log << "Error: Failed to query details for accelerator " << id << ".\n"
        << ERROR;
    return kDiscoveryFailure;
  }
  if (ProcessAcceleratorMetadataDetails(body, details) != kOk) {
    log << "Error during accelerator details discovery \n" << ERROR;
    return kDiscoveryFailure;
  }
  return kOk;
}

namespace discover {

zva::DiscoverInterface* QueryInterface(std::unique_ptr<HttpInterface> fetcher) {
  return new Discover(std::move(fetcher));
}

}  // namespace discover
