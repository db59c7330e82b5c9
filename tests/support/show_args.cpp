// A program that the launch tests start, the same on Linux and Windows: it writes each of its
// arguments as [text] to the file args.out of its current directory, and prints 42 and its first
// argument in double quotes on standard output (two result values). A test thus sees exactly
// which arguments arrived, however the system passes them.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "dyxcore/platform.h"

int main(int argc, char** argv) {
  const dyxplatform::Utf8Console console;
  const std::vector<std::string> args = dyxplatform::commandLineArguments(argc, argv);
  std::ofstream out("args.out", std::ios::binary | std::ios::trunc);
  for (std::size_t i = 1; i < args.size(); ++i) out << '[' << args[i] << ']';
  std::cout << "42\n\"" << (args.size() > 1 ? args[1] : std::string()) << "\"\n";
  return 0;
}
