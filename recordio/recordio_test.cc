#include "recordio/recordio.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "internal.h"
#include "recordio/testing.h"
#include "run/picture_file.h"
#include "run/replace_file.h"
#include "tests/process.h"

namespace {

using recordio::Item;
using testing_support::Outcome;
using testing_support::read_file;
using testing_support::run_child;

// Each test runs in a fresh directory, where the units' fort.N files land.
class RecordIo : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(chdir(dir_.c_str()), 0); }
  // The records written to `unit` so far, the unit closed.
  static std::string file_of(int unit) {
    recordio::close(unit);
    return read_file("fort." + std::to_string(unit));
  }
  // Runs main_program as a whole program (handlers installed) in a child.
  Outcome program(void (*main_program)(), const std::string& input = "") const {
    return run_child(
        [main_program] {
          char name[] = "prog";
          char* argv[] = {name, nullptr};
          recordio::run(1, argv, main_program);
        },
        input, dir_);
  }
  const testing_support::TempDir tmp_;
  const std::string dir_ = tmp_.str();
};

TEST_F(RecordIo, ListWriteItemTexts) {
  recordio::write_list(30, {"Initial E0 is ", 5.0f});
  recordio::write_list(30, {12, -7});
  recordio::write_list(30, {1.5f, -0.25f, 100.0f, 1e10f});
  recordio::write_list(30, {0.1f, 7.22e-21f, 0.0f, 1.0E38f});
  recordio::write_list(30, {"Chi^2 is ", 3.14159265f});
  recordio::write_list(30, {0.1, 806.554});  // DOUBLE: its own nine digits
  recordio::write_list(30, {123456788.5, 123456789.5});  // ties to the even digit
  recordio::write_list(30, {" "});
  recordio::write_list(30, {"x  ", 1});  // trailing blanks of a text are kept
  EXPECT_EQ(file_of(30),
            " Initial E0 is   5.\n"
            " 12 -7\n"
            "  1.5 -0.25  100.  1.E+10\n"
            "  0.100000001  7.21999993E-21  0.  9.99999968E+37\n"
            " Chi^2 is   3.14159274\n"
            "  0.1  806.554\n"
            "  123456788.  123456790.\n"
            "  \n"
            " x   1\n");
}

TEST_F(RecordIo, ListWriteNonFiniteValuesAreReadable) {
  const float inf = std::numeric_limits<float>::infinity();
  recordio::write_list(30, {inf, -inf, std::nanf("")});
  EXPECT_EQ(file_of(30), "  Infinity -Infinity  NaN\n");
}

TEST_F(RecordIo, ListWriteEndsRecordsBeforeColumn80) {
  // Six items of 15 columns: the sixth would reach column 80.
  recordio::write_list(30, {1.23456789f, 1.23456789f, 1.23456789f, 1.23456789f,
                            1.23456789f, 1.23456789f});
  const std::string item = "  1.23456788";
  EXPECT_EQ(file_of(30), item + item + item + item + item + item + "\n");
  std::string line(70, 'a');
  recordio::write_list(31, {std::string_view(line), "123456789", "b"});
  EXPECT_EQ(file_of(31), " " + line + "\n 123456789b\n");
}

TEST_F(RecordIo, ListWriteIntoCharacterVariable) {
  recordio::Character<20> text;
  recordio::write_list(text.span(), {0.2f});
  EXPECT_EQ(text.view(), "  0.200000003       ");
  recordio::write_list(text.span(), {1.0E38f});
  EXPECT_EQ(text.view(), "  9.99999968E+37    ");
  recordio::write_list(text.span(), {0.0f});
  EXPECT_EQ(text.view(), "  0.                ");
}

TEST_F(RecordIo, ListWritePastCharacterVariableIsFatal) {
  Outcome r = program(+[] {
    recordio::Character<10> text;
    recordio::write_list(text.span(), {"abc", 1.0E38f});
  });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.err,
            "recend: off end of record\n"
            "apparent state: internal I/O\n"
            "lately writing sequential formatted internal IO\n");
}

TEST_F(RecordIo, ListReadTakesWhatItNeedsAndSkipsTheRest) {
  testing_support::write_file("fort.40", "1 2\n3 4\n\n\t5,6 , 7\n8\n");
  float a = 0, b = 0, c = 0;
  recordio::read_list(40, {&a, &b, &c});
  EXPECT_EQ(a, 1.0f);
  EXPECT_EQ(b, 2.0f);
  EXPECT_EQ(c, 3.0f);  // the 4 is discarded with its record
  std::int32_t i = 0;
  double d = 0;
  recordio::read_list(40, {&i, &d, &a});  // the empty record is passed over
  EXPECT_EQ(i, 5);
  EXPECT_EQ(d, 6.0);
  EXPECT_EQ(a, 7.0f);
  EXPECT_TRUE(recordio::read_list_or_end(40, {&a}));
  EXPECT_EQ(a, 8.0f);
  EXPECT_FALSE(recordio::read_list_or_end(40, {&a}));
  EXPECT_EQ(a, 8.0f);
  recordio::close(40);
}

