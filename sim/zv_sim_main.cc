// zv-sim: runs the simulator until SIGINT or SIGTERM and prints, as shell
// export lines, the environment a client needs to use it.

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <getopt.h>
#include <signal.h>
#include <stdio.h>

#include "zvsim/fault_plan.h"
#include "zvsim/simulator.h"

namespace {

constexpr char kUsage[] =
    "Usage: zv-sim [options]\n"
    "\n"
    "Serves the Zorvel accelerator service (gRPC) and the host metadata\n"
    "documents (HTTP) on 127.0.0.1, prints the environment a client needs as\n"
    "'export NAME=value' lines, and runs until SIGINT or SIGTERM.\n"
    "\n"
    "Options:\n"
    "  --accelerator TYPE[,id=ID][,device=NAME]\n"
    "        add an accelerator of TYPE (zva1.medium, zva1.large, "
    "zva1.xlarge,\n"
    "        zva2.medium, zva2.large, zva2.xlarge); repeatable. The id is\n"
    "        generated and the device name is zvadev<index> unless given.\n"
    "        Default: one zva1.medium.\n"
    "  --host-kind vm|container\n"
    "        which metadata variables to print; container adds\n"
    "        CNS_CONTAINER_METADATA_URI. Default: vm.\n"
    "  --region REGION\n"
    "        region of the signatures and the identity document.\n"
    "        Default: us-west-2.\n"
    "  --identity-document with-region|without-region|absent\n"
    "        shape of the instance identity document. Default: with-region.\n"
    "  --grpc-port PORT\n"
    "        port of the accelerator service; 0 picks a free one. Default: 0.\n"
    "  --metadata-port PORT\n"
    "        port of the metadata service; 0 picks a free one. Default: 0.\n"
    "  --plaintext\n"
    "        serve gRPC without TLS (prints ZVL_TLS_OPTION_DISABLED instead\n"
    "        of GRPC_DEFAULT_SSL_ROOTS_FILE_PATH).\n"
    "  --ca-file PATH\n"
    "        where to write the generated CA certificate. Default: a\n"
    "        temporary directory that is removed at exit.\n"
    "  --access-key-id ID\n"
    "  --secret-access-key SECRET\n"
    "        the credentials Connect signatures must use; generated unless\n"
    "        both are given.\n"
    "  --session-token TOKEN\n"
    "        when given, Connect must carry it in x-kst-security-token.\n"
    "  --credentials-source env|role|container\n"
    "        where clients find their credentials. env: the fixed ones above,\n"
    "        printed as KCP_ACCESS_KEY_ID and KCP_SECRET_ACCESS_KEY. role and\n"
    "        container: short-lived keys that the metadata service hands out\n"
    "        as the host role's (/latest/meta-data/kcp/security-credentials/)\n"
    "        and at the container credentials endpoint, replaced every\n"
    "        --credential-ttl; no key is printed, and container prints\n"
    "        KCP_CONTAINER_CREDENTIALS_URI. Default: env.\n"
    "  --credential-ttl SECONDS\n"
    "        how long one set of short-lived keys is current; Connect accepts\n"
    "        the current and the previous set, and a connection must connect\n"
    "        again once its set is no longer accepted. Default: 3600.\n"
    "  --fault-plan FILE\n"
    "        apply the fault plan in FILE at start, and again on SIGHUP.\n"
    "        One command a line ('#' starts a comment):\n"
    "          fail <method|*> <count> <code> <accelerator|*> <message>\n"
    "          delay <method|*> <milliseconds> <accelerator|*>\n"
    "          unhealthy <accelerator|*>     healthy <accelerator|*>\n"
    "          drop-sessions   forget-models   clear\n"
    "          restart <downtime milliseconds>\n"
    "          metadata <path> <after> <status> [<body>]\n"
    "        (metadata answers <path> with <status> and the body, when\n"
    "        given, once <after> requests of it were answered normally)\n"
    "        <code> is a gRPC code name or number; the message should start\n"
    "        with the service status code, e.g.\n"
    "          fail Infer 2 UNAVAILABLE * 14 accelerator busy\n"
    "  --session-expiry MILLISECONDS\n"
    "        a session without keep-alive for this long expires.\n"
    "        Default: 30000.\n"
    "  --operator-whitelist NAME[,NAME...]\n"
    "        what GetOperatorWhitelist answers.\n"
    "  --env-file FILE\n"
    "        also write the export lines to FILE (before printing them).\n"
    "  --verbose\n"
    "        log every call to standard error.\n"
    "  --help\n"
    "        print this text and exit.\n"
    "\n"
    "Exit status: 0 after SIGINT/SIGTERM or --help, 1 when the simulator\n"
    "cannot start, 2 for bad arguments.\n";

enum Flag {
  kAccelerator = 1000,
  kHostKind,
  kRegion,
  kIdentityDocument,
  kGrpcPort,
  kMetadataPort,
  kPlaintext,
  kCaFile,
  kAccessKeyId,
  kSecretAccessKey,
  kSessionToken,
  kCredentialsSource,
  kCredentialTtl,
  kFaultPlan,
  kSessionExpiry,
  kOperatorWhitelist,
  kEnvFile,
  kVerbose,
  kHelp,
};

bool ParseNumber(const char* text, long max, long* out) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 0 || value > max) {
    return false;
  }
  *out = value;
  return true;
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

