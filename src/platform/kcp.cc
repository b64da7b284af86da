#include "platform/kcp.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/random.h>
#include <unistd.h>

#include "platform/mutex.h"

namespace kcp {

namespace {

using zva::Mutex;
using zva::MutexLock;

Mutex mtx_state;
ClockFunction s_clock ZV_GUARDED_BY(mtx_state);
std::shared_ptr<LogSystem> s_log ZV_GUARDED_BY(mtx_state);

// Writes diagnostics to a file (or standard error) up to a level.
class FileLogSystem : public LogSystem {
 public:
  FileLogSystem(LogLevel level, const std::string& prefix) : level_(level) {
    if (!prefix.empty()) file_.open(prefix + "kcp.log", std::ios::app);
  }
  LogLevel GetLogLevel() const override { return level_; }
  void Log(LogLevel level, const char* tag, const std::string& message) override {
    if (static_cast<int>(level) > static_cast<int>(level_)) return;
    MutexLock lock(&mtx_);
    std::ostream& out = file_.is_open() ? static_cast<std::ostream&>(file_) : std::cerr;
    out << "[" << static_cast<int>(level) << "] " << (tag ? tag : "") << " "
        << message << "\n";
    out.flush();
  }

 private:
  const LogLevel level_;
  Mutex mtx_;
  std::ofstream file_ ZV_GUARDED_BY(mtx_);
};

}  // namespace

void InitAPI(const SDKOptions& options) {
  // Initialised here, explicitly, so that the crypto library has registered
  // its exit cleanup before anything the caller registers after InitAPI:
  // those run first at exit, while digests still work.
  OPENSSL_init_crypto(0, nullptr);
  MutexLock lock(&mtx_state);
  if (options.log_level > 0) {
    s_log = std::make_shared<FileLogSystem>(static_cast<LogLevel>(options.log_level),
                                            options.log_file_prefix);
  }
}

void ShutdownAPI(const SDKOptions& /*options*/) {
  MutexLock lock(&mtx_state);
  s_log.reset();
}

bool Sha256(const std::string& data, ByteBuffer* digest) {
  digest->clear();
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), out, &len, EVP_sha256(), nullptr) != 1) {
    return false;
  }
  digest->assign(out, out + len);
  return true;
}

bool HmacSha256(const ByteBuffer& data, const ByteBuffer& key, ByteBuffer* digest) {
  digest->clear();
  // HMAC() takes the key length as an int.
  if (key.size() > static_cast<size_t>(INT_MAX)) return false;
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  static const unsigned char kEmpty = 0;
  const unsigned char* k = key.empty() ? &kEmpty : key.data();
  const unsigned char* d = data.empty() ? &kEmpty : data.data();
  if (HMAC(EVP_sha256(), k, static_cast<int>(key.size()), d, data.size(), out,
           &len) == nullptr) {
    return false;
  }
  digest->assign(out, out + len);
  return true;
}

std::string HexEncode(const ByteBuffer& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0f]);
  }
  return out;
}

std::string UriEncodePath(const std::string& path) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' ||
                c == '~' || c == '/';
    if (keep) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kDigits[c >> 4]);
      out.push_back(kDigits[c & 0x0f]);
    }
  }
  return out;
}

namespace {

// A generator per thread, seeded once from the system's random source: no
// lock, no system call per identifier, and nothing that the crypto
// library's exit cleanup can tear down under a thread still running.
std::mt19937_64& ThreadGenerator() {
  thread_local std::mt19937_64 generator = [] {
    uint64_t seed[4] = {};
    size_t got = 0;
    while (got < sizeof(seed)) {
      ssize_t n = getrandom(reinterpret_cast<char*>(seed) + got,
                            sizeof(seed) - got, 0);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    // Should the system refuse (a seccomp filter, a very old kernel), the
    // identifiers still differ between threads, processes and runs.
    std::seed_seq seq{
        seed[0], seed[1], seed[2], seed[3],
        static_cast<uint64_t>(
            std::chrono::steady_clock::now().time_since_epoch().count()),
        static_cast<uint64_t>(
            std::chrono::system_clock::now().time_since_epoch().count()),
        static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&got)),
        static_cast<uint64_t>(::getpid())};
    return std::mt19937_64(seq);
  }();
  return generator;
}

}  // namespace

std::string RandomUUID() {
  unsigned char b[16];
  std::mt19937_64& generator = ThreadGenerator();
  for (int i = 0; i < 16; i += 8) {
    uint64_t word = generator();
    std::memcpy(b + i, &word, sizeof(word));
  }
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  static const char kHex[] = "0123456789abcdef";
  std::string text(36, '-');
  size_t pos = 0;
  for (int i = 0; i < 16; ++i) {
    if (pos == 8 || pos == 13 || pos == 18 || pos == 23) ++pos;
    text[pos++] = kHex[b[i] >> 4];
    text[pos++] = kHex[b[i] & 0x0f];
  }
  return text;
}

std::chrono::system_clock::time_point Now() {
  ClockFunction clock;
  {
    MutexLock lock(&mtx_state);
    clock = s_clock;
  }
  return clock ? clock() : std::chrono::system_clock::now();
}

void SetClockForTesting(ClockFunction clock) {
  MutexLock lock(&mtx_state);
  s_clock = std::move(clock);
}

std::string FormatUtc(std::chrono::system_clock::time_point time, const char* pattern) {
  std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm tm_utc;
  gmtime_r(&t, &tm_utc);
  char buf[128];
  size_t n = std::strftime(buf, sizeof(buf), pattern, &tm_utc);
  return std::string(buf, n);
}

LogSystem* GetLogSystem() {
  MutexLock lock(&mtx_state);
  return s_log.get();
}

void SetLogSystem(std::shared_ptr<LogSystem> system) {
  MutexLock lock(&mtx_state);
  s_log = std::move(system);
}

}  // namespace kcp