TEST_F(RecordIo, ListReadNullsRepeatsAndSlash) {
  testing_support::write_file("fort.41", "1,,3\n2*4.5 3*\n9 / 10\n1.5d2 2q-1 -3E+1 .5\n");
  float a = -1, b = -1, c = -1, d = -1, e = -1;
  recordio::read_list(41, {&a, &b, &c});
  EXPECT_EQ(a, 1.0f);
  EXPECT_EQ(b, -1.0f);  // a null leaves the variable as it was
  EXPECT_EQ(c, 3.0f);
  a = b = c = -1;
  recordio::read_list(41, {&a, &b, &c, &d, &e});
  EXPECT_EQ(a, 4.5f);
  EXPECT_EQ(b, 4.5f);
  EXPECT_EQ(c, -1.0f);
  EXPECT_EQ(e, -1.0f);
  a = b = -1;
  recordio::read_list(41, {&a, &b});  // the slash ends the statement
  EXPECT_EQ(a, 9.0f);
  EXPECT_EQ(b, -1.0f);
  recordio::read_list(41, {&a, &b, &c, &d});
  EXPECT_EQ(a, 150.0f);
  EXPECT_EQ(b, 0.2f);
  EXPECT_EQ(c, -30.0f);
  EXPECT_EQ(d, 0.5f);
  recordio::close(41);
}

TEST_F(RecordIo, ListReadCharacterValues) {
  testing_support::write_file("fort.42",
                              "'R V+0 ' \"it\"\"s\" 'don''t'\nB0 verylongname, Q\n");
  recordio::Character<6> label;
  recordio::Character<4> it, dont, b0, longname, q;
  recordio::read_list(42, {label.span(), it.span(), dont.span()});
  EXPECT_EQ(label.view(), "R V+0 ");
  EXPECT_EQ(it.view(), "it\"s");
  EXPECT_EQ(dont.view(), "don'");
  recordio::read_list(42, {b0.span(), longname.span(), q.span()});
  EXPECT_EQ(b0.view(), "B0  ");
  EXPECT_EQ(longname.view(), "very");
  EXPECT_EQ(q.view(), "Q   ");
  recordio::close(42);
}

TEST_F(RecordIo, FormattedReadTakesTheWholeRecord) {
  testing_support::write_file("fort.43", "  lab data.txt  \nshort\r\n");
  recordio::Character<12> name;
  recordio::read_formatted(43, "(a)", name.span());
  EXPECT_EQ(name.view(), "  lab data.t");
  recordio::read_formatted(43, "(a)", name.span());
  EXPECT_EQ(name.view(), "short       ");
  recordio::close(43);
}

// The fatal report of a bad read from standard input, with the line the
// read failed at: the record of the bad item, or the one after the last
// record when the end was met.
struct BadRead {
  const char* input;
  void (*read)();
  const char* report;
  int line;
};

TEST_F(RecordIo, BadListInputIsFatalWithTheReport) {
  const BadRead cases[] = {
      {"1.5\n", +[] { std::int32_t i; recordio::read_list(5, {&i}); },
       "list read: invalid number\n", 1},
      {"abc\n", +[] { float x; recordio::read_list(5, {&x}); },
       "list read: incomprehensible list input\n", 1},
      {"1.0e\n", +[] { float x; recordio::read_list(5, {&x}); },
       "list read: exponent field\n", 1},
      {"1.0\n", +[] { float x, y; recordio::read_list(5, {&x, &y}); },
       "list read: end of file\n", 2},
      {"0*3\n", +[] { float x; recordio::read_list(5, {&x}); },
       "list read: bad repetition count\n", 1},
      // A statement over several records, after an earlier statement.
      {"1 9\n\n2\n3 x\n",
       +[] {
         float x, y, z;
         recordio::read_list(5, {&x});
         recordio::read_list(5, {&x, &y, &z});
       },
       "list read: incomprehensible list input\n", 4},
      {"", +[] { float x; recordio::read_list(5, {&x}); }, "list read: end of file\n", 1},
      // A read error is not an end of the input: the line it met it on.
      {"1 2\n3 4\n",
       +[] {
         float x, y;
         recordio::fail_reads("standard input", 4, EIO);
         recordio::read_list(5, {&x, &y});
         static_cast<void>(recordio::read_list_or_end(5, {&x, &y}));
       },
       "list read: Input/output error\n", 2},
  };
  for (const BadRead& c : cases) {
    Outcome r = program(c.read, c.input);
    EXPECT_EQ(r.signal, SIGABRT) << c.input;
    EXPECT_EQ(r.err, std::string(c.report) +
                         "apparent state: unit 5 (unnamed)\n"
                         "lately reading sequential formatted external IO\n"
                         "at line " + std::to_string(c.line) + " of standard input\n")
        << c.input;
  }
}

