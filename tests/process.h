// Runs a program of the suite as a user would: in a given directory, with a
// given standard input, capturing its standard output, standard error and
// exit status. Shared by the end-to-end tests.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>

namespace testing_support {

struct Outcome {
  int exit_status = -1;  // the status passed to exit(), or -1 when killed
  int signal = 0;        // the signal that ended the process, or 0
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs `program` with no arguments in `dir`, `input` on its standard input.
// Every PAUSE that asks for "kill -15" is resumed with SIGTERM, after
// at_pause (if given) has run; with resumes >= 0, only that many are, and the
// next PAUSE is interrupted with SIGINT.
Outcome run_in(const std::string& dir, const std::string& program,
               const std::string& input = "", const std::function<void()>& at_pause = {},
               int resumes = -1);

// Runs `body` in a forked child in `dir`, `input` on its standard input,
// capturing as run_in does; the child ends with status 0 when body returns
// (after flushing every open stream).
Outcome run_child(const std::function<void()>& body, const std::string& input = "",
                  const std::string& dir = ".");

// Starts `program` with no arguments in `dir`, standard input read from the
// file io/stdin, standard output and error written to io/stdout and
// io/stderr, SIGINT at its default action; returns its process id. The
// caller waits for it.
pid_t start_in(const std::string& dir, const std::string& program, const std::string& io);

// A new empty directory under the system's temporary directory.
std::string make_temp_dir();

// A new empty temporary directory, removed with all it holds when the
// object goes out of scope.
class TempDir {
 public:
  TempDir() : path_(make_temp_dir()) {}
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// The whole content of a file ("" when it cannot be read) and whether it exists.
std::string read_file(const std::string& path);
bool file_exists(const std::string& path);
void write_file(const std::string& path, const std::string& content);

}  // namespace testing_support
