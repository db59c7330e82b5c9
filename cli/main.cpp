// quarry-cli: everything is in the quarrycli library (cli.h), so the tests run the same code.
// The start-up alone is here: a run that parses moves into the working directory first (after
// remembering where the user called from, for the directory argument); --help, --version and
// usage errors touch nothing.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  DyxFrontEnd::openClosedStandardDescriptors();  // before any file is opened
  DyxFrontEnd::useUtf8Console();
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args = DyxFrontEnd::programArguments(argc, argv);
  CliOptions options;
  std::string error;
  if (parseCliArguments(args, options, error) == CliParseOutcome::kRun) {
    const DyxStartResult start = DyxFrontEnd::enterWorkDirectory();
    for (const std::string& warning : start.warnings)
      std::cerr << "quarry-cli: " << warning << '\n';
    if (!start.ok) {
      std::cerr << "quarry-cli: " << start.error << '\n';
      return kCliExitNotListed;
    }
  }
  return runQuarryCli(args, std::cout, std::cerr, isatty(STDERR_FILENO) == 1, true);
}