TEST_F(RecordIo, FatalReadOfANamedFileNamesItsLine) {
  testing_support::write_file("my_lab.dat", "1 2\n3 y\n");
  Outcome bad = program(+[] {
    recordio::open_old(20, "my_lab.dat");
    float x, y;
    recordio::read_list(20, {&x, &y});
    recordio::read_list(20, {&x, &y});
  });
  EXPECT_EQ(bad.err,
            "list read: incomprehensible list input\n"
            "apparent state: unit 20 named my_lab.dat\n"
            "lately reading sequential formatted external IO\n"
            "at line 2 of my_lab.dat\n");
  Outcome ended = program(+[] {
    recordio::open_old(20, "my_lab.dat");
    recordio::Character<8> name;
    for (int i = 0; i < 3; ++i) recordio::read_formatted(20, "(a)", name.span());
  });
  EXPECT_EQ(ended.err,
            "formatted read: end of file\n"
            "apparent state: unit 20 named my_lab.dat\n"
            "last format: (a)\n"
            "lately reading sequential formatted external IO\n"
            "at line 3 of my_lab.dat\n");
}

// Reads pairs from standard input to its end.
void pairs(recordio::Layout layout, recordio::Commas commas = recordio::Commas::warn) {
  float x, y;
  while (recordio::read_list_or_end(5, {&x, &y}, layout, commas)) {}
}

// What a read says besides its values: the layout warning (once per unit,
// the first line at fault) and the refusal of an overlong line.
TEST_F(RecordIo, ListReadWarnsOfValuesOutOfLayoutAndRefusesLongLines) {
  using recordio::Commas;
  using recordio::Layout;
  struct Said {
    std::string input;
    void (*read)();
    int status;
    std::string err;
  };
  const std::string why = "; is there a decimal comma or a header line?\n";
  const std::string extra = "the line holds more numbers than were read from it";
  const std::string spread = "one read took its values from more than one line";
  const Said cases[] = {
      {"1 2\n\n3 4\n", +[] { pairs(Layout::one_line); }, 0, ""},
      {"1 2\n3,5 4\n6,5 7\n", +[] { pairs(Layout::no_extra); }, 0,
       "prog: standard input: line 2: " + extra + why},
      {"2\n1 2\n3 4\n", +[] { pairs(Layout::one_line); }, 0,
       "prog: standard input: line 1: " + spread + why},
      {"1\n2\n", +[] { pairs(Layout::no_extra); }, 0, ""},  // spread, but allowed
      {"1 2 3\n", +[] { pairs(Layout::free); }, 0, ""},
      {"1 2 / 3\n", +[] { pairs(Layout::no_extra); }, 0, ""},
      {"1 2 note\n", +[] { pairs(Layout::no_extra); }, 0, ""},
      {"1 2 3*4\n", +[] { pairs(Layout::no_extra); }, 0,
       "prog: standard input: line 1: " + extra + why},
      {"1 " + std::string((1 << 20) - 2, '7') + "\n", +[] { pairs(Layout::no_extra); }, 0, ""},
      {"1 2\n3 " + std::string(1 << 20, '7') + "\n",
       +[] { pairs(Layout::free); }, 1,
       "prog: standard input: line 2: longer than 1048576 characters\n"},
      // A likely decimal comma beside numbers left over: refused when asked.
      {"1 2\n3,5 4\n", +[] { pairs(Layout::no_extra, Commas::refuse); }, 1,
       "prog: standard input: line 2: '3,5' looks like a decimal comma; write 3.5\n"},
      {"1 2\n3 -4,5e-3 6\n", +[] { pairs(Layout::one_line, Commas::refuse); }, 1,
       "prog: standard input: line 2: '-4,5e-3' looks like a decimal comma; write -4.5e-3\n"},
      {"1\n2,5 6\n", +[] { pairs(Layout::no_extra, Commas::refuse); }, 1,
       "prog: standard input: line 2: '2,5' looks like a decimal comma; write 2.5\n"},
      // Commas as separators: nothing left over, a number with a point or
      // an exponent before the comma, more than one comma, a comma inside
      // quotes.
      {"1,0\n3,5\n", +[] { pairs(Layout::no_extra, Commas::refuse); }, 0, ""},
      {"1.5,2,3\n", +[] { pairs(Layout::no_extra, Commas::refuse); }, 0,
       "prog: standard input: line 1: " + extra + why},
      {"7e-21,2 3\n", +[] { pairs(Layout::no_extra, Commas::refuse); }, 0,
       "prog: standard input: line 1: " + extra + why},
      {"1,2,3\n", +[] { pairs(Layout::no_extra, Commas::refuse); }, 0,
       "prog: standard input: line 1: " + extra + why},
      {"1 2 '3,5' 4\n", +[] { pairs(Layout::no_extra, Commas::refuse); }, 0,
       "prog: standard input: line 1: " + extra + why},
  };
  for (const Said& c : cases) {
    Outcome r = program(c.read, c.input);
    EXPECT_EQ(r.exit_status, c.status) << c.input.substr(0, 20);
    EXPECT_EQ(r.err, c.err) << c.input.substr(0, 20);
  }
}

