// quarry-cli: everything is in the quarrycli library (cli.h), so the tests run the same code.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "dyxcore/platform.h"

int main(int argc, char** argv) {
  dyxplatform::openClosedStandardDescriptors();  // before any file is opened
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return runQuarryCli(args, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
