// Wildcards and pattern dialect text against subjects, plus the text helpers that read what
// users and files give: the input is "pattern NUL subject" (no NUL: the pattern matched
// against itself).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "dyxcore/portable.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t cut = input.find('\0');
  const std::string pattern(input.substr(0, cut));
  const std::string subject(cut == std::string_view::npos ? input : input.substr(cut + 1));

  const DyxPattern wildcard(pattern, true);
  const bool matched = wildcard.match(subject);
  (void)wildcard.describe();
  const DyxPattern copy(wildcard);
  if (copy.match(subject) != matched) quarryfuzz::fail("a copied pattern decides differently");
  // A wildcard without any special character ("*", "?" and the dialect's "\", "^", "$" that
  // users do not escape) accepts exactly its own text.
  if (pattern.find_first_of("*?\\^$") == std::string::npos && !wildcard.isEmpty() &&
      !wildcard.match(pattern) && pattern.find('\0') == std::string::npos) {
    quarryfuzz::fail("a pattern without wildcards refuses its own text");
  }

  const DyxPattern dialect(pattern, false);
  (void)dialect.match(subject);
  DyxPatternNodeList nodes;
  (void)dyxPatternCompile(&nodes, std::string_view(pattern));
  (void)dyxPatternMatch(nodes, subject);
  dyxPatternFree(nodes);

  (void)trim(subject);
  (void)unquote(subject);
  (void)replaceAll(subject, pattern, "x");
  (void)split(subject, pattern.empty() ? ',' : pattern[0], '"');
  (void)parseSize(subject);
  (void)isValidName(subject);
  return 0;
}