// A record that cannot be written is said once, with its number; the file
// keeps whole records only, the other units go on, and the status is 1.
TEST(RecordIoWrites, FailuresAreSaidOnceAndTheRunGoesOn) {
  struct Case {
    const char* name;
    void (*setup)();  // in the child, before the program runs
    long fsize_limit;
    std::string output_file;
    std::string err;
    std::size_t kept;  // records of fort.7 on disk
  };
  const std::string nobody = "prog: cannot write fort.7: Permission denied (record 1)\n"
                             "prog: cannot write fort.8: Permission denied (record 1)\n";
  const Case cases[] = {
      {"file size limit", nullptr, 200, "",
       "prog: cannot write fort.7: File too large (record 10)\n", 9},
      {"full device", +[] { static_cast<void>(symlink("/dev/full", "fort.7")); }, 0, "",
       "prog: cannot write fort.7: No space left on device (record 1)\n", 0},
      {"directory in the way", +[] { mkdir("fort.7", 0755); }, 0, "",
       "prog: cannot write fort.7: Is a directory (record 1)\n", 0},
      {"read-only folder",
       +[] {
         chmod(".", 0555);
         if (geteuid() == 0 && setuid(65534) != 0) _exit(3);  // root writes anywhere
       },
       0, "", nobody, 0},
      {"standard output full", nullptr, 0, "/dev/full",
       "prog: cannot write standard output: No space left on device (record 1)\n", 50},
  };
  for (const Case& c : cases) {
    const testing_support::TempDir dir;
    testing_support::Run run;
    run.dir = dir.str();
    run.fsize_limit = c.fsize_limit;
    run.output_file = c.output_file;
    run.body = [&c] {
      if (c.setup != nullptr) c.setup();
      char name[] = "prog";
      char* argv[] = {name, nullptr};
      std::exit(recordio::run(1, argv, [] {
        for (int i = 0; i < 50; ++i) recordio::write_list(7, {"0123456789012345678"});
        recordio::write_list(8, {"after"});
        recordio::write_list(6, {"done"});
      }));
    };
    const Outcome r = testing_support::run(run);
    chmod(dir.str().c_str(), 0755);
    EXPECT_EQ(r.exit_status, 1) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    std::string kept;
    for (std::size_t i = 0; i < c.kept; ++i) kept += " 0123456789012345678\n";
    if (c.kept > 0) {
      EXPECT_EQ(read_file(dir.str() + "/fort.7"), kept) << c.name;
    }
    if (c.err != nobody) {
      EXPECT_EQ(read_file(dir.str() + "/fort.8"), " after\n") << c.name;
    }
  }
}

TEST_F(RecordIo, OpenOldFailuresAreFatal) {
  Outcome missing = program(+[] {
    recordio::write_list(6, {"x"});
    recordio::open_old(20, "no such file   ");
  });
  EXPECT_EQ(missing.signal, SIGABRT);
  EXPECT_EQ(missing.err,
            "open: No such file or directory\n"
            "apparent state: unit 20 named no such file\n"
            "lately writing sequential formatted external IO\n");
  Outcome blank = program(+[] { recordio::open_old(20, "    "); });
  EXPECT_EQ(blank.signal, SIGABRT);
  EXPECT_EQ(blank.err.substr(0, blank.err.find('\n')), "open: null file name");
}

