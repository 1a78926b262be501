#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "momfit/blocks.h"
#include "momfit/loaders.h"
#include "tests/process.h"

namespace {

using namespace testing_support;  // the test helpers: run_in, read_file, ...

// The answers to the dialogue, one per line, in the order of the prompts.
std::string answers(const std::string& e0, const std::string& w1, const std::string& beta,
                    const std::string& file, const std::string& e0c, const std::string& w1c,
                    const std::string& betac, const std::string& tol) {
  return e0 + "\n" + w1 + "\n" + beta + "\n" + file + "\n" + e0c + "\n" + w1c + "\n" + betac +
         "\n" + tol + "\n";
}

// A directory holding the demo data: demo_lab.dat and newintrin_red, made
// at W1 = 1 eV, beta = 0.5, E0 = 1422 eV, with noise or without.
TempDir demo_dir(bool noisy = true) {
  TempDir dir;
  Run run;
  run.program = DEMO_DATA_PATH;
  if (!noisy) run.args = {"--no-noise"};
  run.dir = dir.str();
  Outcome made = testing_support::run(run);
  EXPECT_EQ(made.exit_status, 0) << made.err;
  return dir;
}

// Runs momfit without an X display: the fit goes on without its window.
Outcome momfit_in(const std::string& dir, const std::string& input) {
  unsetenv("DISPLAY");
  return run_in(dir, MOMFIT_PATH, input);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The number after `label` on the last line of `out` that begins with it.
double last_value(const std::string& out, const std::string& label) {
  double v = 0;
  for (const std::string& line : lines_of(out)) {
    if (line.rfind(label, 0) == 0) v = std::stod(line.substr(label.size()));
  }
  return v;
}

class Loaders : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.c_str()), 0);
  }
  const TempDir tmp_;
  const std::string dir_ = tmp_.str();
  momfit::FitState s_;
};

TEST_F(Loaders, LabPairsAreReadListDirected) {
  // An empty line is passed over, a comma separates like a blank, a third
  // number is skipped, and a last line with one number is no pair.
  write_file("lab", "1.0 -5\n\n2.0,-3\n3.0 -4 99\n4.0\n-2\n5.0\n");
  momfit::load_lab("lab    ", s_);
  EXPECT_EQ(s_.three.nlab, 4);
  EXPECT_EQ(s_.two.labmom(2), 2.0f);
  EXPECT_EQ(s_.two.labprob(2), -3.0f);
  EXPECT_EQ(s_.two.labmom(3), 3.0f);
  EXPECT_EQ(s_.two.labmom(4), 4.0f);  // completed from the next line
  EXPECT_EQ(s_.two.labprob(4), -2.0f);
  EXPECT_EQ(s_.two.probbase, -5.0f);
  EXPECT_EQ(s_.two.probmax, 0.0f);  // all negative: the start value stays
}

TEST_F(Loaders, CapacitiesStopTheReading) {
  std::string lab, prof;
  for (int i = 1; i <= 1200; ++i) lab += std::to_string(i) + " " + std::to_string(i % 7) + "\n";
  for (int k = 1; k <= 600; ++k) prof += std::to_string(k) + " 0.2 0.3\n";
  write_file("lab", lab);
  write_file("newintrin_red", prof);
  momfit::load_lab("lab", s_);
  momfit::load_profile("newintrin_red", s_);
  EXPECT_EQ(s_.three.nlab, 1000);
  EXPECT_EQ(s_.two.labmom(1000), 1000.0f);
  EXPECT_EQ(s_.two.probmax, 6.0f);
  EXPECT_EQ(s_.three.nprof, 500);
  EXPECT_EQ(s_.three.prof(2), 2.0f);  // first value of each line only
  EXPECT_EQ(s_.three.prof(501), 0.0f);
}

