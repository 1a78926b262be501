#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "labsuite/version.h"
#include "tests/process.h"

namespace {

using testing_support::file_exists;
using testing_support::names_in;
using testing_support::TempDir;
using testing_support::read_file;
using testing_support::run_in;
using testing_support::write_file;

// n lines "v0\n", "v0+1\n", ... of the one-column file.
std::string cmp_values(int n, int first = 1) {
  std::string s;
  for (int i = 0; i < n; ++i) s += std::to_string(first + i) + "\n";
  return s;
}

// n pairs "i<TAB>i/4" of the two-column file.
std::string nst_pairs(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += std::to_string(i) + "\t" + std::to_string(i * 0.25) + "\n";
  return s;
}

TEST(Constcol, WritesExactly850LinesOf1700) {
  const TempDir dir;
  auto r = run_in(dir.str(), CONSTCOL_PATH);
  EXPECT_EQ(r.exit_status, 0);
  std::string want;
  for (int i = 0; i < 850; ++i) want += "1700.000\n";
  EXPECT_EQ(r.out, want);
  EXPECT_EQ(r.out.size(), 7650u);
  EXPECT_EQ(r.err, "");
}

TEST(Colmerge, ShiftsTheOneColumnFileDownByOneRow) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  // Line 2 of the pairs is (1.5, 0.25); the first single value is 1700. Values
  // beyond the fixed counts are never read.
  std::string nst = "7 8\n1.5\t0.25\n" + nst_pairs(870);
  write_file(dir + "/g0m2410d.nst", nst);
  write_file(dir + "/g0m2410d.cmp", "1700\n" + cmp_values(900, 2));
  auto r = run_in(dir, COLMERGE_PATH);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  std::string out = read_file(dir + "/sorted.out");
  // The first line's third value has no input: it is written as 0.
  EXPECT_EQ(out.substr(0, out.find('\n') + 1), "7\t8.000000e+00\t0.000000e+00\n");
  std::string second = out.substr(out.find('\n') + 1);
  EXPECT_EQ(second.substr(0, second.find('\n') + 1), "1.5\t2.500000e-01\t1.700000e+03\n");
  int lines = 0;
  for (char c : out) lines += c == '\n';
  EXPECT_EQ(lines, 861);
  // Line 861 holds pair 861 (the 859th of nst_pairs: 858, 214.5) and value 860.
  std::string last = out.substr(out.rfind('\n', out.size() - 2) + 1);
  EXPECT_EQ(last, "858\t2.145000e+02\t8.600000e+02\n");
}

TEST(Colmerge, ReportsEveryFailedOpenInOrderAndStops) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  write_file(dir + "/sorted.out", "old content\n");
  auto r = run_in(dir, COLMERGE_PATH);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "g0m2410d.cmp could not be opened\ng0m2410d.nst could not be opened\n");
  EXPECT_EQ(r.err,
            "colmerge: cannot open g0m2410d.cmp: No such file or directory\n"
            "colmerge: cannot open g0m2410d.nst: No such file or directory\n");
  // The earlier result is kept as it was, and no temporary file is left.
  EXPECT_EQ(read_file(dir + "/sorted.out"), "old content\n");
  EXPECT_EQ(names_in(dir), std::set<std::string>{"sorted.out"});

  const TempDir tmp2;
  const std::string& only_nst_missing = tmp2.str();
  write_file(only_nst_missing + "/g0m2410d.cmp", cmp_values(861));
  r = run_in(only_nst_missing, COLMERGE_PATH);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.out, "g0m2410d.nst could not be opened\n");
  EXPECT_EQ(names_in(only_nst_missing), std::set<std::string>{"g0m2410d.cmp"});
}

TEST(Colmerge, RefusesShortInputsWithoutWritingUndefinedLines) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  write_file(dir + "/g0m2410d.cmp", cmp_values(500));
  write_file(dir + "/g0m2410d.nst", nst_pairs(862));
  auto r = run_in(dir, COLMERGE_PATH);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "colmerge: g0m2410d.cmp ends after 500 values, 861 needed\n");
  EXPECT_FALSE(file_exists(dir + "/sorted.out"));

  // A pair cut in half counts the values read, not the pairs.
  write_file(dir + "/g0m2410d.cmp", cmp_values(861));
  write_file(dir + "/g0m2410d.nst", nst_pairs(10) + "5\n");
  r = run_in(dir, COLMERGE_PATH);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "colmerge: g0m2410d.nst ends after 21 values, 1724 needed\n");
  EXPECT_FALSE(file_exists(dir + "/sorted.out"));
}