TEST_F(RecordIo, OpenOldReadsTheNamedFileAndUnitsAreReusable) {
  testing_support::write_file("lab file", "1 2\n");
  recordio::open_old(20, "lab file   ");
  float x = 0, y = 0;
  recordio::read_list(20, {&x, &y});
  recordio::close(20);
  EXPECT_EQ(y, 2.0f);
  recordio::open_old(20, "lab file");
  recordio::read_list(20, {&x});
  recordio::close(20);
  EXPECT_EQ(x, 1.0f);
}

TEST_F(RecordIo, FormattedFields) {
  using recordio::detail::exp_field;
  using recordio::detail::fixed_field;
  using recordio::detail::int_field;
  EXPECT_EQ(exp_field(12.345678, 14, 7, 0, 'E'), " 0.1234568E+02");
  EXPECT_EQ(exp_field(-12.3, 8, 2, 0, 'E'), "-.12E+02");
  EXPECT_EQ(exp_field(-12.3, 9, 2, 0, 'E'), "-0.12E+02");
  EXPECT_EQ(exp_field(0.0, 12, 6, 0, 'E'), "0.000000E+00");
  EXPECT_EQ(exp_field(1.5e-120, 12, 5, 0, 'E'), " 0.15000-119");
  EXPECT_EQ(exp_field(9.9999, 8, 2, 0, 'E'), "0.10E+02");
  EXPECT_EQ(exp_field(1.0, 6, 2, 0, 'E'), "******");
  EXPECT_EQ(exp_field(INFINITY, 8, 2, 0, 'E'), "********");
  // Digit counts beyond any fixed print buffer (found by fuzzing: e90.80 read
  // past the end of a cut-off text).
  EXPECT_EQ(exp_field(1.0, 90, 80, 0, 'E'), "    0.1" + std::string(79, '0') + "E+01");
  EXPECT_EQ(fixed_field(1e22, 500, 470),
            "      1" + std::string(22, '0') + "." + std::string(470, '0'));
  EXPECT_EQ(fixed_field(3.14159, 10, 4), "    3.1416");
  EXPECT_EQ(fixed_field(0.25, 6, 3), " 0.250");
  EXPECT_EQ(fixed_field(-0.25, 6, 3), "-0.250");
  EXPECT_EQ(fixed_field(-0.25, 5, 3), "-.250");  // the "0" goes when short of room
  EXPECT_EQ(fixed_field(-0.0001, 6, 3), " 0.000");  // no minus on all zeros
  EXPECT_EQ(fixed_field(100.0, 6, 3), "******");
  EXPECT_EQ(fixed_field(1.0, 3, 1), "1.0");
  EXPECT_EQ(fixed_field(NAN, 7, 3), "*******");
  // Exact binary ties round to the even digit, as printf rounds them; F4.0
  // keeps the point; a subnormal takes three exponent digits.
  EXPECT_EQ(fixed_field(0.125, 8, 2), "    0.12");
  EXPECT_EQ(fixed_field(-2.5, 4, 0), " -2.");
  EXPECT_EQ(exp_field(0.375, 10, 2, 0, 'E'), "  0.38E+00");
  EXPECT_EQ(exp_field(-1e-320, 12, 1, 3, 'D'), "   -0.1D-319");
  EXPECT_EQ(int_field(12, 4, -1), "  12");
  EXPECT_EQ(int_field(-12, 3, -1), "-12");
  EXPECT_EQ(int_field(1234, 3, -1), "***");
}

TEST_F(RecordIo, FormattedWriteRecords) {
  recordio::write_formatted(26, "(/////////////)");
  EXPECT_EQ(file_of(26), std::string(14, '\n'));
  recordio::write_formatted(26, "('a',//,'b')");
  EXPECT_EQ(file_of(26), "a\n\nb\n");
  recordio::write_formatted(26, "(2x,a6,8x,i2,6x,f10.4,3x,f10.4,3x,f7.3,5x,f3.1)",
                            {"R V+0 ", 3, 2143.2711, 2143.2689, -0.0022, 1.0});
  EXPECT_EQ(file_of(26), "  R V+0          3       2143.2711    2143.2689    -0.002     1.0\n");
  recordio::write_formatted(26, "('1FAILURE IN ORTHO: CHECK=',f5.1)", {-5.0});
  EXPECT_EQ(file_of(26), "1FAILURE IN ORTHO: CHECK= -5.0\n");
  recordio::write_formatted(26, "(' ',15x,1a10,3x,e14.7,/)", {"B0        ", 1.9225});
  EXPECT_EQ(file_of(26), "                B0            0.1922500E+01\n\n");
  // Aw cuts a longer value and right-justifies a shorter one; A takes it whole.
  recordio::write_formatted(26, "(1a5,'|',a8,'|',a)", {"B0xyzw", "ab", "it's"});
  EXPECT_EQ(file_of(26), "B0xyz|      ab|it's\n");
  recordio::write_formatted(26, "('it''s ',i1,\"x\")", {7});
  EXPECT_EQ(file_of(26), "it's 7x\n");
}