TEST(Momfit, DemoFitRecoversTheKnownParameters) {
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  Outcome r = momfit_in(dir, answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20",
                                     "1.0e-3"));
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::string dialogue =
      "  \n Please enter the E0 value (eV)\n  \n"
      " Please enter an initial guess at width 1 (eV)\n  \n  \n  \n"
      " Please enter the beta value\n  \n"
      " The instrumental profile filename is intrin4\n  \n"
      " Please enter the lab data filename\n  \n"
      " Please enter an initial change in E0 (%)\n  \n"
      " Please enter an initial change in W1 (%)\n  \n  \n"
      " Please enter an initial change in beta (%)\n  \n"
      " Please enter the tolerance level\n  \n"
      " Thanks.\n"
      " Initial E0 is   1420.\n"
      " Initial W1 is   0.800000012\n"
      " Initial beta is   0.300000012\n";
  ASSERT_EQ(r.out.substr(0, dialogue.size()), dialogue);
  const std::vector<std::string> rest = lines_of(r.out.substr(dialogue.size()));
  // Five evaluations, the first minimisation, the restart and five more.
  ASSERT_GE(rest.size(), 21u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(rest[i].rfind(" Chi^2 is ", 0), 0u) << rest[i];
  EXPECT_EQ(rest[5], "  ");
  EXPECT_EQ(rest[6], " Finished initializing, calling amoeba...");
  EXPECT_EQ(rest[7], "  ");
  EXPECT_EQ(rest[8], " Initializing again");
  EXPECT_EQ(rest[9], "  ");
  for (int i = 10; i < 15; ++i) EXPECT_EQ(rest[i].rfind(" Chi^2 is ", 0), 0u) << rest[i];
  EXPECT_EQ(rest[15], "  ");
  EXPECT_EQ(rest[16], " Finished initializing, calling amoeba...");
  EXPECT_EQ(rest[17], "  ");
  ASSERT_EQ(rest.size(), 23u);
  EXPECT_EQ(rest[18].rfind(" Best W1 is ", 0), 0u);
  EXPECT_EQ(rest[19].rfind(" Best W1 is ", 0), 0u);
  EXPECT_EQ(rest[20].rfind(" Best beta is ", 0), 0u);
  EXPECT_EQ(rest[21].rfind(" Best E0 is ", 0), 0u);
  EXPECT_EQ(rest[22], "  ");

  const double w1 = std::stod(rest[18].substr(12));
  EXPECT_NEAR(w1, 1.0, 0.05);
  EXPECT_NEAR(std::stod(rest[19].substr(12)), w1 * 8065.54, 0.01 * w1 * 8065.54);
  EXPECT_NEAR(last_value(r.out, " Best beta is "), 0.5, 0.05);
  EXPECT_NEAR(last_value(r.out, " Best E0 is "), 1422.0, 0.2);

  // One log record per evaluation; the last one holds the best point printed.
  const std::vector<std::string> log = lines_of(read_file(dir + "/fort.7"));
  ASSERT_GT(log.size(), 10u);
  std::istringstream last(log.back());
  float bw1, bw2, bbeta, be0, chi, best;
  last >> bw1 >> bw2 >> bbeta >> be0 >> chi >> best;
  EXPECT_FLOAT_EQ(bw1, static_cast<float>(w1));
  EXPECT_EQ(bw2, 0.0f);
  EXPECT_LE(best, chi);
  // The best chi-square never rises from one evaluation to the next.
  float previous = 1.0E38f;
  for (const std::string& record : log) {
    std::istringstream fields(record);
    float f[6];
    for (float& v : f) fields >> v;
    ASSERT_TRUE(fields) << record;
    EXPECT_LE(f[5], previous) << record;
    EXPECT_LE(f[5], f[4]) << record;
    previous = f[5];
  }
  // The closing PAUSE with its resume request, and nothing else of ours.
  EXPECT_NE(r.err.find("PAUSE  statement executed\n"), std::string::npos);
  EXPECT_NE(r.err.find("Execution resumes after PAUSE.\n"), std::string::npos);
}

TEST(Momfit, ExactDataGiveTheParametersBack) {
  const TempDir demo = demo_dir(false);
  const std::string& dir = demo.str();
  Outcome r = momfit_in(dir, answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20",
                                     "1.0e-3"));
  ASSERT_EQ(r.exit_status, 0) << r.err;
  const std::vector<std::string> lines = lines_of(r.out);
  EXPECT_NEAR(std::stod(lines[lines.size() - 5].substr(12)), 1.0, 0.001);  // first "Best W1"
  EXPECT_NEAR(last_value(r.out, " Best beta is "), 0.5, 0.005);
  EXPECT_NEAR(last_value(r.out, " Best E0 is "), 1422.0, 0.01);
}

TEST(Momfit, RefusesInputsTheFitCannotUse) {
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  write_file(dir + "/three.dat", "7.23e-21 1\n7.24e-21 2\n7.25e-21 3\n");
  Outcome few = momfit_in(dir, answers("1420", "1", "0", "three.dat", "1", "1", "1", "1e-4"));
  EXPECT_EQ(few.exit_status, 1);
  EXPECT_NE(few.err.find("momfit: three.dat: 3 lab points read, at least 4 are needed\n"),
            std::string::npos)
      << few.err;
  EXPECT_EQ(few.out.find("Initial E0"), std::string::npos);  // before any evaluation
  EXPECT_FALSE(file_exists(dir + "/fort.7"));

  write_file(dir + "/newintrin_red", "\n\n");
  Outcome empty = momfit_in(dir, answers("1420", "1", "0", "demo_lab.dat", "1", "1", "1", "1"));
  EXPECT_EQ(empty.exit_status, 1);
  EXPECT_NE(empty.err.find("momfit: newintrin_red: no profile value read\n"), std::string::npos);
  EXPECT_FALSE(file_exists(dir + "/fort.7"));
}

