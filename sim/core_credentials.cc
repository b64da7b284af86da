// Credentials: the fixed set or the short-lived ones and their rotation,
// the documents that hand them out, and the Connect that checks them.

#include <ctime>

#include "core_internal.h"

namespace zvsim {
namespace {

using std::chrono::system_clock;

constexpr char kKeyIdAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr char kSecretAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/+";

// The access key id named by an "authorization" value, or empty.
std::string CredentialKeyId(const std::string& authorization) {
  const std::string marker = "Credential=";
  const size_t start = authorization.find(marker);
  if (start == std::string::npos) return std::string();
  const size_t from = start + marker.size();
  const size_t end = authorization.find('/', from);
  if (end == std::string::npos) return std::string();
  return authorization.substr(from, end - from);
}

std::string IsoTime(system_clock::time_point when) {
  const time_t t = system_clock::to_time_t(when);
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
  return buf;
}

}  // namespace

Credentials Core::credentials() {
  std::lock_guard<std::mutex> lock(mtx_);
  RotateLocked();
  return credentials_;
}

std::vector<Credentials> Core::IssuedCredentials() const {
  std::lock_guard<std::mutex> lock(mtx_);
  return issued_;
}

system_clock::time_point Core::NowLocked() const {
  return clock_ ? clock_() : system_clock::now();
}

Credentials Core::NewSetLocked() {
  Credentials set;
  set.access_key_id = "KCPTMP" + RandomText(14, kKeyIdAlphabet);
  set.secret_access_key = RandomText(40, kSecretAlphabet);
  set.session_token = RandomText(96, kSecretAlphabet);
  issued_.push_back(set);
  return set;
}

void Core::RotateLocked() {
  if (!Rotating()) return;
  const auto now = NowLocked();
  if (now < rotation_epoch_) return;  // a clock set back waits for ours
  const int64_t number = (now - rotation_epoch_) / credential_ttl_;
  if (number <= set_number_) return;
  // When more than one TTL passed unseen, the previous set is one nobody
  // was ever given.
  previous_set_ = number == set_number_ + 1 ? credentials_ : NewSetLocked();
  credentials_ = NewSetLocked();
  set_number_ = number;
}

std::string Core::CredentialsDocumentLocked(bool with_code) {
  RotateLocked();
  // Announced to expire when Connect stops accepting it, two TTLs after it
  // became current.
  const auto expiration = rotation_epoch_ + credential_ttl_ * (set_number_ + 2);
  const auto updated = rotation_epoch_ + credential_ttl_ * set_number_;
  std::string doc = "{\n";
  if (with_code) doc += "  \"Code\" : \"Success\",\n";
  doc += "  \"LastUpdated\" : \"" + IsoTime(updated) + "\",\n";
  doc += "  \"Type\" : \"KCP-HMAC\",\n";
  doc += "  \"AccessKeyId\" : \"" + credentials_.access_key_id + "\",\n";
  doc += "  \"SecretAccessKey\" : \"" +
         JsonEscape(credentials_.secret_access_key) + "\",\n";
  doc += "  \"Token\" : \"" + JsonEscape(credentials_.session_token) + "\",\n";
  doc += "  \"Expiration\" : \"" + IsoTime(expiration) + "\"\n}";
  return doc;
}

bool Core::PeerConnectedLocked(const std::string& peer, std::string* detail) {
  auto it = connected_peers_.find(peer);
  if (it == connected_peers_.end()) return false;
  if (!Rotating()) return true;
  RotateLocked();
  if (it->second == credentials_.access_key_id ||
      it->second == previous_set_.access_key_id) {
    return true;
  }
  connected_peers_.erase(it);
  *detail = "the credentials of the connection are no longer accepted";
  return false;
}

grpc::Status Core::DoConnect(CallRecord* call, const zva::rpc::ConnectRequest&,
                             zva::rpc::ConnectResponse*) {
  SignedConnect signed_connect;
  signed_connect.authority = call->authority;
  signed_connect.authorization = call->Metadata("authorization");
  signed_connect.date = call->Metadata("x-kst-date");
  signed_connect.accelerator_id = call->accelerator_id;
  signed_connect.security_token = call->Metadata("x-kst-security-token");
  // Short-lived credentials: the signature names its set, which must be the
  // current or the previous one.
  Credentials set = credentials_;
  if (Rotating()) {
    RotateLocked();
    const std::string key_id = CredentialKeyId(signed_connect.authorization);
    if (!previous_set_.access_key_id.empty() &&
        key_id == previous_set_.access_key_id) {
      set = previous_set_;
    } else if (key_id != credentials_.access_key_id) {
      call->detail = "access key id unknown or no longer accepted";
      return Fail(grpc::StatusCode::UNAUTHENTICATED, "6 authentication failed");
    }
  }
  // The lock is held, so the verifier gets a clock that does not take it.
  const Clock clock = clock_;
  const ConnectVerifier verifier(set, region_, clock);
  if (!verifier.Verify(signed_connect, &call->detail)) {
    return Fail(grpc::StatusCode::UNAUTHENTICATED, "6 authentication failed");
  }
  connected_peers_[call->peer] = set.access_key_id;
  return grpc::Status::OK;
}

void Core::SetClock(Clock clock) {
  std::lock_guard<std::mutex> lock(mtx_);
  clock_ = std::move(clock);
  if (Rotating()) {
    rotation_epoch_ = std::chrono::floor<std::chrono::seconds>(NowLocked());
    set_number_ = 0;
    previous_set_ = credentials_;
    credentials_ = NewSetLocked();
  }
}

std::vector<std::string> Core::ConnectedPeers() const {
  std::lock_guard<std::mutex> lock(mtx_);
  std::vector<std::string> peers;
  for (const auto& entry : connected_peers_) peers.push_back(entry.first);
  return peers;
}

}  // namespace zvsim