TEST_F(RecordIo, FormattedWriteStopsAndRescans) {
  // Items run out: the statement ends at the next data descriptor or colon.
  recordio::write_formatted(26, "(' ',1a5,1x,20(f6.3,1x,:))", {"B0   ", 1.0, -0.5});
  EXPECT_EQ(file_of(26), " B0     1.000 -0.500 \n");
  recordio::write_formatted(26, "(i2,' and ',i2,' end')", {1});
  EXPECT_EQ(file_of(26), " 1 and \n");
  // 22 values: a continuation record begins directly with value 21.
  std::vector<Item> row{std::string_view("D0        ")};
  for (int k = 1; k <= 22; ++k) row.emplace_back(k == 21 ? -1.5 : 0.5);
  recordio::write_formatted(26, "(' ',1a5,1x,20(e8.2,1x,:))", row);
  std::string first = " D0    ";
  for (int k = 0; k < 20; ++k) first += "0.50E+00 ";
  EXPECT_EQ(file_of(26), first + "\n-.15E+01 0.50E+00 \n");
  // Without a group the whole FORMAT is used again.
  recordio::write_formatted(26, "(i3)", {1, 2, 3});
  EXPECT_EQ(file_of(26), "  1\n  2\n  3\n");
}

TEST_F(RecordIo, MalformedFormatIsFatal) {
  Outcome r = program(+[] { recordio::write_formatted(6, "(i3,q)", {1}); });
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.err,
            "formatted write: error in format\n"
            "apparent state: unit 6 (unnamed)\n"
            "last format: (i3,q)\n"
            "lately writing sequential formatted external IO\n");
  Outcome no_descriptor = program(+[] { recordio::write_formatted(6, "('x')", {1}); });
  EXPECT_EQ(no_descriptor.signal, SIGABRT);
  // Nested repeat counts that would write 10^15 records end at a bound.
  Outcome endless = program(+[] { recordio::write_formatted(6, "(100000(100000(100000/)))"); });
  EXPECT_EQ(endless.signal, SIGABRT);
  EXPECT_EQ(endless.err.substr(0, endless.err.find('\n')),
            "formatted write: out of free space");
  const auto records = std::count(endless.out.begin(), endless.out.end(), '\n');
  EXPECT_GT(records, 100000);
  EXPECT_LE(records, 200000);
}

TEST_F(RecordIo, StopAndProgramEnd) {
  Outcome stop = program(+[] {
    recordio::write_list(7, {1});
    recordio::stop("here");
  });
  EXPECT_EQ(stop.exit_status, 0);
  EXPECT_EQ(stop.err, "STOP here statement executed\n");
  EXPECT_EQ(read_file(dir_ + "/fort.7"), " 1\n");
  Outcome quiet = program(+[] { recordio::stop(); });
  EXPECT_EQ(quiet.exit_status, 0);
  EXPECT_EQ(quiet.err, "");
  Outcome fail = program(+[] { recordio::fail("lab.dat: too few points"); });
  EXPECT_EQ(fail.exit_status, 1);
  EXPECT_EQ(fail.err, "prog: lab.dat: too few points\n");
}

