// Where the program file lives: its folder holds the default redirection
// template and the help folder.
#pragma once

#include <string>

namespace kestova {

// The folder of the running program file, ending in the path separator.
std::string ProgramFolder();

}  // namespace kestova
