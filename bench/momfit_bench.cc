// Timings of the momfit model on synthetic data: one whole evaluation of the
// objective without and (under an X server) with the plot window, the
// library's bare cost of the two point plots, the rebin and convolve stages,
// and the transforms against FFTW for the same work. Prints the ratios to
// FFTW and the display module's overhead at the end.
//
//   cmake -S . -B build -DLABSUITE_BENCH=ON && cmake --build build --target momfit_bench
//   xvfb-run -a build/bench/momfit_bench
#include <benchmark/benchmark.h>
#include <fftw3.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <cpgplot.h>

#include "momfit/blocks.h"
#include "momfit/display.h"
#include "momfit/model/phi2.h"
#include "momfit/model/stages.h"
#include "momfit/numeric/fft.h"
#include "recordio/recordio.h"
#include "tests/numbers.h"

namespace {

using namespace momfit;

constexpr int kLab = 1000;
constexpr int kProfile = 31;
constexpr int kN = kFftLength;

// 1000 lab points over the model's momentum range with a peak on a flat
// base, and a 31-value Gaussian instrument profile in wrap-around order.
void make_run(FitState& s) {
  BestPoint& one = s.one;
  LabData& two = s.two;
  CountsAndProfile& three = s.three;
  one = BestPoint{};
  one.bestchi2 = 1.0E38f;
  two.e0 = 1400.0f;
  two.probmax = 1000.0f;
  two.probbase = 50.0f;
  three.nlab = kLab;
  for (int i = 1; i <= kLab; ++i) {
    const float t = static_cast<float>(i - 1) / kLab;
    two.labmom(i) = 7.17e-21f + 8.0e-23f * t;
    two.labprob(i) = 50.0f + 950.0f * std::exp(-std::pow((t - 0.6f) / 0.1f, 2.0f));
  }
  three.prof = {};
  three.nprof = kProfile;
  for (int l = 0; l <= kProfile / 2; ++l) {
    const float g = std::exp(-0.02f * static_cast<float>(l * l));
    three.prof(l + 1) = g;
    if (l > 0) three.prof(kProfile + 1 - l) = g;
  }
}

// The benchmarks' data: positive, like probabilities.
std::vector<float> random_floats(std::size_t n, unsigned seed) {
  return testing_support::random_floats(n, seed, 0.0f, 1.0f);
}

// A run's fit state and its objective, made once per benchmark.
struct Run {
  explicit Run(EvaluationObserver* observer = nullptr) : phi2(s, observer) { make_run(s); }
  FitState s;
  Objective phi2;
};

// The one plot window of the benchmark run, opened by the first benchmark
// that draws.
Plot& the_plot() {
  static Plot plot;
  return plot;
}

// Connects the model to the plot as the program does.
class Drawn final : public EvaluationObserver {
 public:
  void trouble(std::string_view) override {}
  void erase_curve(std::span<const float>, std::span<const float>) override {}
  void draw_curve(std::span<const float> x, std::span<const float> y) override {
    the_plot().draw_curve(x, y);
  }
};

// One evaluation; argument 0 the designed model, 1 the fitted scale and
// cross term (--scale fitted --cross fitted), 2 the fitted scale alone.
void BM_phi2(benchmark::State& state) {
  const auto run = std::make_unique<Run>();
  if (state.range(0) >= 1) run->s.config.scale = Scale::fitted;
  if (state.range(0) == 1) run->s.config.cross = Cross::fitted;
  const std::array<float, 4> x{1.0f, 0.0f, 0.5f, 1405.0f};
  for (auto _ : state) benchmark::DoNotOptimize(run->phi2(x));
}
BENCHMARK(BM_phi2)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// The same evaluation drawing into the plot window (needs an X display, such
// as Xvfb): the paced frames of the model curve are added.
void BM_phi2_display(benchmark::State& state) {
  Drawn drawn;
  const auto run = std::make_unique<Run>(&drawn);
  if (std::getenv("DISPLAY") == nullptr) {
    state.SkipWithError("no DISPLAY: run under xvfb-run");
    return;
  }
  if (!the_plot().is_open()) the_plot().open(run->s);
  const std::array<float, 4> x{1.0f, 0.0f, 0.5f, 1405.0f};
  for (auto _ : state) benchmark::DoNotOptimize(run->phi2(x));
}
BENCHMARK(BM_phi2_display)->Unit(benchmark::kMicrosecond);

// The library's own cost of those two point plots, called directly.
void BM_two_point_plots_bare(benchmark::State& state) {
  const auto run = std::make_unique<Run>();
  const LabData& two = run->s.two;
  if (!the_plot().is_open()) {
    state.SkipWithError("no plot window open");
    return;
  }
  const std::vector<float> y(kLab, 500.0f);
  for (auto _ : state) {
    cpgsci(0);
    cpgpt(kLab, two.labmom.data(), y.data(), 901);
    cpgsci(14);
    cpgpt(kLab, two.labmom.data(), y.data(), 901);
  }
}
BENCHMARK(BM_two_point_plots_bare)->Unit(benchmark::kMicrosecond);

void BM_rebin(benchmark::State& state) {
  const auto run = std::make_unique<Run>();
  run->phi2(std::array<float, 4>{1.0f, 0.0f, 0.5f, 1405.0f});  // fills the tables
  const Phi2Tables t = run->phi2.tables();
  std::vector<float> out(kLab);
  for (auto _ : state) {
    benchmark::DoNotOptimize(rebin(t.calcprob, t.calcenergy1, out, run->s.two.labmom.span(), kLab));
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_rebin)->Unit(benchmark::kMicrosecond);

void BM_convolve(benchmark::State& state) {
  const auto run = std::make_unique<Run>();
  const auto work = std::make_unique<ConvolveWork>();
  const std::vector<float> data = random_floats(kLab, 1);
  std::vector<float> profile(kN);
  std::vector<float> out(kLab);
  for (auto _ : state) {
    std::copy(data.begin(), data.end(), profile.begin());
    convolve(profile, out, run->s.three.prof.span(), kLab, kProfile, *work);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_convolve)->Unit(benchmark::kMicrosecond);

// The same convolution through FFTW: both real transforms, the product of
// the spectra and the inverse, with the response laid out in wrap-around
// order on every call as convolve does.
void BM_convolve_fftw(benchmark::State& state) {
  const auto run = std::make_unique<Run>();
  const CountsAndProfile& three = run->s.three;
  const std::vector<float> data = random_floats(kLab, 1);
  float* in = fftwf_alloc_real(kN);
  float* resp = fftwf_alloc_real(kN);
  fftwf_complex* fin = fftwf_alloc_complex(kN / 2 + 1);
  fftwf_complex* fresp = fftwf_alloc_complex(kN / 2 + 1);
  const fftwf_plan pin = fftwf_plan_dft_r2c_1d(kN, in, fin, FFTW_MEASURE);
  const fftwf_plan presp = fftwf_plan_dft_r2c_1d(kN, resp, fresp, FFTW_MEASURE);
  const fftwf_plan pback = fftwf_plan_dft_c2r_1d(kN, fin, in, FFTW_MEASURE);
  std::vector<float> out(kLab);
  for (auto _ : state) {
    std::copy(data.begin(), data.end(), in);
    std::fill(in + kLab, in + kN, 0.0f);
    std::fill(resp, resp + kN, 0.0f);
    for (int i = 1; i <= (kProfile + 1) / 2; ++i) resp[i - 1] = three.prof(i);
    for (int i = 1; i <= (kProfile - 1) / 2; ++i) resp[kN - i] = three.prof(kProfile + 1 - i);
    fftwf_execute(pin);
    fftwf_execute(presp);
    for (int k = 0; k <= kN / 2; ++k) {
      const std::complex<float> a(fin[k][0], fin[k][1]);
      const std::complex<float> b(fresp[k][0], fresp[k][1]);
      const std::complex<float> c = a * b / static_cast<float>(kN);
      fin[k][0] = c.real();
      fin[k][1] = c.imag();
    }
    fftwf_execute(pback);
    std::copy(in, in + kLab, out.begin());
    benchmark::DoNotOptimize(out.data());
  }
  fftwf_destroy_plan(pin);
  fftwf_destroy_plan(presp);
  fftwf_destroy_plan(pback);
  fftwf_free(in);
  fftwf_free(resp);
  fftwf_free(fin);
  fftwf_free(fresp);
}
BENCHMARK(BM_convolve_fftw)->Unit(benchmark::kMicrosecond);

void BM_four1(benchmark::State& state) {
  const std::vector<float> data = random_floats(2 * kN, 2);
  std::vector<float> work(2 * kN);
  const FftPlan plan(kN);
  for (auto _ : state) {
    std::copy(data.begin(), data.end(), work.begin());
    four1(work, kN, 1, plan);
    benchmark::DoNotOptimize(work.data());
  }
}
BENCHMARK(BM_four1)->Unit(benchmark::kMicrosecond);

void BM_four1_fftw(benchmark::State& state) {
  const std::vector<float> data = random_floats(2 * kN, 2);
  fftwf_complex* work = fftwf_alloc_complex(kN);
  const fftwf_plan plan = fftwf_plan_dft_1d(kN, work, work, FFTW_BACKWARD, FFTW_MEASURE);
  for (auto _ : state) {
    std::copy(data.begin(), data.end(), &work[0][0]);
    fftwf_execute(plan);
    benchmark::DoNotOptimize(&work[0][0]);
  }
  fftwf_destroy_plan(plan);
  fftwf_free(work);
}
BENCHMARK(BM_four1_fftw)->Unit(benchmark::kMicrosecond);

void BM_convlv(benchmark::State& state) {
  const std::vector<float> data = random_floats(kN, 3);
  const std::vector<float> resp = random_floats(kProfile, 4);
  std::vector<float> work(kN);
  std::vector<float> ans(2 * kN);
  std::vector<float> fft(2 * kN);
  const FftPlan plan(kN);
  for (auto _ : state) {
    std::copy(resp.begin(), resp.end(), work.begin());
    benchmark::DoNotOptimize(convlv(data, kN, work, kProfile, 1, ans, fft, plan));
    benchmark::DoNotOptimize(ans.data());
  }
}
BENCHMARK(BM_convlv)->Unit(benchmark::kMicrosecond);

// Keeps the CPU time per iteration of every benchmark for the ratios.
class Recorder : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> micros;
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred)
        micros[r.benchmark_name()] = r.GetAdjustedCPUTime();
    }
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  // Every evaluation appends to fort.7: keep it out of the working directory.
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("momfit_bench." + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::filesystem::current_path(dir);
  Recorder recorder;
  benchmark::RunSpecifiedBenchmarks(&recorder);
  the_plot().close();
  recordio::close(7);
  std::filesystem::current_path("/");
  std::filesystem::remove_all(dir);

  // The figures the speed goals are stated in: processor time of ours over
  // FFTW's for the same work.
  auto ratio = [&](const char* what, const char* ours, const char* theirs) {
    const auto a = recorder.micros.find(ours);
    const auto b = recorder.micros.find(theirs);
    if (a == recorder.micros.end() || b == recorder.micros.end() || b->second <= 0) return;
    std::printf("%s against FFTW: %.2f times (%.2f us / %.2f us)\n", what, a->second / b->second,
                a->second, b->second);
  };
  ratio("convolve (1024 points, 31-value response)", "BM_convolve", "BM_convolve_fftw");
  ratio("four1 (1024 complex values)", "BM_four1", "BM_four1_fftw");
  const auto with = recorder.micros.find("BM_phi2_display");
  const auto without = recorder.micros.find("BM_phi2");
  const auto bare = recorder.micros.find("BM_two_point_plots_bare");
  if (with != recorder.micros.end() && without != recorder.micros.end() &&
      bare != recorder.micros.end()) {
    std::printf("display module overhead: %.1f us per evaluation (with %.1f - without %.1f"
                " - bare plots %.1f)\n",
                with->second - without->second - bare->second, with->second, without->second,
                bare->second);
  }
  if (const auto p = recorder.micros.find("BM_phi2"); p != recorder.micros.end())
    std::printf("one evaluation of phi2 with %d lab points: %.1f us\n", kLab, p->second);
  benchmark::Shutdown();
  return 0;
}
