// What the programs of the suite share at their edges: the one way they
// report a fault of their own (the line "program: message" on standard
// error), the command line (GNU options through getopt_long, --help/-h and
// --version/-V, the one-line usage error, checked whole numbers, values
// quoted for a message). Header-only, over the record I/O library, whose
// message line it writes (recordio::complain_as); numbers read by the rules
// of a typed answer are recordio's too (text_input.h).
#pragma once

#include <getopt.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "labsuite/version.h"
#include "recordio/recordio.h"
#include "recordio/text_input.h"

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
  recordio::complain_as(name, message);
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
// "name: cannot write standard output: reason" and status 1 (a closed pipe
// included: SIGPIPE is ignored for the answer, so that its write fails).
[[noreturn]] inline void answered(const Program& p) {
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    const int err = errno != 0 ? errno : EIO;
    std::fprintf(stderr, "%.*s: cannot write standard output: %s\n", static_cast<int>(p.name.size()),
                 p.name.data(), std::strerror(err));
    // The answer is all the run did: an end that flushed standard output
    // again (a fitter's) would say the failure twice.
    std::_Exit(1);
  }
  std::exit(0);
}

// One option of a command line: --NAME, or --NAME VALUE and --NAME=VALUE.
struct Option {
  const char* name;         // the long name without "--"
  const char* needs = "";   // what its value is, for "--NAME needs A FILE";
                            // "" for an option without a value
  char short_name = '\0';   // a one-letter spelling, '\0' for none
};

// The command line of a program, read with the C library's getopt_long as
// GNU programs read theirs: options in any order among the operands, long
// names abbreviated to any unambiguous prefix, a value after the option or
// after "=", "--" ending the options. --help/-h and --version/-V are
// answered (status 0) before anything else is looked at, wherever they
// stand. Every fault is a usage error (one line, status 2):
//   unknown option '--x'            an option the program does not have
//   option '--p' is ambiguous       a prefix of more than one option
//   --NAME needs NEEDS              no value, an empty one, or an option
//                                   ("--...") where the value should stand
//   --NAME takes no value           "--NAME=..." for an option without one
//   unexpected argument 'x'         from no_operands()
// getopt_long keeps its place in the C library's optind; one CommandLine is
// read at a time, from its construction to its last next().
class CommandLine {
 public:
  struct Given {
    std::string_view name;   // the option's long name
    std::string_view value;  // its value, "" for an option without one
  };

  CommandLine(const Program& p, std::span<const Option> options, int argc, char** argv)
      : p_(p), options_(options), argc_(argc), argv_(argv) {
    for (const Option& o : options_) {
      table_.push_back({o.name, *o.needs != '\0' ? required_argument : no_argument, nullptr,
                        kLong + static_cast<int>(table_.size())});
      if (o.short_name != '\0') {
        shorts_.push_back(o.short_name);
        if (*o.needs != '\0') shorts_.push_back(':');
      }
    }
    table_.push_back({"help", no_argument, nullptr, 'h'});
    table_.push_back({"version", no_argument, nullptr, 'V'});
    table_.push_back({nullptr, 0, nullptr, 0});
    // The first pass answers --help and --version; the second, next(),
    // reads the options in order.
    restart();
    for (int c; (c = step()) != -1;) {
      if (c == 'h') help();
      if (c == 'V') version();
    }
    first_pass_ = false;
    restart();
  }

  // The next option, or nothing when the options are all read.
  std::optional<Given> next() {
    const int c = step();
    if (c == -1) {
      done_ = true;
      return std::nullopt;
    }
    if (c >= kLong) {
      const Option& o = options_[static_cast<std::size_t>(c - kLong)];
      if (*o.needs != '\0' && (optarg == nullptr || *optarg == '\0' || separate_option_)) {
        missing(o);
      }
      return Given{o.name, optarg != nullptr ? optarg : ""};
    }
    if (c == ':') missing(by_value(optopt));
    const std::string_view arg = argv_[optind - 1];
    if (arg.starts_with("--") && optopt != 0) {
      for (const option& o : table_) {
        if (o.name != nullptr && o.val == optopt) {
          usage_error(p_, "--" + std::string(o.name) + " takes no value");
        }
      }
    }
    if (optopt != 0) usage_error(p_, "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'");
    if (ambiguous(arg)) usage_error(p_, "option '" + std::string(arg) + "' is ambiguous");
    usage_error(p_, "unknown option '" + std::string(arg) + "'");
  }

  // One more value after the option just read, for an option of two values
  // (--masses M1 M2): the argument that follows, or the usage error of the
  // option's own `needs` when none does or an option stands there.
  std::string_view another(std::string_view name) {
    if (optind >= argc_ || std::string_view(argv_[optind]).starts_with("--")) {
      for (const Option& o : options_) {
        if (name == o.name) missing(o);
      }
      usage_error(p_, "--" + std::string(name) + " needs another value");
    }
    return argv_[optind++];
  }

  // The arguments that are not options, in their order, once next() has
  // returned nothing.
  std::vector<std::string_view> operands() const {
    return done_ ? std::vector<std::string_view>(argv_ + optind, argv_ + argc_)
                 : std::vector<std::string_view>{};
  }

  // A usage error for the first operand, if any: for a program that takes
  // none.
  void no_operands() const {
    for (std::string_view a : operands()) {
      usage_error(p_, "unexpected argument '" + std::string(a) + "'");
    }
  }

