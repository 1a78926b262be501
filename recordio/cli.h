// The command line shared by the programs of the suite: --help and
// --version, the one-line usage error, and a checked positive number.
// Header-only, so that the column tools stay free of the record I/O library.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "labsuite/version.h"

namespace cli {

// What a program says of itself. usage is the synopsis without the name,
// e.g. "[--plot FILE]"; help is the rest of the --help text (may be empty).
struct Program {
  std::string_view name;
  std::string_view usage;
  std::string_view help;
};

// One line on standard error, "name: message; usage: name USAGE", exit 2.
[[noreturn]] inline void usage_error(const Program& p, std::string_view message) {
  std::fflush(stdout);
  std::fprintf(stderr, "%.*s: %.*s; usage: %.*s%s%.*s\n", static_cast<int>(p.name.size()),
               p.name.data(), static_cast<int>(message.size()), message.data(),
               static_cast<int>(p.name.size()), p.name.data(), p.usage.empty() ? "" : " ",
               static_cast<int>(p.usage.size()), p.usage.data());
  std::exit(2);
}

// The arguments after the program name. --help (usage and help text) and
// --version ("name (labsuite) VERSION") are answered on standard output and
// end the run with status 0, wherever they stand.
inline std::vector<std::string_view> arguments(const Program& p, int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (std::string_view a : args) {
    if (a == "--help") {
      std::printf("Usage: %.*s%s%.*s\n%.*s", static_cast<int>(p.name.size()), p.name.data(),
                  p.usage.empty() ? "" : " ", static_cast<int>(p.usage.size()), p.usage.data(),
                  static_cast<int>(p.help.size()), p.help.data());
      std::exit(0);
    }
    if (a == "--version") {
      std::printf("%.*s (labsuite) %s\n", static_cast<int>(p.name.size()), p.name.data(),
                  labsuite::kVersion);
      std::exit(0);
    }
  }
  return args;
}

// Refuses any argument: for the programs that take none but --help/--version.
inline void no_arguments(const Program& p, int argc, char** argv) {
  for (std::string_view a : arguments(p, argc, argv)) {
    usage_error(p, (a.rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") +
                       std::string(a) + "'");
  }
}

// The value of `option` as a finite number above zero, or a usage error.
inline double positive(const Program& p, std::string_view option, std::string_view text) {
  const std::string s(text);
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(s.c_str(), &end);
  if (s.empty() || *end != '\0' || errno != 0 || !std::isfinite(v) || !(v > 0.0)) {
    usage_error(p, std::string(option) + " needs a positive number, not '" + s + "'");
  }
  return v;
}

}  // namespace cli
