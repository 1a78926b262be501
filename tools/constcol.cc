// constcol: a column of 850 lines that each hold "1700.000", on standard output.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "recordio/cli.h"

int main(int argc, char** argv) {
  cli::no_arguments({"constcol", "", "Writes 850 lines of 1700.000 to standard output.\n"}, argc,
                    argv);
  // A file-size limit then fails a write with EFBIG, said below, instead of
  // killing the process without a word.
  std::signal(SIGXFSZ, SIG_IGN);
  int failed = 0;  // errno of the first failed write, flush or close
  const auto error = [] { return errno != 0 ? errno : EIO; };
  for (int i = 1; i <= 850 && failed == 0; ++i) {
    if (std::fputs("1700.000\n", stdout) == EOF) failed = error();
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
