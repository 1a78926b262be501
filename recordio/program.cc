// Program entry, the signal handlers, PAUSE, STOP and the programs' own
// messages.
#include <signal.h>
#include <unistd.h>

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

// Set by SIGTERM while a PAUSE waits for it; a signal handler can reach
// nothing but globals.
volatile sig_atomic_t pausing = 0;
volatile sig_atomic_t resumed = 0;

void say(const char* text) {
  std::fflush(stdout);
  ssize_t ignored = ::write(2, text, std::strlen(text));
  (void)ignored;
}

// Fatal signals: the message, every unit flushed and closed, then an abort
// with the default action so that a core image can be written.
void on_fatal_signal(int sig) {
  switch (sig) {
    case SIGFPE: say("Floating Exception\n"); break;
    case SIGABRT: say("IOT Trap\n"); break;
    case SIGTRAP: say("Trace trap\n"); break;
    default: say("Quit signal\n"); break;
  }
  detail::close_all();
  ::signal(SIGABRT, SIG_DFL);
  std::abort();
}

// SIGINT and SIGTERM end the run with status 1, after the record being
// stored, if any; SIGTERM resumes a PAUSE.
void on_ending_signal(int sig) {
  if (sig == SIGTERM && pausing) {
    resumed = 1;
    return;
  }
  if (detail::in_record) {
    if (detail::ending_deferred == 0 || sig < detail::ending_deferred) {
      detail::ending_deferred = sig;
    }
    return;
  }
  detail::end_by_signal(sig);
}

// restart: a system call the handler interrupts carries on (a record's write
// to a pipe must not fail because an ending signal was noted for later).
void install(int sig, void (*handler)(int), bool keep_ignored, bool restart = false) {
  struct sigaction now {};
  if (keep_ignored && ::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) return;
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = restart ? SA_RESTART : 0;
  ::sigemptyset(&action.sa_mask);
  ::sigaction(sig, &action, nullptr);
}

void resume() { say("Execution resumes after PAUSE.\n"); }

}  // namespace

void pause(std::string_view message) {
  detail::flush_all();
  std::string head = "PAUSE ";
  if (!message.empty()) head.append(" ").append(message);
  head += " statement executed\n";
  say(head.c_str());
  if (::isatty(0)) {
    say("To resume execution, type go.  Other input will terminate the job.\n");
    char line[256];
    if (std::fgets(line, sizeof line, stdin) != nullptr && std::strcmp(line, "go\n") == 0) {
      resume();
      return;
    }
    say("STOP\n");
    detail::close_all();
    std::exit(0);
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
  while (!resumed) ::sigsuspend(&wait_mask);
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
  if (detail::end_hook != nullptr) detail::end_hook(0);
  std::exit(0);
}

void complain(std::string_view message) { cli::complain(program_name, message); }

void fail(std::string_view message) {
  complain(message);
  detail::close_all();
  if (detail::end_hook != nullptr) detail::end_hook(1);
  std::exit(1);
}

namespace detail {

void end_by_signal(int sig) {
  say(sig == SIGTERM ? "Killed\n" : "Interrupt\n");
  close_all();
  ::_exit(1);
}

}  // namespace detail

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
  install(SIGQUIT, on_fatal_signal, true);
  install(SIGINT, on_ending_signal, true, true);
  install(SIGTERM, on_ending_signal, false, true);
  detail::connect_standard_units();
  std::atexit(detail::close_all);
  main_program();
  detail::close_all();
  return output_failed() ? 1 : 0;
}

}  // namespace recordio