TEST(Colmerge, RefusesTextWhereANumberBelongs) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  write_file(dir + "/g0m2410d.cmp", cmp_values(3) + "abc\n" + cmp_values(900));
  write_file(dir + "/g0m2410d.nst", "momentum probability\n" + nst_pairs(862));
  auto r = run_in(dir, COLMERGE_PATH);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err,
            "colmerge: g0m2410d.cmp: line 4: 'abc' is not a number\n"
            "colmerge: g0m2410d.nst: line 1: 'momentum' is not a number\n");
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"g0m2410d.cmp", "g0m2410d.nst"}));
}

TEST(Colmerge, ASuccessfulMergeReplacesTheEarlierResultKeepingItsMode) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  write_file(dir + "/g0m2410d.cmp", cmp_values(861));
  write_file(dir + "/g0m2410d.nst", nst_pairs(862));
  write_file(dir + "/sorted.out", "an earlier merge\n");
  namespace fs = std::filesystem;
  fs::permissions(dir + "/sorted.out", fs::perms::owner_read | fs::perms::owner_write |
                                           fs::perms::group_read);
  const auto r = run_in(dir, COLMERGE_PATH);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const std::string out = read_file(dir + "/sorted.out");
  EXPECT_EQ(out.substr(0, out.find('\n') + 1), "0\t0.000000e+00\t0.000000e+00\n");
  EXPECT_EQ(fs::status(dir + "/sorted.out").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(names_in(dir), (std::set<std::string>{"g0m2410d.cmp", "g0m2410d.nst", "sorted.out"}));
}

// The file names and the row count as arguments: the designed merge under
// other names is the same bytes, and --rows N writes its first N lines from
// N values and N + 1 pairs (fewer are refused, naming the file given).
TEST(Colmerge, ArgumentsNameTheFilesAndTheRows) {
  const TempDir tmp;
  const std::string& dir = tmp.str();
  write_file(dir + "/g0m2410d.cmp", cmp_values(861));
  write_file(dir + "/g0m2410d.nst", nst_pairs(862));
  write_file(dir + "/a.cmp", cmp_values(861));
  write_file(dir + "/a.nst", nst_pairs(862));
  ASSERT_EQ(run_in(dir, COLMERGE_PATH).exit_status, 0);
  const std::string designed = read_file(dir + "/sorted.out");
  testing_support::Run merge;
  merge.program = COLMERGE_PATH;
  merge.dir = dir;
  merge.args = {"a.cmp", "a.nst", "merged.txt"};
  EXPECT_EQ(testing_support::run(merge).exit_status, 0);
  EXPECT_EQ(read_file(dir + "/merged.txt"), designed);
  merge.args = {"a.cmp", "--rows=2", "a.nst"};  // options among the operands; OUT sorted.out
  EXPECT_EQ(testing_support::run(merge).exit_status, 0);
  EXPECT_EQ(read_file(dir + "/sorted.out"), "0\t0.000000e+00\t0.000000e+00\n1\t2.500000e-01\t1.000000e+00\n");
  write_file(dir + "/short.nst", nst_pairs(2));
  merge.args = {"--rows", "2", "a.cmp", "short.nst", "never.txt"};
  const auto r = testing_support::run(merge);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.err, "colmerge: short.nst ends after 4 values, 6 needed\n");
  EXPECT_FALSE(file_exists(dir + "/never.txt"));
}

