#ifndef ZVA_DISCOVERY_METADATA_CLIENT_H_
#define ZVA_DISCOVERY_METADATA_CLIENT_H_

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "zva/zva_codes.h"
#include "zva/zva_object.h"
#include "discovery/http_fetch.h"

namespace zva {

// Finds, from inside the host, the attached accelerators, their details, the
// region and the regional proxy endpoint. Every operation is a fresh query
// and returns a status: kOk on success, otherwise a client status code. None
// throws. The caller owns the object and ends it with Release().
class DiscoverInterface : public ObjectInterface {
 public:
  // True when the process runs in a container of the container service
  // ("CNS_CONTAINER_METADATA_URI" exists, even empty); asked anew each time.
  virtual bool IsCNSContainer() = 0;
  // kOk with the region in `region`, or kRegionNotFound (`region`
  // unchanged). A region outside [a-z0-9-] (see errors/safe_text.h) is
  // refused with kRegionNotFound and sets the thread's last error naming it.
  virtual int DiscoverRegion(std::string& region) = 0;
  // kOk with "host:port" of the regional proxy in `endpoint`, or
  // kDiscoveryFailure.
  virtual int DiscoverProxy(std::string& endpoint) = 0;
  // kOk with at least one identifier, none empty, appended to `ids`; or
  // kDiscoveryFailure. An identifier that IsSafeIdentifier refuses fails so
  // and sets the thread's last error naming it; an identifier listed again
  // is dropped (the first stays).
  virtual int DiscoverAcceleratorSlots(std::vector<std::string>& ids) = 0;
  // kOk with the details of `id` written into `details` under "version",
  // "id", "type" (and "deviceId" in a container); or kDiscoveryFailure, also
  // without a query when IsSafeIdentifier refuses `id`. The values of the
  // document are not checked here; the discovery run checks what it uses.
  virtual int DiscoverAcceleratorSlotDetails(
      const std::string& id, std::map<std::string, std::string>& details) = 0;

 protected:
  ~DiscoverInterface() = default;
};

// Base of the instance metadata service unless "ZV_INSTANCE_METADATA_URI"
// replaces it (read on every query).
inline constexpr char kInstanceMetadataBaseUri[] = "http://169.254.169.254";
// The public domain of the regional proxies, after the region.
inline constexpr char kProxyDomainSuffix[] = ".kestrocloud.com";

}  // namespace zva

// DiscoverInterface over the host metadata services, read through an owned
// HttpInterface. Holds no state besides the fetcher.
//
// Not thread-safe: an object belongs to one thread at a time. Failures of
// the region, endpoint and list steps set the calling thread's last error.
class Discover : public zva::DiscoverInterface {
 public:
  explicit Discover(std::unique_ptr<HttpInterface> fetcher);
  virtual ~Discover();

  Discover(const Discover&) = delete;
  Discover& operator=(const Discover&) = delete;

  // Destroys the object and its fetcher; returns kOk. The object must not be
  // used afterwards.
  int Release() override;
  bool IsCNSContainer() override;
  int DiscoverRegion(std::string& region) override;
  int DiscoverProxy(std::string& endpoint) override;
  int DiscoverAcceleratorSlots(std::vector<std::string>& ids) override;
  int DiscoverAcceleratorSlotDetails(
      const std::string& id,
      std::map<std::string, std::string>& details) override;

  // Fetches the list of attached accelerators; the fetcher's status.
  int QueryAcceleratorMetadata(std::string& body);
  // Fetches the details document of accelerator `id` (percent-encoded into
  // one path segment); the fetcher's status.
  int QueryAcceleratorMetadataDetails(const std::string& id, std::string& body);
  // "runtime.zorvel.<region>.kestrocloud.com:443"; kOk, or kRegionNotFound
  // with the last error set and `endpoint` unchanged (also for a region
  // DiscoverRegion refuses).
  int GenerateProxyVanityDomainName(std::string& endpoint);
  // Appends the identifiers that `body` lists: one per line on a virtual
  // machine instance (carriage returns kept), the "Associations" array of a
  // JSON document in a container. kOk, or kInternalError when a container
  // list is not valid.
  int ProcessAcceleratorMetadata(const std::string& body,
                                 std::vector<std::string>& ids);
  // Parses one details document for this host kind; kOk, or kInternalError
  // on a parse failure (then `details` is untouched).
  int ProcessAcceleratorMetadataDetails(
      const std::string& body, std::map<std::string, std::string>& details);
  int ProcessSlotDetailsForVMHInstance(
      const std::string& body, std::map<std::string, std::string>& details);
  int ProcessSlotDetailsForCNSContainer(
      const std::string& body, std::map<std::string, std::string>& details);

 private:
  // kInternalError without a fetcher, else the fetcher's status.
  int Fetch(const std::string& url, std::string& body);
  // DiscoverRegion without setting the last error; a refused region is
  // described in *refusal.
  int FindRegion(std::string& region, std::string* refusal);

  std::unique_ptr<HttpInterface> fetcher_;
};

namespace discover {

// A Discover over `fetcher`. The caller owns the result and ends it with
// Release(); it never returns null.
zva::DiscoverInterface* QueryInterface(std::unique_ptr<HttpInterface> fetcher);

}  // namespace discover

#endif  // ZVA_DISCOVERY_METADATA_CLIENT_H_
