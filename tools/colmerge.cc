// colmerge: joins the one-column file "g0m2410d.cmp" and the two-column file
// "g0m2410d.nst" row by row into the three-column file "sorted.out". Line L
// holds pair L of the two-column file and, from line 2 on, value L - 1 of the
// one-column file; the first line's third value is 0.
//
// The merge is written to a temporary file beside sorted.out and renamed
// over it only when it succeeded: a refused merge leaves an earlier
// sorted.out as it was.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "recordio/cli.h"

namespace {

constexpr cli::Program kProgram{
    "colmerge", "",
    "Joins the pairs of g0m2410d.nst and the values of g0m2410d.cmp, shifted\n"
    "down one row, into sorted.out (861 tab-separated lines) in the current\n"
    "directory. An earlier sorted.out is replaced only when the merge succeeds.\n"};

constexpr const char* kOutput = "sorted.out";

constexpr int kCmpValues = 861;  // read from g0m2410d.cmp
constexpr int kNstPairs = 862;   // read from g0m2410d.nst
constexpr int kLines = 861;      // written to sorted.out

// The three columns of the merge; the third is shifted down one row.
struct Columns {
  std::array<float, 870> first{};
  std::array<float, 870> second{};
  std::array<float, 870> third{};
};

// The path of the live temporary output, for the signal handler. A handler
// reaches nothing but globals, and a fixed buffer needs no allocation to be
// removed.
char temp_path[64];
volatile std::sig_atomic_t temp_live = 0;  // temp_path names a file of ours

// SIGINT, SIGTERM, SIGHUP, SIGQUIT: the temporary output removed, then the
// signal's own ending. Only async-signal-safe calls.
extern "C" void on_ending_signal(int sig) {
  if (temp_live != 0) ::unlink(temp_path);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

// A signal the run was started with ignored (a background job) stays ignored.
void install_handlers() {
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    struct sigaction now {};
    if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    ::sigemptyset(&action.sa_mask);
    ::sigaction(sig, &action, nullptr);
  }
  // A file-size limit then fails the write with EFBIG, which is said.
  ::signal(SIGXFSZ, SIG_IGN);
}

// One of the inputs, read number by number with the line of each known:
// a record's values may stand on several lines, but no line may hold more
// than one record (a third column would shift every later value).
class Input {
 public:
  Input(std::FILE* in, const char* name) : in_(in), name_(name) {}

  // The next number into v (read with `format`, "%g" or "%e"), or a message
  // and false: at the end of the input, a read error, or text that is not a
  // number. `want` is the number of values the file must give.
  bool number(const char* format, float& v, int want) {
    skip_space();
    const int got = std::fscanf(in_, format, &v);
    const int next = got == 1 ? std::getc(in_) : EOF;
    if (got == 1 && (next == EOF || std::isspace(next))) {
      if (next != EOF) std::ungetc(next, in_);
      ++values_;
      return true;
    }
    if (std::ferror(in_) != 0) {
      cli::complain(kProgram.name, "cannot read " + name_ + ": " + std::strerror(errno));
    } else if (got == EOF) {
      cli::complain(kProgram.name, name_ + " ends after " + std::to_string(values_) +
                                       " values, " + std::to_string(want) + " needed");
    } else {
      cli::complain(kProgram.name,
                    name_ + ": value " + std::to_string(values_ + 1) + " is not a number");
    }
    return false;
  }

