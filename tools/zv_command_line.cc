#include "zv_command_line.h"

#include <iostream>

#include <getopt.h>

#include "zva/zva_tools.h"

namespace zv {

bool ParseCommandLine(int argc, const char** argv, int& json, int& help,
                      bool& has_command, std::string& command) {
  const option long_options[] = {
      {"json", no_argument, &json, 1},
      {"help", no_argument, &help, 1},
      {nullptr, 0, nullptr, 0},
  };
  opterr = 0;
  // getopt_long permutes argv; the strings themselves are not written.
  char** args = const_cast<char**>(argv);
  int c;
  while ((c = getopt_long(argc, args, "jh", long_options, nullptr)) != -1) {
    switch (c) {
      case 0:
        break;
      case 'j':
        json = 1;
        break;
      case 'h':
        help = 1;
        break;
      case '?':
        if (optopt != 0) {
          std::cerr << "Unknown option: " << static_cast<char>(optopt)
                    << std::endl;
        } else {
          // An unknown long option has no option character; name it whole.
          std::cerr << "Unknown option: " << args[optind - 1] << std::endl;
        }
        zva::PrintUsageString(std::cerr);
        return false;
      default:
        std::cerr << "Something went wrong." << std::endl;
        return false;
    }
  }
  has_command = optind < argc;
  if (has_command) command = argv[optind];
  return true;
}

}  // namespace zv
