// constcol: a column of one constant value on standard output, by default
// 850 lines that each hold "1700.000".
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "run/cli.h"

namespace {

constexpr cli::Program kProgram{
    "constcol", "[--value V] [--count N]",
    "Makes a constant column, such as the one-column file colmerge puts beside a\n"
    "measured two-column file: N lines of V on standard output.\n"
    "\n"
    "  --value V      the value of every line, a number written as given (default\n"
    "                 1700.000)\n"
    "  --count N      the number of lines (default 850)\n"
    "  -h, --help     print this text and exit\n"
    "  -V, --version  print the name and release and exit\n"
    "\n"
    "Exit status: 0 when the column is written; 1 when standard output cannot be\n"
    "written (the reason on standard error); 2 for a usage error; 128 + N when\n"
    "ended by signal N (141 for a pipe closed by its reader).\n"};

// The --value text, which must read as one number by the rules of a typed
// answer; written as given, without the blanks around it.
std::string value_text(std::string_view text) {
  cli::number<double>(kProgram, "--value", text);
  const std::size_t first = text.find_first_not_of(" \t");
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

}  // namespace

int main(int argc, char** argv) {
  static constexpr cli::Option kOptions[] = {{"value", "a number"}, {"count", "a number"}};
  std::string line = "1700.000";
  long count = 850;
  cli::CommandLine args(kProgram, kOptions, argc, argv);
  while (const auto given = args.next()) {
    if (given->name == "value") line = value_text(given->value);
    if (given->name == "count") count = cli::count(kProgram, "--count", given->value, LONG_MAX);
  }
  args.no_operands();
  line.push_back('\n');
  // A file-size limit then fails a write with EFBIG, said below, instead of
  // killing the process without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  int failed = 0;  // errno of the first failed write, flush or close
  const auto error = [] { return errno != 0 ? errno : EIO; };
  for (long i = 1; i <= count && failed == 0; ++i) {
    if (std::fputs(line.c_str(), stdout) == EOF) failed = error();
  }
  if (failed == 0 && std::fflush(stdout) != 0) failed = error();
  if (failed == 0 && std::fclose(stdout) != 0) failed = error();
  if (failed != 0) {
    // The "program: message" line written here: cli::complain would flush
    // standard output, which is closed by now.
    std::fprintf(stderr, "constcol: cannot write standard output: %s\n", std::strerror(failed));
    return 1;
  }
  return 0;
}
