// Golden outputs: representative runs of every program, compared byte for
// byte with the files kept under tests/golden/<case>/expected/.
//
// A case directory holds `cmd` (the program, then options such as
// "resumes=1": resume that many PAUSEs and interrupt the next), `stdin` when
// the run reads one, and the input files, which are copied into a scratch
// directory where the program runs. expected/ holds stdout, stderr, status
// and every file the run created. The process id in a PAUSE request is
// written as PID. GOLDEN_UPDATE=1 rewrites expected/ from the runs: a
// deliberate change of output, to be committed with its reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/process.h"
#include "tests/programs.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;  // the test helpers: run_in, read_file, ...

// The files of the case that are not program inputs.
bool is_case_file(const std::string& name) {
  return name == "cmd" || name == "stdin" || name == "expected";
}

// What the run produced, under the names expected/ uses.
std::map<std::string, std::string> run_case(const fs::path& dir) {
  std::istringstream cmd(read_file(dir / "cmd"));
  std::string program;
  cmd >> program;
  int resumes = -1;
  for (std::string option; cmd >> option;) {
    if (option.rfind("resumes=", 0) == 0) resumes = std::stoi(option.substr(8));
  }
  const TempDir work;
  std::set<std::string> inputs;
  for (const std::string& name : names_in(dir)) {
    if (is_case_file(name)) continue;
    fs::copy_file(dir / name, work.path() / name);
    inputs.insert(name);
  }
  // No X display in the child: momfit's fit goes on without its window.
  const Outcome o = run({.program = kPrograms.at(program),
                         .env = {"DISPLAY"},
                         .dir = work.path(),
                         .input = read_file(dir / "stdin"),
                         .resumes = resumes});

  std::map<std::string, std::string> got;
  got["stdout"] = o.out;
  got["stderr"] = std::regex_replace(o.err, std::regex("kill -15 [0-9]+"), "kill -15 PID");
  got["status"] = o.signal != 0 ? "signal " + std::to_string(o.signal) + "\n"
                                : std::to_string(o.exit_status) + "\n";
  for (const std::string& name : names_in(work.path())) {
    if (inputs.count(name) == 0) got[name] = read_file(work.path() / name);
  }
  return got;
}

class Golden : public ::testing::TestWithParam<std::string> {};

TEST_P(Golden, OutputsAreByteForByteAsKept) {
  const fs::path dir = fs::path(GOLDEN_DIR) / GetParam();
  const std::map<std::string, std::string> got = run_case(dir);
  const fs::path expected = dir / "expected";
  if (std::getenv("GOLDEN_UPDATE") != nullptr) {
    fs::remove_all(expected);
    fs::create_directory(expected);
    for (const auto& [name, content] : got) write_file(expected / name, content);
    GTEST_SKIP() << "expected outputs rewritten";
  }
  std::set<std::string> kept = names_in(expected);
  for (const auto& [name, content] : got) {
    EXPECT_TRUE(kept.count(name) == 1) << GetParam() << ": unexpected output " << name;
    if (kept.count(name) == 0) continue;
    // Compared as strings; on a mismatch gtest shows the first differing lines.
    EXPECT_EQ(content, read_file(expected / name)) << GetParam() << ": " << name;
    kept.erase(name);
  }
  for (const std::string& name : kept) ADD_FAILURE() << GetParam() << ": no output " << name;
}

std::vector<std::string> cases() {
  std::set<std::string> names = names_in(GOLDEN_DIR);
  return {names.begin(), names.end()};
}

INSTANTIATE_TEST_SUITE_P(Runs, Golden, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param; });

}  // namespace