 private:
  static constexpr int kLong = 256;  // getopt_long's value for options_[k] is kLong + k

  void restart() {
    optind = 0;  // glibc: start afresh, argument order included
    opterr = 0;  // the faults are said by next(), in the programs' words
  }

  // One getopt_long step. A value given as the next argument that is itself
  // a long option ("--plot --log x") is no value: next() refuses it, and the
  // first pass reads it as the option it is (so "--plot --help" helps).
  int step() {
    // The first pass takes the arguments in their order ("-": operands come
    // back as 1), leaving argv as it is for the second, which moves the
    // operands behind the options as it goes, as getopt_long does.
    const std::string shorts = (first_pass_ ? "-:hV" : ":hV") + shorts_;
    const int c = getopt_long(argc_, argv_, shorts.c_str(), table_.data(), nullptr);
    separate_option_ = false;
    if (c != -1 && optarg != nullptr && optind > 0 && optarg == argv_[optind - 1] &&
        std::string_view(optarg).starts_with("--")) {
      separate_option_ = true;
      if (first_pass_) --optind;
    }
    return c;
  }

  [[noreturn]] void missing(const Option& o) const {
    usage_error(p_, "--" + std::string(o.name) + " needs " + o.needs);
  }

  const Option& by_value(int value) const {
    if (value >= kLong) return options_[static_cast<std::size_t>(value - kLong)];
    for (const Option& o : options_) {
      if (o.short_name == value) return o;
    }
    return options_[0];
  }

  // Whether "--x" (or "--x=v") begins more than one long name.
  bool ambiguous(std::string_view arg) const {
    if (!arg.starts_with("--")) return false;
    arg.remove_prefix(2);
    arg = arg.substr(0, arg.find('='));
    int n = 0;
    for (const option& o : table_) n += o.name != nullptr && std::string_view(o.name).starts_with(arg);
    return n > 1;
  }

  [[noreturn]] void help() const {
    std::signal(SIGPIPE, SIG_IGN);  // a closed pipe is a failed write, said
    std::printf("Usage: %.*s%s%.*s\n%.*s", static_cast<int>(p_.name.size()), p_.name.data(),
                p_.usage.empty() ? "" : " ", static_cast<int>(p_.usage.size()), p_.usage.data(),
                static_cast<int>(p_.help.size()), p_.help.data());
    answered(p_);
  }

  [[noreturn]] void version() const {
    std::signal(SIGPIPE, SIG_IGN);
    std::printf("%.*s (labsuite) %s\n", static_cast<int>(p_.name.size()), p_.name.data(),
                labsuite::kVersion);
    answered(p_);
  }

  const Program& p_;
  std::span<const Option> options_;
  int argc_;
  char** argv_;
  std::vector<option> table_;
  std::string shorts_;
  bool separate_option_ = false;
  bool first_pass_ = true;
  bool done_ = false;
};

// The arguments after the program name. --help (usage and help text) and
// --version ("name (labsuite) VERSION") are answered on standard output and
// end the run with status 0 (1 when the answer cannot be written), wherever
// they stand.
inline std::vector<std::string_view> arguments(const Program& p, int argc, char** argv) {
  std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  for (std::string_view a : args) {
    if (a == "--help" || a == "--version") std::signal(SIGPIPE, SIG_IGN);
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

// text between apostrophes for a message, any control character in it
// (a line break, say) written as \n, \t or \xNN so that the message stays
// one line.
inline std::string quoted(std::string_view text) {
  std::string out = "'";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (u < 0x20 || u == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out + "'";
}

// The value of `option` as a whole number from 1 to `most` (LONG_MAX: no
// bound of its own), or a usage error. Blanks around it are taken, as
// around a typed answer.
inline long count(const Program& p, std::string_view option, std::string_view text, long most) {
  const std::string s(text);
  const std::size_t first = s.find_first_not_of(" \t");
  const std::string digits =
      first == std::string::npos ? "" : s.substr(first, s.find_last_not_of(" \t") - first + 1);
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(digits.c_str(), &end, 10);
  if (digits.empty() || !(std::isdigit(static_cast<unsigned char>(digits[0])) || digits[0] == '+') ||
      *end != '\0' || errno != 0 || v < 1 || v > most) {
    usage_error(p, std::string(option) + " needs a whole number " +
                       (most == LONG_MAX ? "above 0" : "from 1 to " + std::to_string(most)) +
                       ", not " + cli::quoted(s));
  }
  return v;
}

// The value of `option` (named as the message shows it, "--e0") as one
// number by the rules of a typed answer (recordio::read_number, or
// read_real for a float), or a usage error that says why not; with
// positive, above 0 as well.
template <class Number>
Number number(const Program& p, std::string_view option, std::string_view text,
              bool positive = false) {
  static_assert(std::is_same_v<Number, double> || std::is_same_v<Number, float>);
  Number v = 0;
  std::optional<std::string> why;
  if constexpr (std::is_same_v<Number, float>) {
    why = recordio::read_real(text, v);
  } else {
    why = recordio::read_number(text, v);
  }
  if (why || (positive && !(v > 0))) {
    usage_error(p, std::string(option) + " needs a " + (positive ? "positive " : "") +
                       "number, not " + quoted(text) + (why && !why->empty() ? ": " + *why : ""));
  }
  return v;
}

}  // namespace cli