  // The end of a record of `columns` values: nothing but blanks may follow
  // on its line.
  bool end_of_record(int columns) {
    int c = std::getc(in_);
    while (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') c = std::getc(in_);
    if (c == '\n') ++line_;
    if (c == '\n' || c == EOF) return true;
    cli::complain(kProgram.name, name_ + ": line " + std::to_string(line_) + " has more than " +
                                     std::to_string(columns) +
                                     (columns == 1 ? " column" : " columns"));
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
  int values_ = 0;
};

// A failed open: the fixed line "NAME could not be opened" on standard
// output, which scripts may read, and the reason on standard error.
void cannot_open(const char* name, int error) {
  std::printf("%s could not be opened\n", name);
  cli::complain(kProgram.name, std::string("cannot open ") + name + ": " + std::strerror(error));
}

// Reads the 861 values of the one-column file into third[1..861].
bool read_cmp(std::FILE* in, std::array<float, 870>& third) {
  Input cmp(in, "g0m2410d.cmp");
  for (int i = 1; i <= kCmpValues; ++i) {
    if (!cmp.number("%g", third[i], kCmpValues) || !cmp.end_of_record(1)) return false;
  }
  return true;
}

// Reads the 862 pairs of the two-column file into first[] and second[].
bool read_nst(std::FILE* in, std::array<float, 870>& first, std::array<float, 870>& second) {
  Input nst(in, "g0m2410d.nst");
  for (int i = 0; i < kNstPairs; ++i) {
    if (!nst.number("%g", first[i], 2 * kNstPairs) ||
        !nst.number("%e", second[i], 2 * kNstPairs) || !nst.end_of_record(2)) {
      return false;
    }
  }
  return true;
}

// The merge's temporary output beside sorted.out, with the mode a newly
// created sorted.out would get (or the existing one's). Fails, creating
// nothing, when sorted.out exists but cannot be written (a directory, say).
class Output {
 public:
  Output() {
    struct stat now {};
    const bool exists = ::stat(kOutput, &now) == 0;
    if (exists) {
      std::FILE* probe = std::fopen(kOutput, "r+");  // writable, left unchanged
      if (probe == nullptr) {
        error_ = errno;
        return;
      }
      std::fclose(probe);
    }
    // Made and published with the ending signals held, so that no signal
    // comes between and leaves the temporary behind.
    sigset_t ending, old;
    ::sigemptyset(&ending);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaddset(&ending, sig);
    ::sigprocmask(SIG_BLOCK, &ending, &old);
    std::snprintf(temp_path, sizeof temp_path, "%s.XXXXXX", kOutput);
    const int fd = ::mkstemp(temp_path);
    error_ = errno;
    if (fd >= 0) temp_live = 1;
    ::sigprocmask(SIG_SETMASK, &old, nullptr);
    if (fd < 0) return;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, exists ? now.st_mode & 07777 : 0666 & ~mask);
    fp_ = ::fdopen(fd, "w");
    if (fp_ == nullptr) {
      error_ = errno;
      ::close(fd);
      remove_temp();
    }
  }
  // Removes the temporary file unless commit() renamed it.
  ~Output() {
    if (fp_ != nullptr) {
      std::fclose(fp_);
      remove_temp();
    }
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  std::FILE* file() const { return fp_; }
  int error() const { return error_; }  // errno of a failed start or commit

  // Notes the reason of the first failed write; `result` is fprintf's.
  void wrote(int result) {
    if (result < 0 && write_error_ == 0) write_error_ = errno != 0 ? errno : EIO;
  }

  // Finishes the temporary file and renames it over sorted.out; on failure
  // (a write, the flush, the close or the rename) the temporary is removed
  // and error() tells why.
  bool commit() {
    error_ = std::ferror(fp_) != 0 ? write_error_ : 0;
    if (std::fflush(fp_) != 0 && error_ == 0) error_ = errno;
    if (std::fclose(fp_) != 0 && error_ == 0) error_ = errno;
    fp_ = nullptr;
    if (error_ == 0 && std::rename(temp_path, kOutput) != 0) error_ = errno;
    if (error_ == 0) {
      temp_live = 0;
      return true;
    }
    remove_temp();
    return false;
  }

 private:
  static void remove_temp() {
    temp_live = 0;
    ::unlink(temp_path);
  }

  std::FILE* fp_ = nullptr;
  int error_ = 0;
  int write_error_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  cli::no_arguments(kProgram, argc, argv);
  install_handlers();
  // All three opens come first, in this order, each reported on failure.
  std::FILE* cmp = std::fopen("g0m2410d.cmp", "rt");
  if (cmp == nullptr) cannot_open("g0m2410d.cmp", errno);
  Output out;
  if (out.file() == nullptr) cannot_open(kOutput, out.error());
  std::FILE* nst = std::fopen("g0m2410d.nst", "rt");
  if (nst == nullptr) cannot_open("g0m2410d.nst", errno);
  if (cmp == nullptr || out.file() == nullptr || nst == nullptr) return 1;

  // Both inputs are checked before a line is written: a short file gives no
  // line of undefined values.
  Columns col;
  bool cmp_ok = read_cmp(cmp, col.third);
  bool nst_ok = read_nst(nst, col.first, col.second);
  if (!cmp_ok || !nst_ok) return 1;

  for (int k = 0; k < kLines; ++k) {
    out.wrote(std::fprintf(out.file(), "%g\t%e\t%e\n", static_cast<double>(col.first[k]),
                           static_cast<double>(col.second[k]), static_cast<double>(col.third[k])));
  }
  if (!out.commit()) {
    cli::refuse(kProgram.name,
                std::string("cannot write ") + kOutput + ": " + std::strerror(out.error()));
  }
  return 0;
}
