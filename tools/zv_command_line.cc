#include "zv_command_line.h"

#include <iostream>
#include <string>

#include <getopt.h>

#include "zva/zva_tools.h"

namespace zv {

namespace {

// `text` with every byte outside printable ASCII written as \xNN, so that
// whatever a command line holds prints as plain text.
std::string Printable(const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f) {
      out += c;
    } else {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0f];
    }
  }
  return out;
}

}  // namespace

bool ParseCommandLine(int argc, const char** argv, int& json, int& help,
                      bool& has_command, std::string& command) {
  const option long_options[] = {
      {"json", no_argument, &json, 1},
      {"help", no_argument, &help, 1},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  has_command = false;
  // The strings are not written: a leading '-' in the option string makes
  // getopt_long hand over each argument that is not an option, in order, as
  // code 1, rather than permute argv. It also keeps options after the
  // command counting under POSIXLY_CORRECT, which otherwise ends the options
  // at the first argument that is not one.
  char** args = const_cast<char**>(argv);
  int c;
  for (;;) {
    // The argument getopt_long looks at: the one it reports an error for.
    const int current = optind;
    c = getopt_long(argc, args, "-jh", long_options, nullptr);
    if (c == -1) break;
    switch (c) {
      case 0:
        break;
      case 1:
        if (!has_command) {
          has_command = true;
          command = optarg;
        }
        break;
      case 'j':
        json = 1;
        break;
      case 'h':
        help = 1;
        break;
      case '?': {
        // A long option is named whole ("--bogus", "--json=1"): its
        // option character is none, or the flag value of a known one.
        const std::string argument =
            current < argc && args[current] != nullptr ? args[current] : "";
        const bool is_long = argument.rfind("--", 0) == 0;
        std::cerr << "Unknown option: "
                  << Printable(is_long
                                   ? argument
                                   : std::string(1, static_cast<char>(optopt)))
                  << std::endl;
        zva::PrintUsageString(std::cerr);
        return false;
      }
      default:
        std::cerr << "Something went wrong." << std::endl;
        return false;
    }
  }
  // After "--" the arguments left are not options.
  if (!has_command && optind < argc) {
    has_command = true;
    command = argv[optind];
  }
  return true;
}

}  // namespace zv