bool ParseAccelerator(const std::string& text, zvsim::AcceleratorSpec* desc) {
  static const char* const kTypes[] = {"zva1.medium", "zva1.large",
                                       "zva1.xlarge", "zva2.medium",
                                       "zva2.large",  "zva2.xlarge"};
  const std::vector<std::string> parts = Split(text, ',');
  if (parts.empty()) return false;
  bool known = false;
  for (const char* type : kTypes) known = known || parts[0] == type;
  if (!known) return false;
  desc->type = parts[0];
  for (size_t i = 1; i < parts.size(); ++i) {
    if (parts[i].rfind("id=", 0) == 0 && parts[i].size() > 3) {
      desc->id = parts[i].substr(3);
    } else if (parts[i].rfind("device=", 0) == 0 && parts[i].size() > 7) {
      desc->device_name = parts[i].substr(7);
    } else {
      return false;
    }
  }
  return true;
}

// Single-quotes a value for the shell unless it needs no quoting.
std::string ShellQuote(const std::string& value) {
  bool plain = !value.empty();
  for (char c : value) {
    const bool ok = std::isalnum(static_cast<unsigned char>(c)) ||
                    std::string("_./:+=@%,-").find(c) != std::string::npos;
    plain = plain && ok;
  }
  if (plain) return value;
  std::string out = "'";
  for (char c : value) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out.push_back(c);
    }
  }
  return out + "'";
}

bool ReadFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream text;
  text << in.rdbuf();
  *out = text.str();
  return true;
}

bool ApplyPlanFile(zvsim::Simulator* sim, const std::string& path) {
  std::string text, error;
  if (!ReadFile(path, &text)) {
    std::cerr << "zv-sim: cannot read fault plan " << path << "\n";
    return false;
  }
  if (!zvsim::ApplyFaultPlan(sim, text, &error)) {
    std::cerr << "zv-sim: " << path << ": " << error << "\n";
    return false;
  }
  return true;
}

std::string CodeName(grpc::StatusCode code) {
  return std::to_string(static_cast<int>(code));
}

}  // namespace

