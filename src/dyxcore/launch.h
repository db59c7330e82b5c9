// Starting external programs.
//
// DyxCreateProcess starts one program without a shell: the program is looked up along PATH (a
// name holding "/" is taken as it is) and the other arguments reach it one by one, as given.
// A non-blocking start returns at once and leaves no zombie behind. A blocking start waits for
// the program and sends its standard output to `logFile`, so that the caller can read back the
// values it printed.
//
// A command template (program and arguments in one text, with a placeholder for a value) is
// split into arguments before the placeholder is filled in, so that a substituted value stays
// exactly one argument, whatever bytes it holds: a file named `a" --opt "b` never becomes an
// option of the program. No shell is involved anywhere.
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

// The placeholder of a launcher command's program text: the entry's path.
inline constexpr const char* kDyxEntryPlaceholder = "%1";

// `arguments[0]` is the program (one pair of enclosing double quotes is removed before the
// lookup); every other argument reaches the program exactly as given, byte for byte. Returns
// true when the program was started (and, when blocking, has ended).
bool DyxCreateProcess(const std::vector<std::string>& arguments, bool blocking,
                      const std::string& logFile);

// The arguments of a command template: blanks (and tabs) separate arguments; a double-quoted
// run belongs to its argument without its quotes, so `"a b"` and `--x="a b"` are one argument
// each and `""` is an empty one; an unmatched double quote drops the rest of the text.
std::vector<std::string> DyxSplitCommandTemplate(const std::string& commandTemplate);

// Splits the template, then replaces every `placeholder` inside each argument by `value`
// (never rescanning the value). When no argument holds the placeholder, `value` follows as one
// more argument. Empty when the template holds no argument.
std::vector<std::string> DyxFillCommandTemplate(const std::string& commandTemplate,
                                                const std::string& placeholder,
                                                const std::string& value);

class DyxLaunch {
 public:
  DyxLaunch() = default;
  DyxLaunch(std::string program, std::string resultVariables)
      : m_program(std::move(program)), m_resultVariables(std::move(resultVariables)) {}

  // Runs the program on variables["entry"] (added empty when absent) and stores the result
  // values under their names. A program text holding kDyxEntryPlaceholder is a command
  // template (program and fixed arguments, DyxFillCommandTemplate) with the entry in place of
  // the placeholder; any other text is the program itself, and the entry its one argument.
  // True when the program was started and the results were read (missing values are empty).
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
