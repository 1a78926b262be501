// Program entry, the signal handlers, PAUSE, STOP, the programs' own
// messages, the status of a lost output and the cleanup of every end.
//
// The handlers of the signals a user sends (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT) only note the signal; the run acts on it at its next safe point
// (act_on_signals), where closing the units and printing are safe. They are
// installed without SA_RESTART, so that a read or a write that waits is
// interrupted and acts as well. The signals of a fault in the program itself
// (SIGFPE, SIGABRT, SIGTRAP, SIGSEGV, SIGBUS, SIGILL) cannot wait: their
// handler does only what is safe in a handler (write, unlink), on a stack of
// its own (a stack overflow is such a fault), and aborts. The records' timer
// (SIGALRM, units.cc) is installed with SA_RESTART: it interrupts nothing.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "internal.h"
#include "recordio/recordio.h"
#include "recordio/testing.h"

namespace recordio {
namespace {

// Recorded once by run(); every "program: message" line of the process uses it.
std::string program_name = "program";

// Written by the handlers, which can reach nothing but globals: the first
// signal noted and not yet acted on, and the resumption of a PAUSE that
// waits for SIGTERM.
volatile sig_atomic_t pending = 0;
volatile sig_atomic_t pausing = 0;
volatile sig_atomic_t resumed = 0;
// Set while the run ends for a signal, so that the ending is not re-entered.
bool acting = false;
// Raised by cannot_write; read by run() and every end of status 0.
volatile sig_atomic_t failed_output = 0;
// What every end runs once the units are closed, a fault signal's handler
// included, so a handler must be able to read it whole.
std::atomic<EndCleanup> end_cleanup{nullptr};
static_assert(std::atomic<EndCleanup>::is_always_lock_free);

// Text on standard error by the system call alone (safe in a handler).
void put(const char* text) {
  ssize_t ignored = ::write(2, text, std::strlen(text));
  (void)ignored;
}

void say(const char* text) {
  std::fflush(stdout);
  put(text);
}

// Fatal signals: the file units' waiting records sent (whole records only,
// by write() alone), the message, the temporaries removed, then an abort
// with the default action so that a core image can be written.
void on_fatal_signal(int sig) {
  detail::send_waiting_records();
  switch (sig) {
    case SIGFPE: put("Floating Exception\n"); break;
    case SIGABRT: put("IOT Trap\n"); break;
    case SIGSEGV: put("Segmentation fault\n"); break;
    case SIGBUS: put("Bus error\n"); break;
    case SIGILL: put("Illegal instruction\n"); break;
    default: put("Trace trap\n"); break;
  }
  detail::clean_up();
  ::signal(SIGABRT, SIG_DFL);
  std::abort();
}

// Signals sent to the run: noted for the next safe point. SIGTERM resumes a
// PAUSE instead.
void on_signal(int sig) {
  if (sig == SIGTERM && pausing) {
    resumed = 1;
    return;
  }
  if (pending == 0) pending = sig;
}

constexpr int kFaultSignals[] = {SIGFPE, SIGABRT, SIGTRAP, SIGSEGV, SIGBUS, SIGILL};

// The fault handler's own stack: one that overflowed cannot run it.
alignas(16) char fault_stack[65536];

void install(int sig, void (*handler)(int), bool keep_ignored, int flags = 0) {
  struct sigaction now {};
  if (keep_ignored && ::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = flags;
  ::sigemptyset(&action.sa_mask);
  // The handlers that send records never run inside each other.
  if (handler != on_signal) {
    ::sigaddset(&action.sa_mask, SIGALRM);
    for (const int fault : kFaultSignals) ::sigaddset(&action.sa_mask, fault);
  }
  ::sigaction(sig, &action, nullptr);
}

void install_handlers() {
  stack_t alternate{};
  alternate.ss_sp = fault_stack;
  alternate.ss_size = sizeof fault_stack;
  ::sigaltstack(&alternate, nullptr);
  for (const int sig : kFaultSignals) install(sig, on_fatal_signal, false, SA_ONSTACK);
  install(SIGQUIT, on_signal, true);
  install(SIGINT, on_signal, true);
  install(SIGTERM, on_signal, false);
  // A closed terminal ends the run like SIGTERM; left alone under nohup.
  install(SIGHUP, on_signal, true);
  install(SIGALRM, detail::on_timer, false, SA_RESTART);
  // A mask handed down by the parent would keep these from ever arriving:
  // a blocked SIGALRM holds the records back, a blocked SIGTERM leaves a
  // waiting run unending.
  sigset_t handled;
  ::sigemptyset(&handled);
  for (const int sig : kFaultSignals) ::sigaddset(&handled, sig);
  for (const int sig : {SIGQUIT, SIGINT, SIGTERM, SIGHUP, SIGALRM}) ::sigaddset(&handled, sig);
  ::sigprocmask(SIG_UNBLOCK, &handled, nullptr);
  detail::serve_timer();
  // A file-size limit or a reader gone away is a failed write (EFBIG, EPIPE)
  // that the run reports, not a silent death mid-record.
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
}

void resume() { say("Execution resumes after PAUSE.\n"); }

// The status of an end that the design makes 0: 1 when an output failed.
int ending_status() { return output_failed() ? 1 : 0; }

}  // namespace

namespace detail {

bool signal_pending() { return pending != 0; }

bool ending() { return acting; }

void clean_up() {
  const EndCleanup cleanup = end_cleanup.load();
  if (cleanup != nullptr) cleanup();
}

void act_on_signals() {
  const int sig = pending;
  if (sig == 0 || acting) return;
  acting = true;
  if (sig == SIGQUIT) {
    say("Quit signal\n");
    close_all();
    if (end_hook != nullptr) end_hook(-1);
    ::signal(SIGABRT, SIG_DFL);
    std::abort();
  }
  say(sig == SIGTERM ? "Killed\n" : sig == SIGHUP ? "Hangup\n" : "Interrupt\n");
  close_all();
  if (end_hook != nullptr) end_hook(1);
  ::_exit(1);
}

}  // namespace detail

void pause(std::string_view message) {
  detail::flush_all();
  std::string head = "PAUSE ";
  if (!message.empty()) head.append(" ").append(message);
  head += " statement executed\n";
  say(head.c_str());
  if (::isatty(0)) {
    say("To resume execution, type go.  Other input will terminate the job.\n");
    char line[256];
    bool got = false;
    for (;;) {
      errno = 0;
      got = std::fgets(line, sizeof line, stdin) != nullptr;
      if (got || errno != EINTR) break;
      std::clearerr(stdin);
      detail::act_on_signals();  // a signal that interrupted the wait
    }
    if (got && std::strcmp(line, "go\n") == 0) {
      resume();
      return;
    }
    say("STOP\n");
    detail::close_all();
    std::exit(ending_status());
  }
  // SIGTERM is blocked before the request is shown and stays blocked except
  // inside sigsuspend, so a prompt signal is not lost or taken as "Killed".
  sigset_t term, old;
  ::sigemptyset(&term);
  ::sigaddset(&term, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &term, &old);
  resumed = 0;
  pausing = 1;
  const std::string how = "To resume execution, execute a   kill -15 " +
                          std::to_string(::getpid()) + "   command\n";
  say(how.c_str());
  sigset_t wait_mask = old;
  ::sigdelset(&wait_mask, SIGTERM);
  while (!resumed) {
    ::sigsuspend(&wait_mask);
    if (pending != 0) {
      pausing = 0;
      ::sigprocmask(SIG_SETMASK, &old, nullptr);
      detail::act_on_signals();
    }
  }
  pausing = 0;
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  resume();
}

void stop(std::string_view message) {
  if (!message.empty()) {
    const std::string text = "STOP " + std::string(message) + " statement executed\n";
    say(text.c_str());
  }
  detail::close_all();
  const int status = ending_status();
  if (detail::end_hook != nullptr) detail::end_hook(status);
  std::exit(status);
}

void complain_as(std::string_view name, std::string_view message) {
  std::fflush(stdout);
  std::string line;
  line.reserve(name.size() + message.size() + 3);
  line.append(name).append(": ").append(message).push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void complain(std::string_view message) { complain_as(program_name, message); }

void cannot_write(std::string_view name, std::string_view reason) {
  failed_output = 1;
  complain("cannot write " + std::string(name) + ": " + std::string(reason));
}

bool output_failed() { return failed_output != 0; }

void set_end_cleanup(EndCleanup cleanup) { end_cleanup.store(cleanup); }

void fail(std::string_view message) {
  complain(message);
  detail::close_all();
  if (detail::end_hook != nullptr) detail::end_hook(1);
  std::exit(1);
}

void set_end_hook(EndHook hook) { detail::end_hook = hook; }

void close_units() { detail::close_all(); }

void abort_run(std::string_view message) {
  const std::string text = std::string(message) + "\n";
  say(text.c_str());
  detail::close_all();
  if (detail::end_hook != nullptr) detail::end_hook(-1);
  ::signal(SIGABRT, SIG_DFL);
  std::abort();
}

int run(int argc, char** argv, const std::function<void()>& main_program) {
  // The handlers come first: a signal in the run's first moments is one the
  // run acts on.
  install_handlers();
  if (argc > 0 && argv[0] != nullptr) {
    const std::string_view path = argv[0];
    const std::size_t slash = path.rfind('/');
    program_name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  }
  detail::connect_standard_units();
  std::atexit(detail::close_all);
  detail::act_on_signals();
  main_program();
  detail::act_on_signals();
  detail::close_all();
  return ending_status();
}

}  // namespace recordio
