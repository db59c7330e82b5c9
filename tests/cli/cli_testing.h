// Runs the real quarry-cli binary (QUARRY_CLI_PATH) from a calling directory and captures its
// standard output, standard error and exit code; plus small readers of its output.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "support/testutil.h"

#ifndef QUARRY_CLI_PATH
#error "QUARRY_CLI_PATH must name the quarry-cli binary"
#endif

namespace clitest {

struct CliRun {
  int exitCode = -1;  // the exit status, or 128 + signal when killed
  std::string out;
  std::string err;
};

// How runCliFrom starts the program.
struct CliRunOptions {
  // A command that runs quarry-cli for us, as `setpriv --reuid=... --` does (looked up in
  // PATH); empty: quarry-cli itself.
  std::vector<std::string> wrapper;
  bool closeStdout = false;  // start it with descriptor 1 closed
};

// Runs quarry-cli with `args`, called from `callerDir`, with the environment of the test changed
// by `env` (an empty value unsets the variable); standard input is /dev/null, and a run that
// takes longer than two minutes is killed.
inline CliRun runCliFrom(const std::string& callerDir, const std::vector<std::string>& args,
                         const std::map<std::string, std::string>& env,
                         const std::string& program = QUARRY_CLI_PATH,
                         const CliRunOptions& how = CliRunOptions()) {
  quarrytest::TempDir capture;
  const std::string outPath = capture / "out";
  const std::string errPath = capture / "err";
  std::vector<std::string> argv = how.wrapper;
  argv.push_back(program);
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (std::string& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (env.count(entry.substr(0, entry.find('='))) == 0) environment.push_back(entry);
  }
  for (const auto& [name, value] : env) {
    if (!value.empty()) environment.push_back(name + "=" + value);
  }
  std::vector<char*> cenv;
  for (std::string& e : environment) cenv.push_back(e.data());
  cenv.push_back(nullptr);

  CliRun run;
  const pid_t pid = fork();
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || chdir(callerDir.c_str()) != 0) _exit(121);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (const int fd : {in, out, err}) {
      if (fd > 2) close(fd);
    }
    if (how.closeStdout) close(1);
    alarm(120);
    execvpe(cargv[0], cargv.data(), cenv.data());
    _exit(122);
  }
  if (pid < 0) return run;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  run.out = quarrytest::readFile(outPath);
  run.err = quarrytest::readFile(errPath);
  return run;
}

// Runs quarry-cli with `workDir` as both the calling and the working directory.
inline CliRun runCli(const std::string& workDir, const std::vector<std::string>& args,
                     const CliRunOptions& how = CliRunOptions()) {
  return runCliFrom(workDir, args, {{"QUARRY_HOME", workDir}}, QUARRY_CLI_PATH, how);
}

inline std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// The fields of one tsv line, with \t, \n and \\ turned back into their bytes.
inline std::vector<std::string> tsvFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\t') {
      fields.emplace_back();
    } else if (c == '\\' && i + 1 < line.size()) {
      const char next = line[++i];
      fields.back() += next == 't' ? '\t' : next == 'n' ? '\n' : next;
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

}  // namespace clitest
