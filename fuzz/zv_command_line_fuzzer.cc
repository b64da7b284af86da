// zv's command line: the input is its arguments, separated by zero bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include <getopt.h>

#include "fuzz_support.h"
#include "zv_command_line.h"

namespace {

constexpr size_t kMaxArguments = 32;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zvfuzz::SilenceLibraryLog();
  // The parser reports errors on std::cerr; a failed stream drops them.
  std::cerr.setstate(std::ios::badbit);
  unsetenv("POSIXLY_CORRECT");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> arguments = {"zv"};
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start < input.size() && arguments.size() < kMaxArguments) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    arguments.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  argv.push_back(nullptr);

  // A fresh getopt scan for every input.
  optind = 0;
  int json = 0;
  int help = 0;
  bool has_command = false;
  std::string command;
  const bool parsed =
      zv::ParseCommandLine(static_cast<int>(arguments.size()), argv.data(),
                           json, help, has_command, command);
  if ((json != 0 && json != 1) || (help != 0 && help != 1)) std::abort();
  if (parsed && has_command) {
    bool found = false;
    for (size_t i = 1; i < arguments.size(); ++i) {
      found = found || arguments[i] == command;
    }
    if (!found) std::abort();
  }
  return 0;
}
