// The default credentials chain: environment, profile file, container
// endpoint, host role. The last two hand out short-lived sets, which are
// cached for the process and refreshed before they expire.
//
// No text built here (failures, warnings) ever quotes a key id, a secret, a
// token or a document that holds them: the texts end up in logs and in the
// library's last-error text.

#include <cstdlib>
#include <ctime>
#include <exception>
#include <fstream>
#include <utility>
#include <vector>

#include <curl/curl.h>
#include <google/protobuf/util/json_util.h>

#include "kcp/kcp_credentials.pb.h"

#include "platform/kcp.h"
#include "platform/mutex.h"

namespace kcp {

namespace {

using TimePoint = std::chrono::system_clock::time_point;
using zva::CondVar;
using zva::Mutex;
using zva::MutexLock;

constexpr char kContainerVariable[] = "KCP_CONTAINER_CREDENTIALS_URI";
constexpr char kRolePath[] = "/latest/meta-data/kcp/security-credentials/";
constexpr char kExpirationFormat[] = "%Y-%m-%dT%H:%M:%SZ";
// Credentials documents are a few hundred bytes; anything much larger is
// not one, and is not kept in memory.
constexpr size_t kMaxDocumentBytes = 64 * 1024;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n";
  size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

std::string Join(const std::vector<std::string>& parts, const char* glue) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out += glue;
    out += part;
  }
  return out;
}

// ---- Environment and profile file ----------------------------------------

bool FromEnvironment(Credentials* out, std::string* why) {
  Credentials c;
  c.access_key_id = Env("KCP_ACCESS_KEY_ID");
  c.secret_key = Env("KCP_SECRET_ACCESS_KEY");
  c.session_token = Env("KCP_SESSION_TOKEN");
  if (!c.IsEmpty()) {
    *out = std::move(c);
    return true;
  }
  std::vector<std::string> missing;
  if (c.access_key_id.empty()) missing.push_back("KCP_ACCESS_KEY_ID");
  if (c.secret_key.empty()) missing.push_back("KCP_SECRET_ACCESS_KEY");
  *why = Join(missing, " and ") + " not set";
  return false;
}

// Reads one profile of an INI credentials file.
bool FromProfileFile(Credentials* out, std::string* why) {
  const std::string home = Env("HOME");
  if (home.empty()) {
    *why = "HOME not set";
    return false;
  }
  std::string profile = Env("KCP_PROFILE");
  if (profile.empty()) profile = "default";
  const std::string path = home + "/.kcp/credentials";
  std::ifstream in(path);
  if (!in) {
    *why = path + " not readable";
    return false;
  }
  Credentials c;
  std::string line;
  bool in_profile = false;
  bool found = false;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#' || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      in_profile = Trim(line.substr(1, line.size() - 2)) == profile;
      found = found || in_profile;
      continue;
    }
    if (!in_profile) continue;
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (key == "kcp_access_key_id") {
      c.access_key_id = value;
    } else if (key == "kcp_secret_access_key") {
      c.secret_key = value;
    } else if (key == "kcp_session_token") {
      c.session_token = value;
    }
  }
  if (!c.IsEmpty()) {
    *out = std::move(c);
    return true;
  }
  if (!found) {
    *why = path + " has no profile [" + profile + "]";
  } else {
    *why = path + " profile [" + profile + "] lacks " +
           (c.access_key_id.empty() ? "kcp_access_key_id"
                                    : "kcp_secret_access_key");
  }
  return false;
}

// ---- HTTP ----------------------------------------------------------------

struct Body {
  std::string text;
  bool too_large = false;
};

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  Body* body = static_cast<Body*>(user);
  const size_t bytes = size * count;
  if (body->text.size() + bytes > kMaxDocumentBytes) {
    body->too_large = true;
    return 0;  // ends the transfer
  }
  body->text.append(data, bytes);
  return bytes;
}

// GETs `url` into `body`: true on status 200, else false with the reason.
// Credentials must not leave the host, so no HTTP proxy is ever used, and
// redirects are not followed.
bool HttpGet(const std::string& url, std::string* body, std::string* why) {
  CURL* curl = curl_easy_init();
  if (curl == nullptr) {
    *why = "cannot start an HTTP request";
    return false;
  }
  Body received;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(
      curl, CURLOPT_TIMEOUT_MS,
      static_cast<long>(
          std::chrono::milliseconds(kMetadataQueryTimeout).count()));
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
  const CURLcode result = curl_easy_perform(curl);
  long status = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(curl);
  if (received.too_large) {
    *why = "answer larger than " + std::to_string(kMaxDocumentBytes) + " bytes";
    return false;
  }
  if (result != CURLE_OK) {
    *why = curl_easy_strerror(result);
    return false;
  }
  if (status != 200) {
    *why = "HTTP " + std::to_string(status);
    return false;
  }
  *body = std::move(received.text);
  return true;
}

