// `kestova profile ...`: lists, shows, selects, deletes and edits the stored
// site profiles without opening a window.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace kestova {

// Exit codes shared by every headless command.
enum ExitCode { kExitOk = 0, kExitTerminated = 1, kExitNoConnection = 2, kExitUsage = 3 };

// Runs `kestova profile` with the words after "profile". `store_file` names
// the registry file (empty: the default one). Messages for the user go to
// `out`, errors to `err`; the result is the program's exit code. A password
// given as "-" is read from `in`, or when that is null from the terminal
// without echo (or one line of standard input).
int RunProfileCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                      const std::string& store_file = std::string(), std::istream* in = nullptr);

}  // namespace kestova
