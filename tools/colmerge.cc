// colmerge: joins the one-column file (default "g0m2410d.cmp") and the
// two-column file (default "g0m2410d.nst") row by row into the three-column
// file (default "sorted.out"), 861 lines unless --rows says otherwise. Line
// L holds pair L of the two-column file and, from line 2 on, value L - 1 of
// the one-column file; the first line's third value is 0.
//
// The merge is written as the fitters write their outputs (ReplaceFile): to
// a temporary file beside its output, renamed over it only when it
// succeeded, so that a refused merge leaves an earlier output as it was; a
// device or a FIFO is written through and a link kept. An output that is
// one of the inputs is refused before anything is opened.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "run/cli.h"
#include "run/file_roles.h"
#include "run/replace_file.h"

namespace {

constexpr cli::Program kProgram{
    "colmerge", "[--rows N] [CMP NST [OUT]]",
    "Puts a column of values beside a measured two-column file, such as a\n"
    "constant column from constcol beside a spectrum, as one three-column file.\n"
    "\n"
    "Reads N values from CMP (default g0m2410d.cmp) and N + 1 pairs from NST\n"
    "(default g0m2410d.nst) and writes N tab-separated lines to OUT (default\n"
    "sorted.out): line L holds pair L of NST and value L - 1 of CMP, the first\n"
    "line 0 as its third value. An earlier OUT is replaced only when the merge\n"
    "succeeds.\n"
    "\n"
    "  --rows N       the number of lines written (default 861)\n"
    "  -h, --help     print this text and exit\n"
    "  -V, --version  print the name and release and exit\n"
    "\n"
    "Exit status: 0 when the merge is written; 1 when an input cannot be opened\n"
    "(\"NAME could not be opened\" on standard output), is short, holds a word or\n"
    "a line of too many values, or OUT cannot be written (the reason on standard\n"
    "error); 2 for a usage error; 128 + N when ended by signal N.\n"};

constexpr long kMostRows = 100'000'000;  // 1.2 GB of columns

// The three columns of the merge, rows + 1 entries each; the third is
// shifted down one row.
struct Columns {
  explicit Columns(long rows)
      : first(static_cast<std::size_t>(rows) + 1), second(first.size()), third(first.size()) {}
  std::vector<float> first, second, third;
};

constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// SIGINT, SIGTERM, SIGHUP, SIGQUIT: the temporary output removed, then the
// signal's own ending. Only async-signal-safe calls.
extern "C" void on_ending_signal(int sig) {
  recordio::remove_temporaries();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// A signal the run was started with ignored (a background job) stays
// ignored; one the parent left blocked is let through.
void install_handlers() {
  sigset_t handled;
  ::sigemptyset(&handled);
  for (const int sig : kEndingSignals) {
    ::sigaddset(&handled, sig);
    struct sigaction now {};
    if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
  }
  ::sigprocmask(SIG_UNBLOCK, &handled, nullptr);
  // A file-size limit then fails the write with EFBIG, which is said; so
  // does a FIFO's reader gone away (EPIPE).
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

// One of the inputs, read number by number with the line of each known:
// a record's values may stand on several lines, but no line may hold more
// than one record (a third column would shift every later value).
class Input {
 public:
  Input(std::FILE* in, const char* name) : in_(in), name_(name) {}

  // The next number into v (read with `format`, "%g%n" or "%e%n"), or a
  // message and false: at the end of the input, a read error, or text that
  // is not a number (named with its line). `want` is the number of values
  // the file must give; `first` marks the first value of a record.
  bool number(const char* format, float& v, int want, bool first) {
    skip_space();
    if (first) record_line_ = line_;
    std::string text;
    for (int c = std::getc(in_); c != EOF; c = std::getc(in_)) {
      if (std::isspace(c)) {
        std::ungetc(c, in_);
        break;
      }
      text.push_back(static_cast<char>(c));
    }
    int used = 0;
    if (!text.empty() && std::sscanf(text.c_str(), format, &v, &used) == 1 &&
        static_cast<std::size_t>(used) == text.size()) {
      ++values_;
      return true;
    }
    if (std::ferror(in_) != 0) {
      cli::complain(kProgram.name, "cannot read " + name_ + ": " + std::strerror(errno));
    } else if (text.empty()) {
      cli::complain(kProgram.name, name_ + " ends after " + std::to_string(values_) +
                                       " values, " + std::to_string(want) + " needed");
    } else {
      constexpr std::size_t kShown = 40;
      if (text.size() > kShown) text.replace(kShown, std::string::npos, "...");
      cli::complain(kProgram.name, name_ + ": line " + std::to_string(line_) + ": '" + text +
                                       "' is not a number");
    }
    return false;
  }

  // The end of a record of `columns` values: nothing but blanks may follow
  // on its line. A record that ran on from an earlier line is named by both.
  bool end_of_record(int columns) {
    int c = std::getc(in_);
    while (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') c = std::getc(in_);
    if (c == '\n') ++line_;
    if (c == '\n' || c == EOF) return true;
    const std::string plural = columns == 1 ? " column" : " columns";
    if (record_line_ == line_) {
      cli::complain(kProgram.name, name_ + ": line " + std::to_string(line_) + " has more than " +
                                       std::to_string(columns) + plural);
      return false;
    }
    // The values this line holds: the ones the record took from it (one,
    // after the value of its first line) and the rest.
    int on_line = 2;
    bool in_value = true;
    for (c = std::getc(in_); c != EOF && c != '\n'; c = std::getc(in_)) {
      const bool space = std::isspace(c) != 0;
      if (!space && !in_value) ++on_line;
      in_value = !space;
    }
    cli::complain(kProgram.name,
                  name_ + ": line " + std::to_string(record_line_) +
                      " holds one value; its pair ran on to line " + std::to_string(line_) +
                      (on_line > columns ? ", which has more than " + std::to_string(columns) + plural
                                         : ", which holds " + std::to_string(on_line) +
                                               " values"));
    return false;
  }

 private:
  void skip_space() {
    int c = std::getc(in_);
    for (; c != EOF && std::isspace(c); c = std::getc(in_)) line_ += c == '\n';
    if (c != EOF) std::ungetc(c, in_);
  }

  std::FILE* in_;
  std::string name_;
  long line_ = 1;
  long record_line_ = 1;  // the line of the record's first value
  int values_ = 0;
};

// A failed open: the fixed line "NAME could not be opened" on standard
// output, which scripts may read, and the reason on standard error.
void cannot_open(const std::string& name, const std::string& reason) {
  std::printf("%s could not be opened\n", name.c_str());
  cli::complain(kProgram.name, "cannot open " + name + ": " + reason);
}

// Reads the rows values of the one-column file into third[1..rows].
bool read_cmp(std::FILE* in, const char* name, std::vector<float>& third) {
  Input cmp(in, name);
  const int want = static_cast<int>(third.size()) - 1;
  for (int i = 1; i <= want; ++i) {
    if (!cmp.number("%g%n", third[i], want, true) || !cmp.end_of_record(1)) return false;
  }
  return true;
}

// Reads the rows + 1 pairs of the two-column file into first[] and second[].
bool read_nst(std::FILE* in, const char* name, std::vector<float>& first,
              std::vector<float>& second) {
  Input nst(in, name);
  const int pairs = static_cast<int>(first.size());
  for (int i = 0; i < pairs; ++i) {
    if (!nst.number("%g%n", first[i], 2 * pairs, true) ||
        !nst.number("%e%n", second[i], 2 * pairs, false) || !nst.end_of_record(2)) {
      return false;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  install_handlers();  // first: a signal from the start removes the temporary
  static constexpr cli::Option kOptions[] = {{"rows", "a number"}};
  long rows = 861;
  cli::CommandLine args(kProgram, kOptions, argc, argv);
  while (const auto given = args.next()) {
    rows = cli::count(kProgram, "--rows", given->value, kMostRows);
  }
  // The files: none named, both inputs, or both inputs and the output.
  const std::vector<std::string_view> named = args.operands();
  if (named.size() == 1) cli::usage_error(kProgram, "NST is missing after CMP");
  if (named.size() > 3) cli::usage_error(kProgram, "unexpected argument '" + std::string(named[3]) + "'");
  const std::string cmp_name(named.size() >= 2 ? named[0] : "g0m2410d.cmp");
  const std::string nst_name(named.size() >= 2 ? named[1] : "g0m2410d.nst");
  const std::string out_name(named.size() == 3 ? named[2] : "sorted.out");
  const cli::FileRole files[] = {{"CMP", "the one-column file", cmp_name},
                                  {"NST", "the two-column file", nst_name},
                                  {"OUT", "the output", out_name, true}};
  if (const std::string same = cli::clash(files); !same.empty()) cli::usage_error(kProgram, same);
  // All three opens come first, in this order, each reported on failure.
  std::FILE* cmp = std::fopen(cmp_name.c_str(), "rt");
  if (cmp == nullptr) cannot_open(cmp_name, std::strerror(errno));
  // The temporary is made and registered with the ending signals held: one
  // that came between would end the run before its handler knew the file.
  sigset_t ending, old;
  ::sigemptyset(&ending);
  for (const int sig : kEndingSignals) ::sigaddset(&ending, sig);
  ::sigprocmask(SIG_BLOCK, &ending, &old);
  recordio::ReplaceFile out(out_name);
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  if (!out.ok()) cannot_open(out_name, out.error());
  std::FILE* nst = std::fopen(nst_name.c_str(), "rt");
  if (nst == nullptr) cannot_open(nst_name, std::strerror(errno));
  if (cmp == nullptr || !out.ok() || nst == nullptr) return 1;

  // Both inputs are checked before a line is written: a short file gives no
  // line of undefined values.
  Columns col(rows);
  bool cmp_ok = read_cmp(cmp, cmp_name.c_str(), col.third);
  bool nst_ok = read_nst(nst, nst_name.c_str(), col.first, col.second);
  if (!cmp_ok || !nst_ok) return 1;

  for (long k = 0; k < rows; ++k) {
    const auto at = static_cast<std::size_t>(k);
    std::fprintf(out.stream(), "%g\t%e\t%e\n", static_cast<double>(col.first[at]),
                 static_cast<double>(col.second[at]), static_cast<double>(col.third[at]));
  }
  // commit() finds a failed write through the stream's error state.
  if (!out.commit()) cli::refuse(kProgram.name, "cannot write " + out_name + ": " + out.error());
  return 0;
}