// The host of an http(s) URL: what lies between "://" and the path, without
// user information and port; IPv6 addresses keep their brackets.
std::string HostOf(const std::string& url) {
  const size_t start = url.find("://");
  if (start == std::string::npos) return std::string();
  std::string authority = url.substr(start + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  const size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  if (!authority.empty() && authority[0] == '[') {
    return authority.substr(0, authority.find(']') + 1);
  }
  return authority.substr(0, authority.find(':'));
}

// The URL as it may appear in a message: without user information, query
// or fragment, which could carry a secret.
std::string Redacted(const std::string& url) {
  const size_t start = url.find("://");
  if (start == std::string::npos) return "(not a URL)";
  std::string rest = url.substr(start + 3);
  rest = rest.substr(0, rest.find_first_of("?#"));
  const size_t path = rest.find('/');
  const size_t at = rest.rfind('@', path);
  if (at != std::string::npos) rest = rest.substr(at + 1);
  return url.substr(0, start + 3) + rest;
}

// Plain http carries the secret in the clear, so it is only taken from an
// endpoint that cannot be off the host: loopback or link-local.
bool IsAcceptableContainerUri(const std::string& uri, std::string* why) {
  const std::string host = HostOf(uri);
  if (uri.rfind("https://", 0) == 0 && !host.empty()) return true;
  if (uri.rfind("http://", 0) != 0 || host.empty()) {
    *why = "not an http or https URL";
    return false;
  }
  const bool local = host == "localhost" || host.rfind("127.", 0) == 0 ||
                     host == "[::1]" || host.rfind("169.254.", 0) == 0 ||
                     host.rfind("[fe80:", 0) == 0;
  if (!local) {
    *why = "plain http to a host that is not loopback or link-local";
    return false;
  }
  return true;
}

// ---- Credentials documents -----------------------------------------------

struct ShortLivedSet {
  Credentials credentials;
  TimePoint expiration;
  std::string source;
};

// "YYYY-MM-DDTHH:MM:SSZ", optionally with a fraction of a second.
bool ParseExpiration(const std::string& text, TimePoint* out) {
  std::tm tm{};
  const char* end = strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
  if (end == nullptr) return false;
  if (*end == '.') {
    ++end;
    if (*end < '0' || *end > '9') return false;
    while (*end >= '0' && *end <= '9') ++end;
  }
  if (end[0] != 'Z' || end[1] != '\0') return false;
  const time_t t = timegm(&tm);
  if (t == static_cast<time_t>(-1)) return false;
  *out = std::chrono::system_clock::from_time_t(t);
  return true;
}

// Reads the credentials document of the container endpoint or the host
// role; false, with a reason that quotes nothing of the document, when it
// is not a usable one.
bool ParseDocument(const std::string& body, ShortLivedSet* out,
                   std::string* why) {
  // A message of our own rather than a generic JSON structure: its code is
  // built with ours, so the map internals of a system library built
  // otherwise never meet ours.
  kcp::proto::CredentialsDocument document;
  google::protobuf::util::JsonParseOptions options;
  options.ignore_unknown_fields = true;
  if (!google::protobuf::util::JsonStringToMessage(body, &document, options)
           .ok()) {
    *why = "malformed JSON";
    return false;
  }
  auto text = [](const std::string& field, std::string* value) {
    if (field.empty()) return false;
    *value = field;
    return true;
  };
  if (!document.code().empty() && document.code() != "Success") {
    *why = "Code is not \"Success\"";
    return false;
  }
  ShortLivedSet set;
  std::string expiration;
  std::vector<std::string> missing;
  if (!text(document.accesskeyid(), &set.credentials.access_key_id)) {
    missing.push_back("AccessKeyId");
  }
  if (!text(document.secretaccesskey(), &set.credentials.secret_key)) {
    missing.push_back("SecretAccessKey");
  }
  if (!text(document.token(), &set.credentials.session_token)) {
    missing.push_back("Token");
  }
  if (!text(document.expiration(), &expiration)) {
    missing.push_back("Expiration");
  }
  if (!missing.empty()) {
    *why = "no " + Join(missing, ", ") + " in the answer";
    return false;
  }
  if (!ParseExpiration(expiration, &set.expiration)) {
    *why = "malformed Expiration";
    return false;
  }
  if (set.expiration <= Now()) {
    *why = "credentials expired at " + expiration;
    return false;
  }
  *out = std::move(set);
  return true;
}

bool FromContainer(const std::string& uri, ShortLivedSet* out,
                   std::string* why) {
  std::string body;
  if (!IsAcceptableContainerUri(uri, why) || !HttpGet(uri, &body, why) ||
      !ParseDocument(body, out, why)) {
    return false;
  }
  out->source = "container endpoint";
  return true;
}

bool IsRoleName(const std::string& name) {
  if (name.empty() || name.size() > 128) return false;
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                    (c >= '0' && c <= '9') ||
                    std::string("+=,.@_-").find(c) != std::string::npos;
    if (!ok) return false;
  }
  return true;
}

