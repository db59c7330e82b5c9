// Starting external programs.
//
// DyxCreateProcess starts one program without a shell: the program is looked up along PATH (a
// name holding "/" is taken as it is) and the other arguments reach it one by one, as given.
// A non-blocking start returns at once and leaves no zombie behind. A blocking start waits for
// the program and sends its standard output to `logFile`, so that the caller can read back the
// values it printed.
//
// DyxLaunch is the program part of a launcher command: it runs its program on one entry (the
// variable "entry") and reads the values named by `resultVariables` from "dyx_launch_stdin.log"
// in the current directory. Values are plain data owned by their command; no state is kept
// between calls. Any thread may call, but launches that read results share the one result file
// of the current directory, so they must not run at the same time.
#pragma once

#include <map>
#include <string>
#include <vector>

// The file a blocking launch writes the program's standard output to, and reads results from.
inline constexpr const char* kDyxLaunchResultFile = "dyx_launch_stdin.log";

// `arguments[0]` is the program; the other arguments are passed unchanged, except that one pair
// of enclosing double quotes is removed (a quoted argument arrives as one argument, without its
// quotes). Returns true when the program was started (and, when blocking, has ended).
bool DyxCreateProcess(const std::vector<std::string>& arguments, bool blocking,
                      const std::string& logFile);

class DyxLaunch {
 public:
  DyxLaunch() = default;
  DyxLaunch(std::string program, std::string resultVariables)
      : m_program(std::move(program)), m_resultVariables(std::move(resultVariables)) {}

  // Runs the program on variables["entry"] (added empty when absent) and stores the result
  // values under their names. True when the program was started and the results were read
  // (missing values are empty texts).
  bool launch(std::map<std::string, std::string>& variables) const;

  const std::string& program() const { return m_program; }
  const std::string& resultVariables() const { return m_resultVariables; }

  // The names of a result variable list such as "$size $date": each runs from after a "$" to
  // the next blank or tab.
  static std::vector<std::string> parseResultVariables(const std::string& resultVariables);

 private:
  std::string m_program;          // as written in the command file
  std::string m_resultVariables;  // "$name" words separated by blanks or tabs; may be empty
};