int main(int argc, char** argv) {
  // Every thread the simulator starts inherits this mask, so the signals
  // reach only the sigwait below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  static const option kOptions[] = {
      {"accelerator", required_argument, nullptr, kAccelerator},
      {"host-kind", required_argument, nullptr, kHostKind},
      {"region", required_argument, nullptr, kRegion},
      {"identity-document", required_argument, nullptr, kIdentityDocument},
      {"grpc-port", required_argument, nullptr, kGrpcPort},
      {"metadata-port", required_argument, nullptr, kMetadataPort},
      {"plaintext", no_argument, nullptr, kPlaintext},
      {"ca-file", required_argument, nullptr, kCaFile},
      {"access-key-id", required_argument, nullptr, kAccessKeyId},
      {"secret-access-key", required_argument, nullptr, kSecretAccessKey},
      {"session-token", required_argument, nullptr, kSessionToken},
      {"credentials-source", required_argument, nullptr, kCredentialsSource},
      {"credential-ttl", required_argument, nullptr, kCredentialTtl},
      {"fault-plan", required_argument, nullptr, kFaultPlan},
      {"session-expiry", required_argument, nullptr, kSessionExpiry},
      {"operator-whitelist", required_argument, nullptr, kOperatorWhitelist},
      {"env-file", required_argument, nullptr, kEnvFile},
      {"verbose", no_argument, nullptr, kVerbose},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };

  zvsim::Options options;
  std::string fault_plan, env_file;
  bool verbose = false;
  auto usage_error = [](const std::string& message) {
    std::cerr << "zv-sim: " << message << "\nTry 'zv-sim --help'.\n";
    return 2;
  };
  int flag;
  while ((flag = getopt_long(argc, argv, "", kOptions, nullptr)) != -1) {
    long number = 0;
    switch (flag) {
      case kAccelerator: {
        zvsim::AcceleratorSpec desc;
        if (!ParseAccelerator(optarg, &desc)) {
          return usage_error(std::string("bad --accelerator ") + optarg);
        }
        options.accelerators.push_back(desc);
        break;
      }
      case kHostKind:
        if (std::string(optarg) == "vm") {
          options.host_kind = zvsim::HostKind::kVm;
        } else if (std::string(optarg) == "container") {
          options.host_kind = zvsim::HostKind::kContainer;
        } else {
          return usage_error("--host-kind must be vm or container");
        }
        break;
      case kRegion:
        options.region = optarg;
        break;
      case kIdentityDocument:
        if (std::string(optarg) == "with-region") {
          options.identity_document = zvsim::IdentityDocument::kWithRegion;
        } else if (std::string(optarg) == "without-region") {
          options.identity_document = zvsim::IdentityDocument::kWithoutRegion;
        } else if (std::string(optarg) == "absent") {
          options.identity_document = zvsim::IdentityDocument::kAbsent;
        } else {
          return usage_error(
              "--identity-document must be with-region, without-region or "
              "absent");
        }
        break;
      case kGrpcPort:
      case kMetadataPort:
        if (!ParseNumber(optarg, 65535, &number)) {
          return usage_error(std::string("bad port ") + optarg);
        }
        (flag == kGrpcPort ? options.grpc_port : options.metadata_port) =
            static_cast<int>(number);
        break;
      case kPlaintext:
        options.plaintext = true;
        break;
      case kCaFile:
        options.ca_file = optarg;
        break;
      case kAccessKeyId:
        options.credentials.access_key_id = optarg;
        break;
      case kSecretAccessKey:
        options.credentials.secret_access_key = optarg;
        break;
      case kSessionToken:
        options.credentials.session_token = optarg;
        break;
      case kCredentialsSource:
        if (std::string(optarg) == "env") {
          options.credentials_source = zvsim::CredentialsSource::kEnv;
        } else if (std::string(optarg) == "role") {
          options.credentials_source = zvsim::CredentialsSource::kRole;
        } else if (std::string(optarg) == "container") {
          options.credentials_source = zvsim::CredentialsSource::kContainer;
        } else {
          return usage_error(
              "--credentials-source must be env, role or container");
        }
        break;
      case kCredentialTtl:
        if (!ParseNumber(optarg, 365L * 24 * 3600, &number) || number == 0) {
          return usage_error(std::string("bad --credential-ttl ") + optarg);
        }
        options.credential_ttl = std::chrono::seconds(number);
        break;
      case kFaultPlan:
        fault_plan = optarg;
        break;
      case kSessionExpiry:
        if (!ParseNumber(optarg, 24L * 3600 * 1000, &number) || number == 0) {
          return usage_error(std::string("bad --session-expiry ") + optarg);
        }
        options.session_expiry = std::chrono::milliseconds(number);
        break;
      case kOperatorWhitelist:
        options.operator_whitelist = Split(optarg, ',');
        break;
      case kEnvFile:
        env_file = optarg;
        break;
      case kVerbose:
        verbose = true;
        break;
      case kHelp:
        std::cout << kUsage;
        return 0;
      default:
        return usage_error("unknown option");
    }
  }
  if (optind < argc) {
    return usage_error(std::string("unexpected argument ") + argv[optind]);
  }
  const auto& c = options.credentials;
  if (c.access_key_id.empty() != c.secret_access_key.empty()) {
    return usage_error("--access-key-id and --secret-access-key go together");
  }
  if (options.credentials_source != zvsim::CredentialsSource::kEnv &&
      (!c.access_key_id.empty() || !c.session_token.empty())) {
    return usage_error(
        "--access-key-id, --secret-access-key and --session-token go with "
        "--credentials-source env only");
  }

  // Nothing in this program reads the journal's request copies, and with
  // large tensors they would hold gigabytes after a long run.
  options.journal_requests = false;
  zvsim::Simulator sim(options);
  if (verbose) {
    sim.core().SetCallObserver([](const zvsim::CallRecord& call) {
      std::ostringstream line;
      line << "zv-sim: " << call.method
           << " accelerator=" << call.accelerator_id << " peer=" << call.peer
           << " code=" << CodeName(call.code);
      if (!call.message.empty()) line << " message=\"" << call.message << "\"";
      if (!call.detail.empty()) line << " detail=\"" << call.detail << "\"";
      line << "\n";
      std::cerr << line.str() << std::flush;
    });
  }
  std::string error;
  if (!sim.Start(&error)) {
    std::cerr << "zv-sim: cannot start: " << error << "\n";
    return 1;
  }
  if (!fault_plan.empty() && !ApplyPlanFile(&sim, fault_plan)) {
    sim.Stop();
    return 1;
  }

  std::string exports;
  for (const auto& [name, value] : sim.Environment()) {
    exports += "export " + name + "=" + ShellQuote(value) + "\n";
  }
  if (!env_file.empty()) {
    // Written whole under another name first, so a reader never sees half.
    const std::string partial = env_file + ".partial";
    std::ofstream out(partial, std::ios::trunc);
    out << exports;
    out.close();
    if (!out || std::rename(partial.c_str(), env_file.c_str()) != 0) {
      std::cerr << "zv-sim: cannot write " << env_file << "\n";
      sim.Stop();
      return 1;
    }
  }
  std::cout << exports << std::flush;

  for (;;) {
    int received = 0;
    if (sigwait(&signals, &received) != 0) continue;
    if (received == SIGHUP) {
      if (!fault_plan.empty() && ApplyPlanFile(&sim, fault_plan)) {
        std::cerr << "zv-sim: fault plan applied\n";
      }
      continue;
    }
    break;
  }
  std::cerr << "zv-sim: stopping\n";
  sim.Stop();
  return 0;
}
