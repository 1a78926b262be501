// constcol: a column of 850 lines that each hold "1700.000", on standard output.
#include <cstdio>

#include "recordio/cli.h"

int main(int argc, char** argv) {
  cli::no_arguments({"constcol", "", "Writes 850 lines of 1700.000 to standard output.\n"}, argc,
                    argv);
  for (int i = 1; i <= 850; ++i) std::fputs("1700.000\n", stdout);
  return 0;
}
