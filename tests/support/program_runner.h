// Runs the real kestova program for a test: with the profile store named
// through the environment, standard input from a file (or nothing), and
// both output streams kept apart.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace kestova::testing {

struct ProgramResult {
  int code = -1;
  std::string out;
  std::string err;
  // Both streams, for a test that only looks for a text somewhere.
  std::string all() const { return out + err; }
};

// `args` go to the shell as written; `input` names the file standard input
// comes from (empty: /dev/null). `scratch` is a folder for the captured
// standard error.
inline ProgramResult RunProgram(const std::string& binary, const std::string& store, const std::string& args,
                                const std::string& scratch, const std::string& input = std::string()) {
  const std::string err_file = scratch + "/stderr.txt";
  const std::string command = "KESTOVA_REGISTRY='" + store + "' '" + binary + "' " + args + " 2>'" + err_file + "' <'" +
                              (input.empty() ? std::string("/dev/null") : input) + "'";
  ProgramResult result;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.out.append(buffer, n);
  const int status = ::pclose(pipe);
  result.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream err(err_file);
  result.err.assign(std::istreambuf_iterator<char>(err), {});
  return result;
}

}  // namespace kestova::testing