bool FromHostRole(const std::string& base, ShortLivedSet* out,
                  std::string* why) {
  const std::string list_url = base + kRolePath;
  std::string list;
  if (!HttpGet(list_url, &list, why)) {
    *why = Redacted(list_url) + ": " + *why;
    return false;
  }
  const std::string role = Trim(list.substr(0, list.find('\n')));
  if (role.empty()) {
    *why = Redacted(list_url) + ": no role attached to the host";
    return false;
  }
  if (!IsRoleName(role)) {
    *why = Redacted(list_url) + ": malformed role name";
    return false;
  }
  std::string body;
  if (!HttpGet(list_url + role, &body, why) || !ParseDocument(body, out, why)) {
    *why = "role " + role + " at " + Redacted(list_url + role) + ": " + *why;
    return false;
  }
  out->source = "host role " + role;
  return true;
}

// ---- The process-wide cache ----------------------------------------------

// Where the short-lived sets come from now; a cached set serves only as
// long as these stay the same.
struct RemoteSources {
  bool container_set = false;
  std::string container_uri;
  std::string metadata_base;

  static RemoteSources FromEnvironment() {
    RemoteSources s;
    const char* container = std::getenv(kContainerVariable);
    s.container_set = container != nullptr && container[0] != '\0';
    if (s.container_set) s.container_uri = container;
    const char* base = std::getenv(kInstanceMetadataVariable);
    s.metadata_base = base != nullptr ? base : kInstanceMetadataBaseUri;
    return s;
  }
  std::string Key() const {
    return (container_set ? container_uri : std::string()) + "\n" +
           metadata_base;
  }
};

// The container endpoint, then the host role; false with the reasons of
// both when neither gives a set.
bool Fetch(const RemoteSources& sources, ShortLivedSet* out, std::string* why) {
  std::vector<std::string> reasons;
  std::string reason;
  if (!sources.container_set) {
    reasons.push_back("container endpoint: " + std::string(kContainerVariable) +
                      " not set");
  } else if (FromContainer(sources.container_uri, out, &reason)) {
    return true;
  } else {
    reasons.push_back("container endpoint " + Redacted(sources.container_uri) +
                      ": " + reason);
  }
  if (FromHostRole(sources.metadata_base, out, &reason)) return true;
  reasons.push_back("host role: " + reason);
  *why = Join(reasons, "; ");
  return false;
}

// The short-lived set of the process and its refresh. Thread-safe. A
// refresh runs on the thread of the look-up that found it due, without the
// lock held, one at a time. Never destroyed, so that a signature made while
// the process exits still finds it.
class CredentialsCache {
 public:
  static CredentialsCache& Instance() {
    static CredentialsCache* cache = new CredentialsCache;
    return *cache;
  }

