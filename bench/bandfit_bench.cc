// Times of bandfit at its capacities: one refinement on 400 lines, one solver
// call at 471 lines and 29 parameters, and a whole run of the program (process
// start to exit) on a deck of 471 lines and 29 fitted parameters.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bandfit/deck.h"
#include "bandfit/ortho.h"
#include "bandfit/refine.h"
#include "recordio/recordio.h"

namespace {

using namespace bandfit;

// Constants of the three lower and three upper levels, every one fitted.
constexpr double kTruth[29] = {1.922529, 6.12e-6, 1.1e-11, 1.905012, 6.21e-6, 2e-11,
                               1.23e-2,  -3.1e-6, 1.887104, 6.3e-6,  1.5e-11, 1.08e-2,
                               2.5e-6,   1.870233, 6.0e-6,  1.7e-11, -9.1e-3, 1.2e-6,
                               -28.73,   -52.31,  2143.271, 1.9061,  6.15e-6, 1.3e-11,
                               -17.5,    1.888,   6.05e-6,  1.4e-11, 35.2};

// A deck of n lines cycling over P, Q and R lines of the five bands, with
// positions from kTruth plus a little deterministic noise; 29 parameters,
// every one fitted, start values 0.1 % off; report level 0.
std::unique_ptr<Deck> make_problem(int n) {
  auto deck = std::make_unique<Deck>();
  Deck& p = *deck;
  p.n = n;
  p.m = 29;
  p.mu = 4;
  const char* bands[] = {"V+0", "V+1", "V+2", "2V0", "4V2"};
  int i = 0;
  while (i < n) {
    for (const char* band : bands) {
      for (const char* branch : {"P ", "Q ", "R "}) {
        for (int j = branch[0] == 'P'; j <= (branch[0] == 'R' ? 21 : 22) && i < n; ++j) {
          ++i;
          p.line_block.branch(i).assign(std::string(branch) + band);
          p.line_block.jlow(i) = j;
          p.w(i) = 1.0;
        }
      }
    }
  }
  ParamArray truth;
  for (int k = 1; k <= 29; ++k) {
    truth(k) = kTruth[k - 1];
    p.c(k) = truth(k) * (k % 2 ? 1.001 : 0.999);
    p.ic(k) = 1;
    p.ch(k) = Name("C" + std::to_string(k));
  }
  values(truth, p.y, n, p.line_block);
  for (int k = 1; k <= n; ++k) p.y(k) += 1e-3 * ((k * 7919) % 17 - 8) / 8.0;
  return deck;
}

// Runs the benchmarks in a scratch directory: the report goes to fort.26.
struct Scratch {
  std::filesystem::path old = std::filesystem::current_path();
  std::filesystem::path dir;
  Scratch() {
    char pattern[] = "/tmp/bandfit_bench.XXXXXX";
    dir = mkdtemp(pattern);
    std::filesystem::current_path(dir);
  }
  ~Scratch() {
    recordio::close(26);
    std::filesystem::current_path(old);
    std::filesystem::remove_all(dir);
  }
};

void BM_Refine400Lines(benchmark::State& state) {
  Scratch scratch;
  const auto p = make_problem(400);
  const auto d = std::make_unique<Deck>();
  const auto work = std::make_unique<Refinement>();
  const auto summary = std::make_unique<Summary>();
  for (auto _ : state) {
    state.PauseTiming();
    *d = *p;
    recordio::close(26);  // each refinement writes a fresh report
    state.ResumeTiming();
    refine(*d, *work, *summary);
    report_refinement(*d, *summary);
  }
  benchmark::DoNotOptimize(summary->cn);
}
BENCHMARK(BM_Refine400Lines)->Unit(benchmark::kMicrosecond);

void BM_Ortho471x29(benchmark::State& state) {
  const auto p = make_problem(471);
  const auto z = std::make_unique<DerivMatrix>();
  for (int k = 1; k <= 471; ++k) {
    for (int i = 1; i <= 29; ++i) (*z)(i, k) = std::sin(0.37 * i * k + 0.1 * i);
  }
  const auto solver = std::make_unique<Ortho>();
  OrthoStatus status = OrthoStatus::done;
  for (auto _ : state) {
    status = solver->solve(471, 29, p->y, *z, p->w);
    benchmark::DoNotOptimize(solver->cof);
  }
  if (status != OrthoStatus::done) state.SkipWithError("solver failed");
}
BENCHMARK(BM_Ortho471x29)->Unit(benchmark::kMicrosecond);

// The program beside this benchmark in the build tree.
std::filesystem::path program_path() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().parent_path() / "bandfit" /
         "bandfit";
}

void BM_WholeRun471Lines29Fitted(benchmark::State& state) {
  const std::filesystem::path program = program_path();
  if (!std::filesystem::exists(program)) {
    state.SkipWithError(("no program at " + program.string()).c_str());
    return;
  }
  Scratch scratch;
  const auto problem = make_problem(471);
  const Deck& p = *problem;
  {
    std::ofstream deck("deck");
    deck << p.n << " 29\n";
    char buf[128];
    for (int k = 1; k <= p.n; ++k) {
      std::snprintf(buf, sizeof buf, "'%s' %d %.17g 1\n",
                    std::string(p.line_block.branch(k).view()).c_str(), p.line_block.jlow(k),
                    p.y(k) / kScale);
      deck << buf;
    }
    for (int k = 1; k <= 29; ++k) {
      std::snprintf(buf, sizeof buf, "C%d %.17g 1\n", k, p.c(k));
      deck << buf;
    }
    deck << "4 0\n";
  }
  // The program's own processor time, apart from a busy machine's waiting.
  rusage before{}, after{};
  getrusage(RUSAGE_CHILDREN, &before);
  for (auto _ : state) {
    const pid_t pid = fork();
    if (pid == 0) {
      const int in = open("deck", O_RDONLY);
      dup2(in, 0);
      execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the program failed");
      break;
    }
  }
  getrusage(RUSAGE_CHILDREN, &after);
  auto ms = [](const timeval& t) { return t.tv_sec * 1e3 + t.tv_usec / 1e3; };
  const double cpu = ms(after.ru_utime) - ms(before.ru_utime) + ms(after.ru_stime) -
                     ms(before.ru_stime);
  state.counters["program_cpu_ms"] = cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_WholeRun471Lines29Fitted)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
