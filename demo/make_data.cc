// make_demo_data: writes synthetic inputs for a momfit demonstration into
// the current directory, "demo_lab.dat" and "newintrin_red" (demo_data.h
// makes them), and prints the true parameters so that a fit can be checked
// against them.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "demo/demo_data.h"
#include "run/cli.h"

namespace {

constexpr cli::Program kProgram{
    "make_demo_data",
    "[--no-noise | --sigma S] [--seed N] [--truth W1 BETA E0] [--points N] [--masses M1 M2]",
    "Writes a synthetic lab data file, demo_lab.dat, and its instrument profile,\n"
    "newintrin_red, into the current directory, made at known parameters, and\n"
    "prints them.\n"
    "\n"
    "  --no-noise           exact values\n"
    "  --sigma S            Gaussian noise of standard deviation S on every value\n"
    "                       (default: uniform noise within 4 of each value but\n"
    "                       the first)\n"
    "  --seed N             the noise's sequence, a whole number from 0 (default 0)\n"
    "  --truth W1 BETA E0   the true parameters (default 1 0.5 1422): W1 and E0 in\n"
    "                       eV above 0, beta from -1 to 2\n"
    "  --points N           the number of lab points, 2 to 1000 (default 300)\n"
    "  --masses M1 M2       the fragment pair in the model's mass unit\n"
    "                       (1.67353e-27 kg; default 69.92425 1.007825); the\n"
    "                       momenta then span the range this pair reaches\n"
    "  -h, --help           print this text and exit\n"
    "  -V, --version        print the name and release and exit\n"
    "\n"
    "Exit status: 0 when both files are written; 1 when one cannot be written\n"
    "(the reason on standard error); 2 for a usage error.\n"};

// The value of option as a number by the rules of a typed answer (as the
// other programs read theirs), or a usage error; with positive, above 0 too.
double number(std::string_view option, std::string_view text, bool positive = false) {
  return cli::number<double>(kProgram, option, text, positive);
}

// The --seed value: a whole number from 0 to the largest unsigned.
unsigned seed_of(std::string_view text) {
  const std::string s(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(s.c_str(), &end, 10);
  if (s.empty() || s[0] == '-' || *end != '\0' || errno != 0 || v > 0xffffffffUL) {
    cli::usage_error(kProgram,
                     "--seed needs a whole number from 0 to 4294967295, not " + cli::quoted(text));
  }
  return static_cast<unsigned>(v);
}

// Writes text as the file name in the current directory, or ends the run
// with status 1 and one line naming it.
void write_file(const char* name, const std::string& text) {
  errno = 0;
  std::FILE* f = std::fopen(name, "w");
  bool written = f != nullptr && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  written = f != nullptr && std::fclose(f) == 0 && written;
  if (!written) {
    cli::refuse(kProgram.name, std::string("cannot write ") + name + ": " +
                                   std::strerror(errno != 0 ? errno : EIO));
  }
}

}  // namespace

int main(int argc, char** argv) {
  static constexpr cli::Option kOptions[] = {{"no-noise"},
                                             {"sigma", "a standard deviation"},
                                             {"seed", "a whole number"},
                                             {"truth", "W1 BETA E0"},
                                             {"points", "a whole number"},
                                             {"masses", "two masses"}};
  demo::DemoRequest r;
  bool exact = false;
  cli::CommandLine args(kProgram, kOptions, argc, argv);
  while (const auto given = args.next()) {
    const std::string_view name = given->name;
    if (name == "no-noise") {
      exact = true;
    } else if (name == "sigma") {
      r.sigma = number("--sigma", given->value, true);
      r.noise = demo::Noise::gaussian;
    } else if (name == "seed") {
      r.seed = seed_of(given->value);
    } else if (name == "truth") {
      r.w1 = number("--truth", given->value);
      r.beta = number("--truth", args.another("truth"));
      r.e0 = number("--truth", args.another("truth"));
      if (!(r.w1 > 0.0 && r.e0 > 0.0 && r.beta >= -1.0 && r.beta <= 2.0)) {
        cli::usage_error(kProgram, "--truth needs W1 > 0, beta from -1 to 2 and E0 > 0");
      }
    } else if (name == "points") {
      r.points =
          static_cast<int>(cli::count(kProgram, "--points", given->value, demo::kMostPoints));
      if (r.points < 2) {
        cli::usage_error(kProgram, "--points needs a whole number from 2 to 1000, not " +
                                       cli::quoted(given->value));
      }
    } else if (name == "masses") {
      r.m1 = number("--masses", given->value, true);
      r.m2 = number("--masses", args.another("masses"), true);
      r.pair_range = true;
    }
  }
  args.no_operands();
  if (exact) r.noise = demo::Noise::none;
  const demo::DemoFiles files = demo::make_demo(r);
  write_file("demo_lab.dat", files.lab);
  write_file("newintrin_red", files.profile);
  std::printf("true values: W1 = %g eV, beta = %g, E0 = %g eV\n", r.w1, r.beta, r.e0);
  if (r.pair_range) std::printf("masses: %g, %g (mass unit 1.67353e-27 kg)\n", r.m1, r.m2);
  cli::answered(kProgram);
}
