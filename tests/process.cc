#include "tests/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

std::string make_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/labsuite.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

namespace {

constexpr const char* kResumeRequest = "To resume execution, execute a   kill -15 ";

// Forks; the child reads standard input from io/stdin, writes io/stdout and
// io/stderr, works in dir and runs `child`. Files rather than pipes: no
// deadlock whatever the child writes.
template <class Child>
pid_t spawn(const std::string& dir, const std::string& io, Child child) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open((io + "/stdin").c_str(), O_RDONLY);
    int out = open((io + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open((io + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0 || chdir(dir.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    child();
    _exit(127);
  }
  return pid;
}

void exec_program(const std::string& program) {
  execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
}

template <class Child>
Outcome fork_with(const std::string& dir, const std::string& input, Child child,
                  const std::function<void()>& at_pause = {}, int resumes = -1) {
  std::string scratch = make_temp_dir();
  write_file(scratch + "/stdin", input);
  const pid_t pid = spawn(dir, scratch, child);
  // A PAUSE without a terminal waits for signal 15: send one for each
  // "kill -15" request that appears on the child's standard error.
  int status = 0;
  std::size_t resumed = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    const std::string err = read_file(scratch + "/stderr");
    std::size_t requests = 0;
    for (std::size_t at = err.find(kResumeRequest); at != std::string::npos;
         at = err.find(kResumeRequest, at + 1)) {
      ++requests;
    }
    if (requests > resumed) {
      // Past the allowed resumes the PAUSE is interrupted instead.
      const bool interrupt = resumes >= 0 && resumed >= static_cast<std::size_t>(resumes);
      resumed = requests;
      if (at_pause) at_pause();
      kill(pid, interrupt ? SIGINT : SIGTERM);
    }
    usleep(2000);
  }
  Outcome o;
  if (WIFEXITED(status)) o.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) o.signal = WTERMSIG(status);
  o.out = read_file(scratch + "/stdout");
  o.err = read_file(scratch + "/stderr");
  std::filesystem::remove_all(scratch);
  return o;
}

}  // namespace

Outcome run_in(const std::string& dir, const std::string& program, const std::string& input,
               const std::function<void()>& at_pause, int resumes) {
  return fork_with(dir, input, [&] { exec_program(program); }, at_pause, resumes);
}

pid_t start_in(const std::string& dir, const std::string& program, const std::string& io) {
  return spawn(dir, io, [&] {
    signal(SIGINT, SIG_DFL);  // an interrupt ignored here would stay ignored in the program
    exec_program(program);
  });
}

Outcome run_child(const std::function<void()>& body, const std::string& input,
                  const std::string& dir) {
  return fork_with(dir, input, [&] {
    body();
    std::fflush(nullptr);
    _exit(0);
  });
}

}  // namespace testing_support
