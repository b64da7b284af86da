#include "zvsim/fault_plan.h"

#include <chrono>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

#include "zvsim/simulator.h"

namespace zvsim {
namespace {

bool ParseInt(const std::string& text, long max, long* out) {
  if (text.empty() || text.size() > 10) return false;
  long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > max) return false;
  *out = value;
  return true;
}

// OK is no failure, so it is not accepted, by name or number.
bool ParseCode(const std::string& text, grpc::StatusCode* code) {
  static const std::map<std::string, grpc::StatusCode> kNames = {
      {"CANCELLED", grpc::StatusCode::CANCELLED},
      {"UNKNOWN", grpc::StatusCode::UNKNOWN},
      {"INVALID_ARGUMENT", grpc::StatusCode::INVALID_ARGUMENT},
      {"DEADLINE_EXCEEDED", grpc::StatusCode::DEADLINE_EXCEEDED},
      {"NOT_FOUND", grpc::StatusCode::NOT_FOUND},
      {"ALREADY_EXISTS", grpc::StatusCode::ALREADY_EXISTS},
      {"PERMISSION_DENIED", grpc::StatusCode::PERMISSION_DENIED},
      {"RESOURCE_EXHAUSTED", grpc::StatusCode::RESOURCE_EXHAUSTED},
      {"FAILED_PRECONDITION", grpc::StatusCode::FAILED_PRECONDITION},
      {"ABORTED", grpc::StatusCode::ABORTED},
      {"OUT_OF_RANGE", grpc::StatusCode::OUT_OF_RANGE},
      {"UNIMPLEMENTED", grpc::StatusCode::UNIMPLEMENTED},
      {"INTERNAL", grpc::StatusCode::INTERNAL},
      {"UNAVAILABLE", grpc::StatusCode::UNAVAILABLE},
      {"DATA_LOSS", grpc::StatusCode::DATA_LOSS},
      {"UNAUTHENTICATED", grpc::StatusCode::UNAUTHENTICATED},
  };
  auto it = kNames.find(text);
  if (it != kNames.end()) {
    *code = it->second;
    return true;
  }
  long number = 0;
  if (!ParseInt(text, 16, &number) || number == 0) return false;
  *code = static_cast<grpc::StatusCode>(number);
  return true;
}

bool IsMethodOrAll(const std::string& text) {
  return text == "*" || IsMethodName(text);
}

bool IsAccelerator(const Simulator& sim, const std::string& text) {
  if (text == "*") return true;
  for (const std::string& id : sim.AcceleratorIds()) {
    if (id == text) return true;
  }
  return false;
}

std::string AllOrOne(const std::string& accel) {
  return accel == "*" ? std::string() : accel;
}

}  // namespace

bool ApplyFaultPlan(Simulator* sim, const std::string& text,
                    std::string* error) {
  std::vector<std::function<void()>> actions;
  std::istringstream lines(text);
  std::string line;
  int number = 0;
  auto bad = [&](const std::string& why) {
    if (error != nullptr) {
      *error = "fault plan line " + std::to_string(number) + ": " + why;
    }
    return false;
  };
  while (std::getline(lines, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::string command;
    if (!(words >> command) || command[0] == '#') continue;
    std::vector<std::string> args;
    std::string word;
    if (command == "fail") {
      std::string method, count_text, code_text, accel;
      if (!(words >> method >> count_text >> code_text >> accel)) {
        return bad(
            "expected: fail <method> <count> <code> <accelerator> "
            "<message>");
      }
      std::string message;
      std::getline(words >> std::ws, message);
      long count = 0;
      grpc::StatusCode code;
      if (!IsMethodOrAll(method)) return bad("unknown method " + method);
      if (!ParseInt(count_text, 1000000000, &count) || count == 0) {
        return bad("bad count " + count_text);
      }
      if (!ParseCode(code_text, &code)) return bad("bad code " + code_text);
      if (!IsAccelerator(*sim, accel)) {
        return bad("unknown accelerator " + accel);
      }
      actions.push_back([=] {
        sim->core().FailNext(method, static_cast<int>(count), code, message,
                             AllOrOne(accel));
      });
    } else if (command == "delay") {
      std::string method, ms_text, accel;
      if (!(words >> method >> ms_text >> accel) || (words >> word)) {
        return bad("expected: delay <method> <milliseconds> <accelerator>");
      }
      long ms = 0;
      if (!IsMethodOrAll(method)) return bad("unknown method " + method);
      if (!ParseInt(ms_text, 3600000, &ms)) return bad("bad delay " + ms_text);
      if (!IsAccelerator(*sim, accel)) {
        return bad("unknown accelerator " + accel);
      }
      actions.push_back([=] {
        sim->core().SetDelay(method, std::chrono::milliseconds(ms),
                             AllOrOne(accel));
      });
    } else if (command == "unhealthy" || command == "healthy") {
      std::string accel;
      if (!(words >> accel) || (words >> word)) {
        return bad("expected: " + command + " <accelerator>");
      }
      if (!IsAccelerator(*sim, accel)) {
        return bad("unknown accelerator " + accel);
      }
      const bool healthy = command == "healthy";
      actions.push_back([=] { sim->core().SetHealthy(accel, healthy); });
    } else if (command == "drop-sessions" || command == "forget-models" ||
               command == "clear") {
      if (words >> word) return bad(command + " takes no arguments");
      if (command == "drop-sessions") {
        actions.push_back([=] { sim->core().DropAllSessions(); });
      } else if (command == "forget-models") {
        actions.push_back([=] { sim->core().ForgetAllModels(); });
      } else {
        actions.push_back([=] { sim->core().ClearFaults(); });
      }
    } else if (command == "restart") {
      std::string ms_text;
      long ms = 0;
      if (!(words >> ms_text) || (words >> word) ||
          !ParseInt(ms_text, 3600000, &ms)) {
        return bad("expected: restart <downtime milliseconds>");
      }
      actions.push_back(
          [=] { sim->RestartAsync(std::chrono::milliseconds(ms)); });
    } else if (command == "metadata") {
      std::string path, after_text, status_text, body;
      long after = 0;
      long status = 0;
      if (!(words >> path >> after_text >> status_text) || path[0] != '/' ||
          !ParseInt(after_text, 1000000000, &after) ||
          !ParseInt(status_text, 599, &status) || status < 100) {
        return bad("expected: metadata <path> <after> <status> [<body>]");
      }
      MetadataOverride o;
      o.status = static_cast<int>(status);
      if (std::getline(words >> std::ws, body)) o.body = body;
      o.after_requests = static_cast<size_t>(after);
      actions.push_back([=] { sim->core().SetMetadataOverride(path, o); });
    } else {
      return bad("unknown command " + command);
    }
  }
  for (const auto& action : actions) action();
  return true;
}

}  // namespace zvsim
