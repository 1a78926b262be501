// Units, records, open/close and the fatal I/O report.
//
// A unit that writes hands each record to the system in one write (no
// buffer of our own or of stdio in between), so that a file holds whole
// records at any moment a signal may end the run, and a failed write is
// known at the record it failed for. A unit that reads goes through stdio.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "internal.h"
#include "recordio/recordio.h"
#include "recordio/replace_file.h"

namespace recordio {
namespace detail {
namespace {

constexpr int kUnits = 100;  // unit numbers 0 to 99

// A file unit's records go to the system in blocks of about this size (one
// system call a record made bandfit's run mostly system time). Units 0 and 6
// are sent at every record, as a terminal expects.
constexpr std::size_t kPendingBlock = 16384;

enum class Mode { kNone, kRead, kWrite };

struct Unit {
  bool connected = false;
  bool standard = false;  // 0, 5 or 6: the process's own streams
  Mode mode = Mode::kNone;
  std::FILE* in = nullptr;  // reading
  int fd = -1;              // writing
  std::string name;         // empty: unnamed
  long records = 0;         // records read or written so far
  bool ended = false;       // the last read met the end of the input
  bool failed = false;      // a write failed: said once, later records dropped
  bool warned = false;      // the layout warning has been given
  long long offset = 0;     // bytes written: where the next record starts
  std::string pending;      // whole records not yet sent to a file unit's descriptor
  long bytes = 0;           // bytes read
  long fail_at = LONG_MAX;  // reads fail once `bytes` reaches this (testing.h)
};

struct State {
  Unit units[kUnits];
  bool standard_connected = false;
  // The last statement, for the fatal report.
  bool reading = false;
  bool external = true;
  int unit = -1;
  std::string_view format;
  bool format_active = false;
  // A data transfer statement runs and has asked its unit for a record: a
  // fatal report then names the line it failed at.
  bool transferring = false;
  bool read_attempted = false;
  // Standard output has failed and said so (it outlives unit 6's
  // connection: output printed outside the unit is checked at the end too).
  bool stdout_failed = false;
  // The read failure asked for by fail_reads().
  std::string fail_name;
  long fail_bytes = LONG_MAX;
  int fail_error = 0;
};

State& state() {
  static State s;
  return s;
}

std::string fort_name(int unit) { return "fort." + std::to_string(unit); }

void check_unit_number(int unit, std::string_view op) {
  if (unit < 0 || unit >= kUnits) fatal(op, "illegal unit number");
}

Unit& unit_at(int unit) {
  connect_standard_units();
  return state().units[unit];
}

std::string label_of(const Unit& u, int unit) {
  if (!u.standard) return u.name;
  return unit == 5 ? "standard input" : unit == 6 ? "standard output" : "standard error";
}

// The read failure of fail_reads() applies to the unit when its name matches.
void arm_read_failure(Unit& u, int unit) {
  const State& s = state();
  u.fail_at = !s.fail_name.empty() && label_of(u, unit) == s.fail_name ? s.fail_bytes : LONG_MAX;
}

// Writes a, then b, whole: retries after a signal and after a partial write.
// Returns 0 or the errno of the failure.
int write_all(int fd, std::string_view a, std::string_view b) {
  iovec parts[2] = {{const_cast<char*>(a.data()), a.size()}, {const_cast<char*>(b.data()), b.size()}};
  iovec* part = parts;
  int count = 2;
  while (count > 0) {
    if (part->iov_len == 0) {
      ++part;
      --count;
      continue;
    }
    const ssize_t n = ::writev(fd, part, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    auto left = static_cast<std::size_t>(n);
    while (count > 0 && left >= part->iov_len) {
      left -= part->iov_len;
      ++part;
      --count;
    }
    if (count > 0) {
      part->iov_base = static_cast<char*>(part->iov_base) + left;
      part->iov_len -= left;
    }
  }
  return 0;
}

// The first failed write of a unit: one line naming the record, the status
// of the run raised to 1, and the unit's later records dropped so that the
// file keeps whole records only (a cut record is taken off again where the
// file allows it).
void write_failed(Unit& u, int unit, int err, long record) {
  u.failed = true;
  if (unit == 6 && u.standard) state().stdout_failed = true;
  if (!u.standard && u.fd >= 0) {
    struct stat info {};
    if (::fstat(u.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > u.offset) {
      if (::ftruncate(u.fd, static_cast<off_t>(u.offset)) != 0) {
        // The cut record stays; the message below says which it is.
      }
    }
  }
  cannot_write(label_of(u, unit),
               std::string(std::strerror(err)) + " (record " + std::to_string(record) + ")");
}

// Sends a file unit's pending records. On a failure the record that was cut
// or refused is the one named, and the file keeps the whole records before it.
void send_pending(Unit& u, int unit) {
  if (u.failed || u.fd < 0) {
    u.pending.clear();
    return;
  }
  std::size_t sent = 0;
  int err = 0;
  while (sent < u.pending.size()) {
    const ssize_t n = ::write(u.fd, u.pending.data() + sent, u.pending.size() - sent);
    if (n < 0) {
      if (errno == EINTR) continue;
      err = errno;
      break;
    }
    sent += static_cast<std::size_t>(n);
  }
  if (err == 0) {
    u.offset += static_cast<long long>(sent);
    u.pending.clear();
    return;
  }
  const std::string_view done(u.pending.data(), sent);
  const std::size_t whole = done.rfind('\n') + 1;  // 0 when no record went whole
  const auto records_in = [](std::string_view text) {
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
  };
  const long first = u.records - records_in(u.pending) + 1;
  u.offset += static_cast<long long>(whole);
  const long failed = first + records_in(done);
  u.pending.clear();
  write_failed(u, unit, err, failed);
}

// stdio output that the program itself printed to standard output (not
// through unit 6) goes out before a record of unit 6 and at the end.
int flush_stdout() {
  if (std::fflush(stdout) != 0) return errno != 0 ? errno : EIO;
  if (std::ferror(stdout)) {
    std::clearerr(stdout);
    return EIO;
  }
  return 0;
}

// Standard output printed outside unit 6 is checked as well: flushed, and
// a failure said once.
void check_stdout() {
  State& s = state();
  if (s.stdout_failed) return;
  if (const int err = flush_stdout(); err != 0) {
    s.stdout_failed = true;
    cannot_write("standard output", std::strerror(err));
  }
}

void release(Unit& u, int unit) {
  if (u.mode == Mode::kWrite) {
    if (!u.standard) send_pending(u, unit);
    if (u.standard) {
      if (unit == 6) check_stdout();
    } else if (u.fd >= 0 && ::close(u.fd) != 0 && !u.failed && errno != EINTR) {
      // Records written earlier may be lost: say so rather than end quietly.
      u.failed = true;
      cannot_write(label_of(u, unit), std::strerror(errno));
    }
  } else if (u.in != nullptr && !u.standard) {
    std::fclose(u.in);
  }
  u = Unit{};
}

// Waits until the stream's descriptor has input (or its end), acting on a
// signal that comes meanwhile. The signals are blocked from the check of the
// flag until ppoll waits, so that one arriving just before the wait is not
// noted and then slept through.
void wait_for_input(std::FILE* in) {
  sigset_t sent, old;
  ::sigemptyset(&sent);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaddset(&sent, sig);
  ::sigprocmask(SIG_BLOCK, &sent, &old);
  pollfd ready{::fileno(in), POLLIN, 0};
  const int r = signal_pending() ? -1 : ::ppoll(&ready, 1, nullptr, &old);
  ::sigprocmask(SIG_SETMASK, &old, nullptr);
  if (r < 0) act_on_signals();
}

// The next character of a reading unit, EOF at its end. A read error is
// fatal with its reason, never taken for the end; a read that a signal
// interrupted lets the run act on the signal, then reads on.
int next_char(Unit& u, std::string_view op) {
  for (;;) {
    if (u.bytes >= u.fail_at) fatal(op, std::strerror(state().fail_error));
    // stdio's buffer is empty: the next getc would wait in the system.
    if (u.in->_IO_read_ptr >= u.in->_IO_read_end) wait_for_input(u.in);
    const int c = std::getc(u.in);
    if (c != EOF) {
      ++u.bytes;
      return c;
    }
    if (!std::ferror(u.in)) return EOF;
    const int err = errno;
    std::clearerr(u.in);
    if (err == EINTR) {
      act_on_signals();
      continue;
    }
    fatal(op, std::strerror(err != 0 ? err : EIO));
  }
}

}  // namespace

void connect_standard_units() {
  State& s = state();
  if (s.standard_connected) return;
  s.standard_connected = true;
  Unit& e = s.units[0];
  e = Unit{};
  e.connected = e.standard = true;
  e.mode = Mode::kWrite;
  e.fd = 2;
  Unit& in = s.units[5];
  in = Unit{};
  in.connected = in.standard = true;
  in.mode = Mode::kRead;
  in.in = stdin;
  arm_read_failure(in, 5);
  Unit& out = s.units[6];
  out = Unit{};
  out.connected = out.standard = true;
  out.mode = Mode::kWrite;
  out.fd = 1;
  out.failed = s.stdout_failed;
}

void begin_statement(bool reading, bool external, int unit, std::string_view format) {
  State& s = state();
  s.reading = reading;
  s.external = external;
  s.unit = unit;
  s.format = format;
  s.format_active = !format.empty();
  s.transferring = true;
  s.read_attempted = false;
}

void end_statement() {
  State& s = state();
  s.format_active = false;
  s.format = {};
  s.transferring = false;
  act_on_signals();
}

void fatal(std::string_view op, std::string_view reason) {
  State& s = state();
  std::string report;
  report.append(op).append(": ").append(reason).append("\n");
  if (s.external && s.unit >= 0 && s.unit < kUnits) {
    const Unit& u = s.units[s.unit];
    report += "apparent state: unit " + std::to_string(s.unit) + " ";
    if (!u.name.empty()) {
      report += "named " + u.name + "\n";
    } else {
      report += "(unnamed)\n";
    }
  } else if (s.external) {
    report += "apparent state: unit " + std::to_string(s.unit) + " (unnamed)\n";
  } else {
    report += "apparent state: internal I/O\n";
  }
  if (s.format_active) report.append("last format: ").append(s.format).append("\n");
  report += "lately ";
  report += s.reading ? "reading" : "writing";
  report += " sequential formatted ";
  report += s.external ? "external" : "internal";
  report += " IO\n";
  // Where the read failed: the record holding the bad item, or the one
  // after the last record when the end was met.
  if (s.transferring && s.reading && s.read_attempted && s.unit >= 0 && s.unit < kUnits) {
    const Unit& u = s.units[s.unit];
    if (u.connected && u.mode == Mode::kRead) {
      report += "at line " + std::to_string(u.records + (u.ended ? 1 : 0)) + " of " +
                label_of(u, s.unit) + "\n";
    }
  }
  std::fflush(stdout);
  std::fputs(report.c_str(), stderr);
  std::fflush(stderr);
  close_all();
  if (end_hook != nullptr) end_hook(-1);
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

void write_record(int unit, std::string_view record, std::string_view op) {
  check_unit_number(unit, op);
  Unit& u = unit_at(unit);
  if (u.connected && u.standard && u.mode != Mode::kWrite) {
    fatal(op, std::strerror(EBADF));
  }
  if (!u.connected || u.mode != Mode::kWrite) {
    // First write: the file is created, or rewritten from its start. One
    // that cannot be made is the unit's failed first record.
    // A name given by name_new() or open_old(), else the unit's default.
    std::string name = u.name.empty() ? fort_name(unit) : u.name;
    release(u, unit);
    u.name = name;
    u.connected = true;
    u.mode = Mode::kWrite;
    u.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (u.fd < 0) {
      ++u.records;
      write_failed(u, unit, errno, u.records);
      return;
    }
  }
  ++u.records;
  if (u.failed) return;
  if (!u.standard) {
    u.pending.append(record).push_back('\n');
    if (u.pending.size() >= kPendingBlock) send_pending(u, unit);
  } else {
    int err = unit == 6 ? flush_stdout() : 0;
    if (err == 0) err = write_all(u.fd, record, "\n");
    if (err != 0) {
      write_failed(u, unit, err, u.records);
    } else {
      u.offset += static_cast<long long>(record.size()) + 1;
    }
  }
  // Between records: an ending signal that came meanwhile ends the run now.
  act_on_signals();
}

bool read_record(int unit, std::string& record, std::string_view op) {
  check_unit_number(unit, op);
  Unit& u = unit_at(unit);
  state().read_attempted = true;
  record.clear();
  if (!u.connected) {
    u.name = fort_name(unit);
    std::FILE* fp = std::fopen(u.name.c_str(), "r");
    if (fp == nullptr) return false;  // nothing to read, nothing created
    u.in = fp;
    u.connected = true;
    u.mode = Mode::kRead;
    arm_read_failure(u, unit);
  }
  if (u.mode != Mode::kRead || u.in == nullptr) return false;
  // Counted before its first character, so that a read error there names it.
  ++u.records;
  u.ended = false;
  int c = next_char(u, op);
  if (c == EOF) {
    --u.records;
    u.ended = true;
    return false;
  }
  while (c != EOF && c != '\n') {
    if (record.size() == kMaxRecord) {
      fail(label_of(u, unit) + ": line " + std::to_string(u.records) + ": longer than " +
           std::to_string(kMaxRecord) + " characters");
    }
    record.push_back(static_cast<char>(c));
    c = next_char(u, op);
  }
  // A record ended by CR LF (a file from another system) ends at the CR.
  if (!record.empty() && record.back() == '\r') record.pop_back();
  return true;
}

long record_number(int unit) { return state().units[unit].records; }

void warn_layout(int unit, long line, std::string_view what) {
  Unit& u = state().units[unit];
  if (u.warned) return;
  u.warned = true;
  complain(label_of(u, unit) + ": line " + std::to_string(line) + ": " + std::string(what) +
           "; is there a decimal comma or a header line?");
}

void refuse_line(int unit, long line, std::string_view what) {
  fail(label_of(state().units[unit], unit) + ": line " + std::to_string(line) + ": " +
       std::string(what));
}

void flush_all() {
  State& s = state();
  for (int k = 0; k < kUnits; ++k) {
    Unit& u = s.units[k];
    if (u.connected && u.mode == Mode::kWrite && !u.standard) send_pending(u, k);
  }
  check_stdout();
}

void close_all() {
  State& s = state();
  for (int k = 0; k < kUnits; ++k) {
    if (s.units[k].connected) release(s.units[k], k);
  }
  check_stdout();
  s.standard_connected = false;
  std::fflush(stderr);
  remove_temporaries();
}

}  // namespace detail

void fail_reads(std::string_view name, long bytes, int error) {
  using namespace detail;
  State& s = state();
  s.fail_name = name;
  s.fail_bytes = bytes;
  s.fail_error = error;
  for (int k = 0; k < kUnits; ++k) {
    if (s.units[k].connected && s.units[k].mode == Mode::kRead) arm_read_failure(s.units[k], k);
  }
}

void open_old(int unit, std::string_view name) {
  using namespace detail;
  const std::string_view op = "open";
  check_unit_number(unit, op);
  State& s = state();
  // The apparent state of an open is the unit being opened; the lately
  // flags stay those of the last data transfer statement.
  s.unit = unit;
  s.external = true;
  s.format_active = false;
  s.transferring = false;
  Unit& u = unit_at(unit);
  if (u.connected) release(u, unit);
  std::size_t end = name.find_last_not_of(' ');
  if (end == std::string_view::npos) fatal(op, "null file name");
  u.name.assign(name.substr(0, end + 1));
  std::FILE* fp = std::fopen(u.name.c_str(), "r");
  if (fp == nullptr) fatal(op, std::strerror(errno));
  // A directory opens for reading but its first read fails, which would pass
  // for an empty file: refuse it here like any other unreadable name.
  struct stat info {};
  if (::fstat(::fileno(fp), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(fp);
    fatal(op, std::strerror(EISDIR));
  }
  u.in = fp;
  u.connected = true;
  u.mode = Mode::kRead;
  arm_read_failure(u, unit);
}

void name_new(int unit, std::string_view name) {
  using namespace detail;
  check_unit_number(unit, "open");
  Unit& u = unit_at(unit);
  if (!u.connected) u.name.assign(name);
}

long records_read(int unit) {
  using namespace detail;
  if (unit < 0 || unit >= kUnits) return 0;
  const Unit& u = unit_at(unit);
  return u.connected && u.mode == Mode::kRead ? u.records : 0;
}

void close(int unit) {
  using namespace detail;
  if (unit < 0 || unit >= kUnits) return;
  Unit& u = unit_at(unit);
  if (u.connected) release(u, unit);
}

}  // namespace recordio
