#ifndef ZVA_TOOLS_ZV_COMMAND_LINE_H_
#define ZVA_TOOLS_ZV_COMMAND_LINE_H_

// The option parsing of `zv`, apart from main so that it can be exercised on
// its own.

#include <string>

namespace zv {

// Parses the options into the two flags (set to 1 when given) and the first
// argument that is not an option into `command`. Options may stand before or
// after the command. Returns false after a parse error, which it reports on
// standard error with the usage text.
//
// Built on getopt_long, whose state is process-wide: not thread-safe, and a
// second parse in the same process must set optind to 0 first.
bool ParseCommandLine(int argc, const char** argv, int& json, int& help,
                      bool& has_command, std::string& command);

}  // namespace zv

#endif  // ZVA_TOOLS_ZV_COMMAND_LINE_H_