TEST_F(RecordIo, SignalsReportAndEnd) {
  // Ending signals: whole records already written survive in the files.
  Outcome interrupt = program(+[] {
    recordio::write_list(7, {2.5f});
    raise(SIGINT);
  });
  EXPECT_EQ(interrupt.exit_status, 1);
  EXPECT_EQ(interrupt.err, "Interrupt\n");
  EXPECT_EQ(read_file(dir_ + "/fort.7"), "  2.5\n");
  Outcome killed = program(+[] { raise(SIGTERM); });
  EXPECT_EQ(killed.exit_status, 1);
  EXPECT_EQ(killed.err, "Killed\n");
  Outcome hangup = program(+[] { raise(SIGHUP); });
  EXPECT_EQ(hangup.exit_status, 1);
  EXPECT_EQ(hangup.err, "Hangup\n");
  // The handler only notes the signal: the run ends at the next record,
  // and takes its temporary files with it.
  Outcome noted = program(+[] {
    recordio::ReplaceFile file("out.txt");
    std::fputs("part\n", file.stream());
    raise(SIGINT);
    recordio::write_list(6, {"last"});
    recordio::write_list(6, {"never"});
  });
  EXPECT_EQ(noted.exit_status, 1);
  EXPECT_EQ(noted.out, " last\n");
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".labsuite.")) << entry.path();
  }
  Outcome fpe = program(+[] { raise(SIGFPE); });
  EXPECT_EQ(fpe.signal, SIGABRT);
  EXPECT_EQ(fpe.err, "Floating Exception\n");
  Outcome quit = program(+[] { raise(SIGQUIT); });
  EXPECT_EQ(quit.err, "Quit signal\n");
  Outcome trap = program(+[] { raise(SIGTRAP); });
  EXPECT_EQ(trap.err, "Trace trap\n");
  Outcome iot = program(+[] { raise(SIGABRT); });
  EXPECT_EQ(iot.err, "IOT Trap\n");
  // An interrupt ignored at start stays ignored.
  Outcome ignored = run_child([] {
    signal(SIGINT, SIG_IGN);
    char name[] = "prog";
    char* argv[] = {name, nullptr};
    recordio::run(1, argv, +[] {
      raise(SIGINT);
      recordio::write_list(6, {"still here"});
    });
  });
  EXPECT_EQ(ignored.exit_status, 0);
  EXPECT_EQ(ignored.out, " still here\n");
}

// Signals at a moment the test chooses: while a read waits for input, and
// while records are being written (SIGQUIT neither repeats nor fuses one).
TEST_F(RecordIo, SignalsDuringAWaitingReadOrAStreamOfRecords) {
  testing_support::Run waiting;
  waiting.terminal = true;  // input that never comes
  waiting.send_when = " waiting\n";
  waiting.send = SIGHUP;
  waiting.body = [] {
    char name[] = "prog";
    char* argv[] = {name, nullptr};
    recordio::run(1, argv, +[] {
      recordio::write_list(6, {"waiting"});
      float x;
      recordio::read_list(5, {&x});
    });
  };
  const Outcome hung = testing_support::run(waiting);
  EXPECT_EQ(hung.exit_status, 1);
  EXPECT_EQ(hung.err, "Hangup\n");

  testing_support::Run writing;
  writing.dir = dir_;
  writing.send_when = " many\n";
  writing.send = SIGQUIT;
  writing.body = [] {
    char name[] = "prog";
    char* argv[] = {name, nullptr};
    recordio::run(1, argv, +[] {
      for (std::int32_t i = 1;; ++i) {
        recordio::write_list(7, {i, "0123456789"});
        if (i == 2000) recordio::write_list(6, {"many"});
      }
    });
  };
  const Outcome quit = testing_support::run(writing);
  EXPECT_EQ(quit.signal, SIGABRT);
  EXPECT_EQ(quit.err, "Quit signal\n");
  const std::string log = read_file(dir_ + "/fort.7");
  std::size_t n = 0;
  for (std::size_t at = 0; at < log.size(); ++n) {
    const std::size_t end = log.find('\n', at);
    ASSERT_NE(end, std::string::npos) << "record " << n + 1 << " cut";
    ASSERT_EQ(log.substr(at, end - at), " " + std::to_string(n + 1) + "0123456789");
    at = end + 1;
  }
  EXPECT_GE(n, 2000u);
}

TEST_F(RecordIo, PauseWithoutTerminalWaitsForSignal15) {
  // The test runner sends the signal once the request is out.
  Outcome r = program(+[] {
    recordio::write_list(6, {static_cast<std::int32_t>(getpid())});
    recordio::pause("ITMAX exceeded in amoeba");
    recordio::write_list(6, {"after"});
  });
  EXPECT_EQ(r.exit_status, 0);
  const std::string pid = r.out.substr(1, r.out.find('\n') - 1);
  EXPECT_EQ(r.out, " " + pid + "\n after\n");
  EXPECT_EQ(r.err,
            "PAUSE  ITMAX exceeded in amoeba statement executed\n"
            "To resume execution, execute a   kill -15 " + pid + "   command\n"
            "Execution resumes after PAUSE.\n");
}

// Runs a PAUSE with a terminal on standard input, typing `typed` into it.
Outcome pause_on_terminal(const std::string& typed) {
  testing_support::Run run;
  run.terminal = true;
  run.input = typed;
  run.body = [] {
    char name[] = "prog";
    char* argv[] = {name, nullptr};
    recordio::run(1, argv, +[] {
      recordio::pause("");
      recordio::write_list(6, {"resumed"});
    });
  };
  return testing_support::run(run);
}

