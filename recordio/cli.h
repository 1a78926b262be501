// What the programs of the suite share at their edges: the one way they
// report a fault of their own (the line "program: message" on standard
// error), the command line (--help and --version, the one-line usage error,
// a checked positive number). Header-only, so that the column tools stay
// free of the record I/O library.
#pragma once

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The line "name: message" on standard error, of any length, written in one
// piece after whatever standard output holds so far.
inline void complain(std::string_view name, std::string_view message) {
  std::fflush(stdout);
  std::string line;
  line.reserve(name.size() + message.size() + 3);
  line.append(name).append(": ").append(message).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

// A refusal: complain(), then exit status 1.
[[noreturn]] inline void refuse(std::string_view name, std::string_view message) {
  complain(name, message);
  std::exit(1);
}

// One line on standard error, "name: message; usage: name USAGE", exit 2.
[[noreturn]] inline void usage_error(const Program& p, std::string_view message) {
  std::string text(message);
  text.append("; usage: ").append(p.name);
  if (!p.usage.empty()) text.append(" ").append(p.usage);
  complain(p.name, text);
  std::exit(2);
}

// Ends an answer on standard output: status 0 once it is out, or one line
// "name: cannot write standard output: reason" and status 1.
[[noreturn]] inline void answered(const Program& p) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int err = errno != 0 ? errno : EIO;
    std::fprintf(stderr, "%.*s: cannot write standard output: %s\n", static_cast<int>(p.name.size()),
                 p.name.data(), std::strerror(err));
    std::exit(1);
  }
  std::exit(0);
}

// The arguments after the program name. --help (usage and help text) and
// --version ("name (labsuite) VERSION") are answered on standard output and
// end the run with status 0 (1 when the answer cannot be written), wherever
// they stand.
inline std::vector<std::string_view> arguments(const Program& p, int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (std::string_view a : args) {
    if (a == "--help") {
      std::printf("Usage: %.*s%s%.*s\n%.*s", static_cast<int>(p.name.size()), p.name.data(),
                  p.usage.empty() ? "" : " ", static_cast<int>(p.usage.size()), p.usage.data(),
                  static_cast<int>(p.help.size()), p.help.data());
      answered(p);
    }
    if (a == "--version") {
      std::printf("%.*s (labsuite) %s\n", static_cast<int>(p.name.size()), p.name.data(),
                  labsuite::kVersion);
      answered(p);
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
