// `kestova run publish|redirect`: one transfer run without a window, its log
// on standard output.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace kestova {

// Runs `kestova run` with the words after "run". The exit code: 0 after
// "Finished.", 1 after "Terminated before completion." (or a run ended by an
// error), 2 when the first connection failed, 3 for usage or profile errors.
int RunRunCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                  const std::string& store_file = std::string());

}  // namespace kestova
