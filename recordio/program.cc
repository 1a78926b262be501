// Program entry, the signal handlers, PAUSE, STOP and the programs' own
// messages.
//
// The handlers of the signals a user sends (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT) only note the signal; the run acts on it at its next safe point
// (act_on_signals), where closing the units and printing are safe. They are
// installed without SA_RESTART, so that a read that waits for input is
// interrupted and acts as well. The signals of a fault in the program itself
// (SIGFPE, SIGABRT, SIGTRAP) cannot wait: their handler does only what is
// safe in a handler (write, unlink) and aborts.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "internal.h"
#include "recordio/cli.h"
#include "recordio/recordio.h"
#include "recordio/replace_file.h"
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

// Text on standard error by the system call alone (safe in a handler).
void put(const char* text) {
  ssize_t ignored = ::write(2, text, std::strlen(text));
  (void)ignored;
}

void say(const char* text) {
  std::fflush(stdout);
  put(text);
}

// Fatal signals: the message, the temporaries removed, then an abort with the
// default action so that a core image can be written. The units hold nothing
// back (each record is written whole when it is made), so nothing is flushed.
void on_fatal_signal(int sig) {
  switch (sig) {
    case SIGFPE: put("Floating Exception\n"); break;
    case SIGABRT: put("IOT Trap\n"); break;
    default: put("Trace trap\n"); break;
  }
  detail::remove_temporaries();
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

void install(int sig, void (*handler)(int), bool keep_ignored) {
  struct sigaction now {};
  if (keep_ignored && ::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = 0;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
}

void resume() { say("Execution resumes after PAUSE.\n"); }

// The status of an end that the design makes 0: 1 when an output failed.
int ending_status() { return output_failed() ? 1 : 0; }

}  // namespace

namespace detail {

bool signal_pending() { return pending != 0; }

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

void complain(std::string_view message) { cli::complain(program_name, message); }

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
  if (argc > 0 && argv[0] != nullptr) {
    const std::string_view path = argv[0];
    const std::size_t slash = path.rfind('/');
    program_name = std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
  }
  install(SIGFPE, on_fatal_signal, false);
  install(SIGABRT, on_fatal_signal, false);
  install(SIGTRAP, on_fatal_signal, false);
  install(SIGQUIT, on_signal, true);
  install(SIGINT, on_signal, true);
  install(SIGTERM, on_signal, false);
  // A closed terminal ends the run like SIGTERM; left alone under nohup.
  install(SIGHUP, on_signal, true);
  // A file-size limit or a reader gone away is a failed write (EFBIG, EPIPE)
  // that the run reports, not a silent death mid-record.
  ::signal(SIGXFSZ, SIG_IGN);
  ::signal(SIGPIPE, SIG_IGN);
  detail::connect_standard_units();
  std::atexit(detail::close_all);
  main_program();
  detail::act_on_signals();
  detail::close_all();
  return ending_status();
}

}  // namespace recordio