TEST(Momfit, MissingOrBadInputIsTheFatalIoError) {
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  // Leading blanks are part of the name, so the file is not found.
  Outcome missing = momfit_in(dir, answers("1420", "1", "0", "  demo_lab.dat", "1", "1", "1", "1"));
  EXPECT_EQ(missing.signal, SIGABRT);
  EXPECT_EQ(missing.err,
            "open: No such file or directory\n"
            "apparent state: unit 20 named   demo_lab.dat\n"
            "lately writing sequential formatted external IO\n");  // after "Thanks."
  Outcome blank = momfit_in(dir, answers("1420", "1", "0", "   ", "1", "1", "1", "1"));
  EXPECT_EQ(blank.signal, SIGABRT);
  EXPECT_EQ(blank.err.substr(0, blank.err.find('\n')), "open: null file name");
  Outcome letter = momfit_in(dir, "1420\nwide\n");
  EXPECT_EQ(letter.signal, SIGABRT);
  EXPECT_EQ(letter.err.substr(0, letter.err.find('\n')), "list read: incomprehensible list input");
  Outcome ended = momfit_in(dir, "1420\n");
  EXPECT_EQ(ended.signal, SIGABRT);
  EXPECT_EQ(ended.err.substr(0, ended.err.find('\n')), "list read: end of file");
}

TEST(Momfit, NoUsableEvaluationIsReportedAsAFailure) {
  // A negative W1 gives no real momentum anywhere: every chi-square is
  // infinite and block one keeps its start.
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  Outcome r = momfit_in(dir, answers("1420", "-1", "0.3", "demo_lab.dat", "1", "10", "10", "1e-4"));
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_NE(r.out.find(" Chi^2 is   Infinity\n"), std::string::npos);
  EXPECT_NE(r.out.find(" Best W1 is   0.\n Best W1 is   0.\n Best beta is   0.\n Best E0 is   0.\n"),
            std::string::npos);
  EXPECT_NE(r.err.find("momfit: no evaluation gave a finite chi-square below 1.0E38; "
                       "the best values printed are not fit results\n"),
            std::string::npos);
}

// Starts an X server on a free display for the test; skipped without Xvfb.
class XServer {
 public:
  XServer() {
    if (system("command -v Xvfb >/dev/null 2>&1") != 0) return;
    for (int n = 90; n < 110 && pid_ == 0; ++n) {
      if (file_exists("/tmp/.X11-unix/X" + std::to_string(n))) continue;
      display_ = ":" + std::to_string(n);
      pid_ = fork();
      if (pid_ == 0) {
        // Quiets the server; should this fail, its messages only reach the test log.
        // cppcheck-suppress ignoredReturnValue
        freopen("/dev/null", "w", stderr);
        execlp("Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
               "tcp", static_cast<char*>(nullptr));
        _exit(127);
      }
      for (int wait = 0; wait < 100 && !file_exists("/tmp/.X11-unix/X" + std::to_string(n));
           ++wait) {
        usleep(50000);
      }
    }
  }
  ~XServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool running() const { return pid_ > 0; }
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = 0;
  std::string display_;
};

TEST(Momfit, DrawsTheFitInAnXWindow) {
  XServer x;
  if (!x.running()) GTEST_SKIP() << "Xvfb is not installed";
  const TempDir demo = demo_dir();
  const std::string& dir = demo.str();
  setenv("DISPLAY", x.display().c_str(), 1);
  // At the closing PAUSE: the colours on the screen, as "count: (r,g,b)" lines.
  std::string histogram;
  Outcome r = run_in(dir, MOMFIT_PATH,
                     answers("1420", "0.8", "0.3", "demo_lab.dat", "0.2", "10", "20", "1e-2"),
                     [&] {
                       const std::string cmd = "xwd -root -silent -display " + x.display() +
                                               " | convert xwd:- -format %c histogram:info:- 2>&1";
                       FILE* p = popen(cmd.c_str(), "r");
                       char buf[512];
                       while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr) histogram += buf;
                       if (p != nullptr) pclose(p);
                     });
  unsetenv("DISPLAY");
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err.find("momfit:"), std::string::npos) << r.err;  // the window opened
  // The library's default colours on its white page: frame, lab points and
  // texts in colour 1 (black), the last model curve in colour 14 (#FF0080).
  EXPECT_NE(histogram.find("#FFFFFF"), std::string::npos) << histogram;
  EXPECT_NE(histogram.find("#000000"), std::string::npos) << histogram;
  const std::size_t model = histogram.find("#FF0080");
  ASSERT_NE(model, std::string::npos) << histogram;
  const std::size_t line = histogram.rfind('\n', model) + 1;
  EXPECT_GT(std::stol(histogram.substr(line, histogram.find(':', line) - line)), 1000);
}

}  // namespace
