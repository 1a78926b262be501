// The one way the tests start a child process: a program of the suite (or a
// function, in a forked child) in a given directory, with a given standard
// input, its standard output and error captured in files, every PAUSE
// answered as the test asks, and a time limit on every wait. Also the
// self-removing temporary directory and small file and text helpers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace testing_support {

// A new empty temporary directory (under $TMPDIR, else /tmp), removed with
// all it holds when the object goes out of scope. A moved-from object owns
// nothing.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(TempDir&& other) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  TempDir& operator=(TempDir&&) = delete;
  const std::filesystem::path& path() const { return path_; }
  const std::string& str() const { return text_; }

 private:
  std::filesystem::path path_;
  std::string text_;
  pid_t owner_;  // the process that made it, the only one that removes it
};

// What a child process is and how the test answers it. Every member has a
// default, so a designated initializer names only what a test sets.
struct Run {
  std::string program{};            // executed with `args`, or else
  std::function<void()> body{};     // run in the forked child; status 0 when it returns
  std::vector<std::string> args{};  // arguments after the program name
  std::vector<std::string> env{};   // "NAME=value" sets, "NAME" unsets, in the child only
  std::string dir = ".";            // working directory of the child
  std::string input{};              // standard input, unless
  std::string input_file{};         // ... this file is named
  bool terminal = false;            // standard input a pseudo-terminal typed `input`
  std::string output_file{};        // standard output to this file (e.g. /dev/full)
  long fsize_limit = 0;             // > 0: the largest file the child may write (bytes)
  std::vector<int> blocked{};       // signals blocked in the child, as a parent may leave them
  // Once standard output or error holds send_when, `send` goes to the child
  // (once): a signal at a moment the test controls.
  std::string send_when{};
  int send = 0;
  std::chrono::milliseconds send_after{0};  // ... this long after send_when was seen
  // Every PAUSE that asks for "kill -15" is resumed with SIGTERM after
  // at_pause (if given) has run; with resumes >= 0 only that many are, and
  // each later PAUSE gets end_signal instead.
  std::function<void()> at_pause{};
  int resumes = -1;
  int end_signal = SIGINT;
  // Past this the child is killed (SIGKILL) and the test fails.
  std::chrono::seconds limit{180};
};

struct Outcome {
  int exit_status = -1;  // the status passed to exit(), or -1 when killed
  int signal = 0;        // the signal that ended the process, or 0
  int pauses = 0;        // PAUSE requests for signal 15 seen on standard error
  bool timed_out = false;
  std::string out;       // standard output
  std::string err;       // standard error
};

// A started child. step() looks once: it answers a new PAUSE request, ends
// the child past its time limit, and reaps it; the destructor kills and
// reaps a child still running. Cores are off and SIGINT, SIGQUIT and SIGTERM
// at their default actions in the child (the program installs its own).
// TMPDIR is a folder of the child's own (unless `env` names it), removed
// with what the child left in it.
class Child {
 public:
  explicit Child(Run run);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool step();                  // true once the child has ended
  void signal(int sig) const;   // sends sig while it runs
  pid_t pid() const { return pid_; }
  std::string err() const;      // standard error so far
  Outcome outcome() const;      // what it did; valid once step() is true

 private:
  Run run_;
  TempDir io_;  // stdin, stdout, stderr
  pid_t pid_ = -1;
  int master_ = -1;  // the terminal's other end, when Run::terminal
  int status_ = 0;
  int pauses_ = 0;
  bool ended_ = false, timed_out_ = false, sent_ = false, seen_ = false;
  std::chrono::steady_clock::time_point start_, seen_at_;
};

// Starts the child, waits for its end and returns what it did.
Outcome run(Run run);

// Shorthands of run(): `program` without arguments in `dir`...
Outcome run_in(const std::string& dir, const std::string& program,
               const std::string& input = "", const std::function<void()>& at_pause = {},
               int resumes = -1);
// ... and `body` in a forked child in `dir`.
Outcome run_child(const std::function<void()>& body, const std::string& input = "",
                  const std::string& dir = ".");

// The whole content of a file ("" when it cannot be read) and whether it exists.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& content);

// Text helpers: how often `what` occurs in `text` (overlaps counted), the
// lines of `text` without their newlines, and `text` n times over.
int count_of(const std::string& text, const std::string& what);
std::vector<std::string> lines_of(const std::string& text);
std::string repeat(int n, const std::string& text);

// The names of the entries of a directory (no path).
std::set<std::string> names_in(const std::string& dir);

}  // namespace testing_support
