// Where the program file lives, and where its data files are: beside the
// program in a build tree, or under share/kestova of the installed layout.
#pragma once

#include <string>

namespace kestova {

// The folder of the running program file, ending in the path separator.
std::string ProgramFolder();

// A data file of the program ("auto.htm", "help/kestova_help.htm"): beside
// the program when it is there, else in the installed data folder when it is
// there, else the path beside the program (which does not exist).
std::string DataFile(const std::string& relative);

// The same lookup from a given program folder (ending in '/'), for the tests.
std::string DataFileFrom(const std::string& program_folder, const std::string& relative);

}  // namespace kestova