// The test runner's time limit: a PAUSE nobody answers is killed and fails
// the test instead of hanging it.
TEST(Pause, UnansweredIsKilledAtTheTimeLimit) {
  testing_support::Run run;
  run.body = [] {
    char name[] = "prog";
    char* argv[] = {name, nullptr};
    recordio::run(1, argv, +[] { recordio::pause("forever"); });
  };
  run.resumes = 0;
  run.end_signal = 0;  // the request is left unanswered
  run.limit = std::chrono::seconds(1);
  Outcome r;
  EXPECT_NONFATAL_FAILURE(r = testing_support::run(run), "still running after 1 s, killed");
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.signal, SIGKILL);
  EXPECT_EQ(r.pauses, 1);
}

TEST(Pause, OnTerminalGoResumesAndAnythingElseStops) {
  const std::string head =
      "PAUSE  statement executed\n"
      "To resume execution, type go.  Other input will terminate the job.\n";
  Outcome go = pause_on_terminal("go\n");
  EXPECT_EQ(go.exit_status, 0);
  EXPECT_EQ(go.err, head + "Execution resumes after PAUSE.\n");
  EXPECT_EQ(go.out, " resumed\n");
  Outcome other = pause_on_terminal("gone\n");
  EXPECT_EQ(other.exit_status, 0);
  EXPECT_EQ(other.err, head + "STOP\n");
  EXPECT_EQ(other.out, "");
}

}  // namespace

// A replaced file is its earlier self or complete; no temporary outlives it.
TEST_F(RecordIo, ReplaceFileCommitsWholeOrLeavesTheTargetAlone) {
  const std::string target = dir_ + "/out.txt";
  {
    recordio::ReplaceFile file(target);
    ASSERT_TRUE(file.ok()) << file.error();
    std::fputs("first\n", file.stream());
    EXPECT_TRUE(file.commit());
  }
  struct stat made {};
  ASSERT_EQ(stat(target.c_str(), &made), 0);
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(made.st_mode & 0777, 0666 & ~mask);  // a new file's mode, not the temporary's 0600
  {
    recordio::ReplaceFile file(target);
    std::fputs("dropped\n", file.stream());
  }  // never committed: the temporary goes, the target stays
  EXPECT_EQ(read_file(target), "first\n");
  EXPECT_EQ(testing_support::run_child(
                [&] {
                  recordio::ReplaceFile file(target);
                  std::fputs("cut\n", file.stream());
                  recordio::fail("ended early");
                },
                "", dir_)
                .exit_status,
            1);
  EXPECT_EQ(read_file(target), "first\n");
  // An output that cannot be written makes the run's status 1 through run().
  const Outcome failed = run_child(
      [&] {
        char name[] = "prog";
        char* argv[] = {name, nullptr};
        std::exit(recordio::run(1, argv, [&] {
          recordio::ReplaceFile file(dir_ + "/missing/x.txt");
          EXPECT_FALSE(file.ok());
          recordio::cannot_write("x.txt", file.error());
        }));
      },
      "", dir_);
  EXPECT_EQ(failed.exit_status, 1);
  EXPECT_EQ(failed.err, "prog: cannot write x.txt: No such file or directory\n");
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    names.push_back(entry.path().filename());
  }
  EXPECT_EQ(names, std::vector<std::string>{"out.txt"});
}

// A picture is whole when it begins and ends as its kind of file does.
TEST(PictureFile, KnowsAWholePicture) {
  const std::string png_end("\0\0\0\0IEND\xae\x42\x60\x82", 12);
  const std::string png = "\x89PNG\r\n\x1a\n" + std::string(40, 'x') + png_end;
  struct Case {
    const char* type;
    std::string content;
    bool whole;
  };
  for (const Case& c : {Case{"png", png, true}, Case{"png", png.substr(0, png.size() - 1), false},
                        Case{"png", "", false}, Case{"png", "GIF89a" + png_end, false},
                        Case{"pdf", "%PDF-1.5\n...\n%%EOF\n", true},
                        Case{"pdf", "%PDF-1.5\n...\nstartxref\n45", false},
                        Case{"svg", "<?xml?>\n<svg>\n</svg>\n", true},
                        Case{"svg", "<?xml?>\n<svg>\n</g>\n", false},
                        Case{"ps", "%!PS-Adobe-3.0\nshowpage\n%%Trailer\n%%EOF\n", true},
                        Case{"ps", "%!PS-Adobe-3.0\nshowpage\n", false}}) {
    EXPECT_EQ(recordio::picture_fault(c.type, c.content).empty(), c.whole)
        << c.type << " " << c.content.size() << " bytes";
  }
}