  // The cached set, or a fresh one when it is due; empty with `why` when
  // there is none.
  Credentials Get(const RemoteSources& sources, CredentialsReport* report,
                  std::string* why) {
    const std::string key = sources.Key();
    MutexLock lock(&mtx_);
    for (;;) {
      std::shared_ptr<const Entry> entry = EntryFor(key);
      const TimePoint now = Now();
      if (entry && now + kCredentialsRefreshAhead < entry->set.expiration) {
        return Hand(*entry, report);
      }
      const bool usable = entry && now < entry->set.expiration;
      if (!refreshing_) break;
      // Someone is refreshing: keep a set that still works, else wait for
      // that refresh and take its result rather than starting another.
      if (usable) return Hand(*entry, report);
      const uint64_t seen = refreshes_;
      ++waiters_;
      cv_.SignalAll();  // for AwaitWaiters
      while (refreshes_ == seen) cv_.Wait(&mtx_);
      --waiters_;
      if (last_key_ != key) continue;  // the sources changed meanwhile
      entry = EntryFor(key);
      if (!last_ok_) {
        *why = Failure(entry, last_failure_);
        return Credentials();
      }
      // The set just fetched serves even with little time left; only one
      // that expired since (a clock step) is fetched again.
      if (entry && Now() < entry->set.expiration) return Hand(*entry, report);
    }

    refreshing_ = true;
    lock.Unlock();
    ShortLivedSet fresh;
    std::string failure;
    bool ok = false;
    try {
      ok = Fetch(sources, &fresh, &failure);
    } catch (const std::exception&) {
      // Out of memory, say. The look-ups waiting for this refresh must
      // still hear that it ended.
      failure = "the credentials could not be fetched";
    }
    lock.Lock();
    refreshing_ = false;
    ++refreshes_;
    last_key_ = key;
    last_ok_ = ok;
    last_failure_ = failure;
    cv_.SignalAll();
    if (ok) {
      entry_ = std::make_shared<const Entry>(Entry{key, std::move(fresh)});
      warned_ = false;
      return Hand(*entry_, report);
    }
    std::shared_ptr<const Entry> entry = EntryFor(key);
    if (entry && Now() < entry->set.expiration) {
      if (!warned_) {
        warned_ = true;
        report->warning = "Refreshing the credentials from " +
                          entry->set.source + " failed (" + failure +
                          "); using them until they expire at " +
                          FormatUtc(entry->set.expiration, kExpirationFormat);
      }
      return Hand(*entry, report);
    }
    *why = Failure(entry, failure);
    return Credentials();
  }

  void Reset() {
    MutexLock lock(&mtx_);
    entry_.reset();
    warned_ = false;
    last_key_.clear();
  }

  bool AwaitWaiters(int n, std::chrono::milliseconds timeout) {
    MutexLock lock(&mtx_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (waiters_ < n) {
      if (!cv_.WaitUntil(&mtx_, deadline)) return waiters_ >= n;
    }
    return true;
  }

 private:
  struct Entry {
    std::string key;
    ShortLivedSet set;
  };

  std::shared_ptr<const Entry> EntryFor(const std::string& key) const
      ZV_REQUIRES(mtx_) {
    return entry_ && entry_->key == key ? entry_ : nullptr;
  }

  static Credentials Hand(const Entry& entry, CredentialsReport* report) {
    report->source = entry.set.source;
    return entry.set.credentials;
  }

  static std::string Failure(const std::shared_ptr<const Entry>& expired,
                             const std::string& failure) {
    if (!expired) return failure;
    return failure + "; the credentials from " + expired->set.source +
           " expired at " +
           FormatUtc(expired->set.expiration, kExpirationFormat);
  }

  Mutex mtx_;
  CondVar cv_;
  // State below is protected by mtx_.
  // Immutable once made.
  std::shared_ptr<const Entry> entry_ ZV_GUARDED_BY(mtx_);
  bool refreshing_ ZV_GUARDED_BY(mtx_) = false;
  uint64_t refreshes_ ZV_GUARDED_BY(mtx_) = 0;  // completed refreshes
  // The outcome of the last completed refresh, for the look-ups that waited.
  std::string last_key_ ZV_GUARDED_BY(mtx_);
  bool last_ok_ ZV_GUARDED_BY(mtx_) = false;
  std::string last_failure_ ZV_GUARDED_BY(mtx_);
  // Whether the failed refresh of entry_ was reported.
  bool warned_ ZV_GUARDED_BY(mtx_) = false;
  int waiters_ ZV_GUARDED_BY(mtx_) = 0;
};

}  // namespace

Credentials DefaultCredentialsProviderChain::GetCredentials(
    CredentialsReport* report) const {
  CredentialsReport ignored;
  if (report == nullptr) report = &ignored;
  *report = CredentialsReport();
  Credentials found;
  std::vector<std::string> tried;
  std::string why;
  if (FromEnvironment(&found, &why)) {
    report->source = "environment";
    return found;
  }
  tried.push_back("environment: " + why);
  if (FromProfileFile(&found, &why)) {
    report->source = "profile file";
    return found;
  }
  tried.push_back("profile file: " + why);
  found = CredentialsCache::Instance().Get(RemoteSources::FromEnvironment(),
                                           report, &why);
  if (!found.IsEmpty()) return found;
  tried.push_back(why);
  report->failure = "Sources tried: " + Join(tried, "; ");
  return Credentials();
}

void ResetCredentialsCacheForTesting() { CredentialsCache::Instance().Reset(); }

bool AwaitCredentialsRefreshWaitersForTesting(
    int n, std::chrono::milliseconds timeout) {
  return CredentialsCache::Instance().AwaitWaiters(n, timeout);
}

}  // namespace kcp