// --help/-h and --version/-V answer on standard output; the options take
// their values as "--opt V" or "--opt=V"; anything else is a usage error.
// None of them reads or creates a file.
TEST(Tools, OptionsAnswerWithoutTouchingFiles) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    int status;
    std::string out, err;
    bool whole = false;  // out is all of standard output, not its start
  };
  const std::string version = std::string(" (labsuite) ") + labsuite::kVersion + "\n";
  const std::string constcol = "; usage: constcol [--value V] [--count N]\n";
  const std::string colmerge = "; usage: colmerge [--rows N] [CMP NST [OUT]]\n";
  const Case cases[] = {
      {CONSTCOL_PATH, {"--help"}, 0, "Usage: constcol [--value V] [--count N]\nMakes a constant column", ""},
      {CONSTCOL_PATH, {"-h"}, 0, "Usage: constcol [--value V] [--count N]\n", ""},
      {CONSTCOL_PATH, {"--version"}, 0, "constcol" + version, "", true},
      {CONSTCOL_PATH, {"--count", "x", "-V"}, 0, "constcol" + version, "", true},
      {CONSTCOL_PATH, {"--value", "2.5", "--count=3"}, 0, "2.5\n2.5\n2.5\n", "", true},
      {CONSTCOL_PATH, {"--val=-1e-3", "--c", "1"}, 0, "-1e-3\n", "", true},
      {CONSTCOL_PATH, {"--all"}, 2, "", "constcol: unknown option '--all'" + constcol},
      {CONSTCOL_PATH, {"900"}, 2, "", "constcol: unexpected argument '900'" + constcol},
      {CONSTCOL_PATH, {"--value"}, 2, "", "constcol: --value needs a number" + constcol},
      {CONSTCOL_PATH, {"--value", "nan"}, 2, "", "constcol: --value needs a number, not 'nan'" + constcol},
      {CONSTCOL_PATH, {"--count=0"}, 2, "", "constcol: --count needs a whole number above 0, not '0'" + constcol},
      {CONSTCOL_PATH, {"--count", "2.5"}, 2, "", "constcol: --count needs a whole number above 0, not '2.5'" + constcol},
      {CONSTCOL_PATH, {"--count=3=4"}, 2, "", "constcol: --count needs a whole number above 0, not '3=4'" + constcol},
      {CONSTCOL_PATH, {"--help=x"}, 2, "", "constcol: --help takes no value" + constcol},
      // The value is read as a typed answer is: blanks around it and a D
      // exponent pass, C's hexadecimal does not, a line break stays in the line.
      {CONSTCOL_PATH, {"--value", " 1.7D3 ", "--count=2 "}, 0, "1.7D3\n1.7D3\n", "", true},
      {CONSTCOL_PATH, {"--value", "0x10"}, 2, "", "constcol: --value needs a number, not '0x10'" + constcol},
      {CONSTCOL_PATH, {"--value", "1\n2"}, 2, "",
       "constcol: --value needs a number, not '1\\n2': it holds a line break" + constcol},
      {CONSTCOL_PATH, {"--value", "1 2"}, 2, "",
       "constcol: --value needs a number, not '1 2': it holds more than one value" + constcol},
      {COLMERGE_PATH, {"--help"}, 0, "Usage: colmerge [--rows N] [CMP NST [OUT]]\nPuts a column", ""},
      {COLMERGE_PATH, {"-V"}, 0, "colmerge" + version, "", true},
      {COLMERGE_PATH, {"-o"}, 2, "", "colmerge: unknown option '-o'" + colmerge},
      {COLMERGE_PATH, {"a.cmp"}, 2, "", "colmerge: NST is missing after CMP" + colmerge},
      {COLMERGE_PATH, {"a", "b", "c", "d"}, 2, "", "colmerge: unexpected argument 'd'" + colmerge},
      {COLMERGE_PATH, {"--rows"}, 2, "", "colmerge: --rows needs a number" + colmerge},
      // An output that is an input, by another spelling of its name.
      {COLMERGE_PATH, {"a.cmp", "a.nst", "./a.nst"}, 2, "",
       "colmerge: OUT ./a.nst is the two-column file" + colmerge},
      {COLMERGE_PATH, {"--rows=100000001"}, 2, "",
       "colmerge: --rows needs a whole number from 1 to 100000000, not '100000001'" + colmerge},
  };
  for (const Case& c : cases) {
    const TempDir dir;
    testing_support::Run run;
    run.program = c.program;
    run.args = c.args;
    run.dir = dir.str();
    const auto r = testing_support::run(run);
    const std::string what = std::string(c.program) + " " + c.args[0];
    EXPECT_EQ(r.exit_status, c.status) << what;
    EXPECT_EQ(c.whole ? r.out : r.out.substr(0, c.out.size()), c.out) << what;
    EXPECT_EQ(r.out.empty(), c.out.empty()) << what;
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(names_in(dir.str()).empty()) << what;
  }
}

}  // namespace
