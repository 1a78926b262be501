#include "tests/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

namespace testing_support {

namespace {

constexpr const char* kResumeRequest = "To resume execution, execute a   kill -15 ";

std::string new_temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/labsuite.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

// The forked child: streams, directory, signals and environment as asked,
// then the body or the program. Never returns.
[[noreturn]] void become(const Run& run, const std::string& io, int terminal) {
  const rlimit no_core{0, 0};  // an expected abort leaves no core file behind
  setrlimit(RLIMIT_CORE, &no_core);
  if (run.fsize_limit > 0) {
    const rlimit fsize{static_cast<rlim_t>(run.fsize_limit), static_cast<rlim_t>(run.fsize_limit)};
    setrlimit(RLIMIT_FSIZE, &fsize);
  }
  // A test started in the background would hand on an ignored SIGINT.
  for (int sig : {SIGINT, SIGQUIT, SIGTERM}) std::signal(sig, SIG_DFL);
  sigset_t mask;
  sigemptyset(&mask);
  for (const int sig : run.blocked) sigaddset(&mask, sig);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  const std::string input = run.input_file.empty() ? io + "/stdin" : run.input_file;
  const int in = terminal >= 0 ? terminal : open(input.c_str(), O_RDONLY);
  const std::string output = run.output_file.empty() ? io + "/stdout" : run.output_file;
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((io + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0 || err < 0 || chdir(run.dir.c_str()) != 0) _exit(127);
  dup2(in, 0);
  dup2(out, 1);
  dup2(err, 2);
  // Temporaries of the child's own: none left in the user's folder.
  const std::string tmp = io + "/tmp";
  if (mkdir(tmp.c_str(), 0700) == 0) setenv("TMPDIR", tmp.c_str(), 1);
  for (const std::string& e : run.env) {
    const std::size_t eq = e.find('=');
    if (eq == std::string::npos) {
      unsetenv(e.c_str());
    } else {
      setenv(e.substr(0, eq).c_str(), e.substr(eq + 1).c_str(), 1);
    }
  }
  if (run.body) {
    run.body();
    std::fflush(nullptr);
    _exit(0);
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(run.program.c_str()));
  for (const std::string& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(run.program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

TempDir::TempDir() : path_(new_temp_dir()), text_(path_.string()), owner_(getpid()) {}

TempDir::TempDir(TempDir&& other) noexcept
    : path_(std::move(other.path_)), text_(std::move(other.text_)), owner_(other.owner_) {
  other.path_.clear();
  other.text_.clear();
}

TempDir::~TempDir() {
  // A forked child that ends through exit() must not remove its parent's.
  if (path_.empty() || getpid() != owner_) return;
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

Child::Child(Run run) : run_(std::move(run)), start_(std::chrono::steady_clock::now()) {
  int terminal = -1;
  if (run_.terminal) {
    if (openpty(&master_, &terminal, nullptr, nullptr, nullptr) != 0) {
      throw std::runtime_error("openpty failed");
    }
  } else {
    write_file(io_.str() + "/stdin", run_.input);
  }
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (master_ >= 0) close(master_);
    become(run_, io_.str(), terminal);
  }
  if (terminal >= 0) {
    close(terminal);
    const ssize_t typed = write(master_, run_.input.data(), run_.input.size());
    EXPECT_EQ(typed, static_cast<ssize_t>(run_.input.size()));
  }
}

Child::~Child() {
  if (!ended_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (master_ >= 0) close(master_);
}

bool Child::step() {
  if (ended_) return true;
  if (waitpid(pid_, &status_, WNOHANG) == pid_) return ended_ = true;
  if (std::chrono::steady_clock::now() - start_ > run_.limit) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    timed_out_ = ended_ = true;
    ADD_FAILURE() << (run_.body ? "child" : run_.program) << " still running after "
                  << run_.limit.count() << " s, killed; standard error:\n"
                  << err();
    return true;
  }
  if (!seen_ && run_.send != 0 && !run_.send_when.empty() &&
      (err() + read_file(io_.str() + "/stdout")).find(run_.send_when) != std::string::npos) {
    seen_ = true;
    seen_at_ = std::chrono::steady_clock::now();
  }
  if (seen_ && !sent_ && std::chrono::steady_clock::now() - seen_at_ >= run_.send_after) {
    sent_ = true;
    kill(pid_, run_.send);
  }
  // A PAUSE without a terminal waits for signal 15 (blocked until it waits,
  // so a prompt answer is not lost): answer each new request.
  const int requests = count_of(err(), kResumeRequest);
  if (requests > pauses_) {
    pauses_ = requests;
    if (run_.at_pause) run_.at_pause();
    const bool resume = run_.resumes < 0 || pauses_ <= run_.resumes;
    kill(pid_, resume ? SIGTERM : run_.end_signal);
  }
  return false;
}

void Child::signal(int sig) const {
  if (!ended_) kill(pid_, sig);
}

std::string Child::err() const { return read_file(io_.str() + "/stderr"); }

Outcome Child::outcome() const {
  Outcome o;
  if (WIFEXITED(status_)) o.exit_status = WEXITSTATUS(status_);
  if (WIFSIGNALED(status_)) o.signal = WTERMSIG(status_);
  o.pauses = pauses_;
  o.timed_out = timed_out_;
  o.out = read_file(io_.str() + "/stdout");
  o.err = err();
  return o;
}

Outcome run(Run run) {
  Child child(std::move(run));
  while (!child.step()) usleep(2000);
  return child.outcome();
}

Outcome run_in(const std::string& dir, const std::string& program, const std::string& input,
               const std::function<void()>& at_pause, int resumes) {
  Run r;
  r.program = program;
  r.dir = dir;
  r.input = input;
  r.at_pause = at_pause;
  r.resumes = resumes;
  return run(std::move(r));
}

Outcome run_child(const std::function<void()>& body, const std::string& input,
                  const std::string& dir) {
  Run r;
  r.body = body;
  r.dir = dir;
  r.input = input;
  return run(std::move(r));
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string repeat(int n, const std::string& text) {
  std::string t;
  for (int i = 0; i < n; ++i) t += text;
  return t;
}

std::set<std::string> names_in(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.insert(e.path().filename().string());
  }
  return names;
}

}  // namespace testing_support
