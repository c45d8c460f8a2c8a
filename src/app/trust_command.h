// `kestova profile trust`: connects to a site of a profile over TLS, shows
// the certificate the server presents and, after a yes, stores its
// fingerprint in the profile so that later runs accept it.
#pragma once

#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace kestova {

extern const char* const kTrustHelp;

// `args` are the words after "trust". The answer to the question is read
// from `in`, or when that is null from standard input.
int RunTrustCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const std::string& store_file, std::istream* in);

}  // namespace kestova
