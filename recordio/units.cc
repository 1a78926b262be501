// Units, records, open/close and the fatal I/O report.
//
// Units 0 and 6 hand each record to the system in one write. A file unit
// keeps its whole records in a block of its own and sends them when the
// block is full, at close, at PAUSE and at every end of the run, and also
// when they have waited 0.1 s: a timer signal's handler sends them then,
// so that they reach the system in time also when no record follows (a
// quiet phase, or a run killed by a signal that no handler sees). The
// handler of the fault signals sends them the same way. Both handlers use
// only write() and the block's atomic counts, and send only bytes of whole
// records, so the file holds whole records at any moment; the run itself
// touches the counts of a sent block only with those signals held. A failed
// write is known at the record it failed for. A unit that reads goes
// through stdio.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <sched.h>
#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <memory>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "internal.h"
#include "recordio/recordio.h"

namespace recordio {
namespace detail {
namespace {

constexpr int kUnits = 100;  // unit numbers 0 to 99

// A file unit's records go to the system in blocks of this size (one system
// call a record made bandfit's run mostly system time), or after waiting
// this long. Units 0 and 6 are sent at every record, as a terminal expects.
constexpr std::size_t kPendingBlock = 16384;
constexpr long kWaitMicroseconds = 100000;

// The whole records of a file unit not yet sent, reachable from the signal
// handlers (which see nothing else): data[sent, made) waits. The run
// appends and then raises `made`; a handler sends and raises `sent`; only
// the run, with the handlers' signals held, lowers them again.
struct Block {
  int fd = -1;
  std::atomic<std::size_t> made{0};
  std::atomic<std::size_t> sent{0};
  std::atomic<int> error{0};  // errno of a write a handler failed at
  std::array<char, kPendingBlock> data;
};
static_assert(std::atomic<std::size_t>::is_always_lock_free);

// Signal-reachable: the blocks of the connected file units, whether the
// timer is set, and whether a handler serves it (run() installs one).
std::array<std::atomic<Block*>, kUnits> blocks{};
std::atomic<bool> timer_set{false};
std::atomic<bool> timer_served{false};

// Sends what waits in b: only write(), no other call. Stops at a
// descriptor that would block (a FIFO whose reader is slow). Returns
// whether anything still waits.
bool drain(Block& b) {
  if (b.fd < 0 || b.error.load() != 0) return false;
  std::size_t at = b.sent.load();
  const std::size_t end = b.made.load();
  while (at < end) {
    const ssize_t n = ::write(b.fd, b.data.data() + at, end - at);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN) b.error.store(errno);
      break;
    }
    at += static_cast<std::size_t>(n);
    b.sent.store(at);
  }
  return at < end && b.error.load() == 0;
}

void set_timer() {
  const itimerval once{{0, 0}, {0, kWaitMicroseconds}};
  ::setitimer(ITIMER_REAL, &once, nullptr);
}

// The signals whose handlers send blocks: held while the run changes a
// block's counts or sends it itself.
sigset_t sending_signals() {
  sigset_t set;
  ::sigemptyset(&set);
  for (int sig : {SIGALRM, SIGABRT, SIGFPE, SIGTRAP, SIGSEGV, SIGBUS, SIGILL}) ::sigaddset(&set, sig);
  return set;
}

// The thread that holds the blocks (0: none). A signal may be handled on
// any thread (the profile scan has helpers): a handler sends only when it
// can take the blocks, and the run takes them (on the main thread, with its
// own signals held, possibly more than once over when an ending closes the
// units inside a send) before it changes a block or sends it.
std::atomic<pid_t> holder{0};

bool take_blocks() {
  pid_t none = 0;
  return holder.compare_exchange_strong(none, ::gettid());
}

class HoldSending {
 public:
  HoldSending() {
    const sigset_t set = sending_signals();
    ::pthread_sigmask(SIG_BLOCK, &set, &old_);
    nested_ = holder.load() == ::gettid();
    if (!nested_) {
      while (!take_blocks()) ::sched_yield();  // a handler on another thread
    }
  }
  ~HoldSending() {
    if (!nested_) holder.store(0);
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  HoldSending(const HoldSending&) = delete;
  HoldSending& operator=(const HoldSending&) = delete;

 private:
  sigset_t old_;
  bool nested_ = false;
};

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
  long long offset = 0;     // bytes in the file before the block's first record
  std::unique_ptr<Block> block;  // a file unit's records not yet sent
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

}  // namespace

// Waits until fd can take more, letting the ending signals through only
// inside the wait (as wait_for_input does), and acts on one that came.
void wait_writable(int fd) {
  sigset_t sent, old;
  ::sigemptyset(&sent);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) ::sigaddset(&sent, sig);
  ::pthread_sigmask(SIG_BLOCK, &sent, &old);
  pollfd ready{fd, POLLOUT, 0};
  const int r = signal_pending() ? -1 : ::ppoll(&ready, 1, nullptr, &old);
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (r < 0) act_on_signals();
}

int write_some(int fd, const char* data, std::size_t size, std::size_t& taken) {
  for (;;) {
    const ssize_t n = ::write(fd, data, size);
    if (n >= 0) {
      taken = static_cast<std::size_t>(n);
      return 0;
    }
    const int err = errno;
    if (err == EINTR) {
      act_on_signals();
    } else if (err == EAGAIN && !ending()) {
      wait_writable(fd);
    } else {
      return err;
    }
  }
}

namespace {

// Writes a, then b, whole (write_some). Returns 0 or the errno of the failure.
int write_all(int fd, std::string_view a, std::string_view b) {
  for (std::string_view part : {a, b}) {
    while (!part.empty()) {
      std::size_t n = 0;
      if (const int err = write_some(fd, part.data(), part.size(), n); err != 0) return err;
      part.remove_prefix(n);
    }
  }
  return 0;
}

// The first failed write of a unit: one line naming the record, the status
// of the run raised to 1, and the unit's later records dropped so that the
// file keeps whole records only (a cut record is taken off again where the
// file allows it: `whole` bytes are whole records).
void write_failed(Unit& u, int unit, int err, long record, long long whole) {
  u.failed = true;
  if (unit == 6 && u.standard) state().stdout_failed = true;
  if (!u.standard && u.fd >= 0) {
    struct stat info {};
    if (::fstat(u.fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > whole) {
      if (::ftruncate(u.fd, static_cast<off_t>(whole)) != 0) {
        // The cut record stays; the message below says which it is.
      }
    }
  }
  cannot_write(label_of(u, unit),
               std::string(std::strerror(err)) + " (record " + std::to_string(record) + ")");
}

// Takes the unit's block out of the handlers' reach.
void forget_block(int unit) { blocks[static_cast<std::size_t>(unit)].store(nullptr); }

// A failure at byte `sent` of the block (a handler's or the run's): the
// record cut or refused there is the one named, and the file keeps the
// whole records before it. Called with the sending signals held.
void block_failed(Unit& u, int unit, int err) {
  Block& b = *u.block;
  const std::string_view made(b.data.data(), b.made.load());
  const std::string_view done = made.substr(0, b.sent.load());
  const auto records_in = [](std::string_view text) {
    return static_cast<long>(std::count(text.begin(), text.end(), '\n'));
  };
  const long first = u.records - records_in(made) + 1;
  const long long whole = u.offset + static_cast<long long>(done.rfind('\n') + 1);
  forget_block(unit);
  b.made.store(0);
  b.sent.store(0);
  write_failed(u, unit, err, first + records_in(done), whole);
}

// Sends what waits in a file unit's block, all of it, and empties the block.
void send_pending(Unit& u, int unit) {
  if (u.block == nullptr) return;
  Block& b = *u.block;
  const HoldSending held;
  if (u.failed) return;
  int err = b.error.load();
  while (err == 0 && b.sent.load() < b.made.load()) {
    const std::size_t at = b.sent.load();
    std::size_t n = 0;
    err = write_some(b.fd, b.data.data() + at, b.made.load() - at, n);
    if (err == 0) b.sent.store(at + n);
  }
  if (err != 0) {
    block_failed(u, unit, err);
    return;
  }
  u.offset += static_cast<long long>(b.made.load());
  b.made.store(0);
  b.sent.store(0);
}

// Appends one record to a file unit's block, sending the block first when
// the record does not fit (and the record itself when it is longer than a
// block), and sets the timer for it.
void append_record(Unit& u, int unit, std::string_view record) {
  Block& b = *u.block;
  if (const int err = b.error.load(); err != 0) {  // a handler failed to send
    const HoldSending held;
    block_failed(u, unit, err);
    return;
  }
  std::size_t made = b.made.load();
  if (made != 0 && b.sent.load() == made) {  // all sent: start the block again
    const HoldSending held;
    u.offset += static_cast<long long>(made);
    b.made.store(0);
    b.sent.store(0);
    made = 0;
  }
  const std::size_t size = record.size() + 1;
  if (made + size > b.data.size()) {
    send_pending(u, unit);
    if (u.failed) return;
    made = 0;
  }
  if (size > b.data.size()) {
    const HoldSending held;
    if (const int err = write_all(u.fd, record, "\n"); err != 0) {
      write_failed(u, unit, err, u.records, u.offset);
    } else {
      u.offset += static_cast<long long>(size);
    }
    return;
  }
  std::copy(record.begin(), record.end(), b.data.begin() + static_cast<long>(made));
  b.data[made + size - 1] = '\n';
  b.made.store(made + size);
  if (timer_served.load() && !timer_set.exchange(true)) set_timer();
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
    if (!u.standard) {
      send_pending(u, unit);
      const HoldSending held;  // no handler is sending the block it frees
      forget_block(unit);
    }
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
  ::pthread_sigmask(SIG_BLOCK, &sent, &old);
  pollfd ready{::fileno(in), POLLIN, 0};
  int r = -1;
  // Another signal (the records' timer) only interrupts the wait.
  while (!signal_pending() && (r = ::ppoll(&ready, 1, nullptr, &old)) < 0 && errno == EINTR) {
  }
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
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
    // A FIFO's open waits for a reader: a signal that ends the run ends it
    // there, as the signal it is.
    while ((u.fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) < 0 &&
           errno == EINTR) {
      act_on_signals();
    }
    if (u.fd < 0) {
      ++u.records;
      write_failed(u, unit, errno, u.records, 0);
      return;
    }
    // A FIFO, a terminal or a device that would block a write (a reader
    // that does not read) must not block the handlers or an ending:
    // write_some waits for it where the run may wait.
    struct stat info {};
    if (::fstat(u.fd, &info) == 0 && !S_ISREG(info.st_mode)) {
      ::fcntl(u.fd, F_SETFL, ::fcntl(u.fd, F_GETFL) | O_NONBLOCK);
    }
    u.block = std::make_unique<Block>();
    u.block->fd = u.fd;
    blocks[static_cast<std::size_t>(unit)].store(u.block.get());
  }
  ++u.records;
  if (u.failed) return;
  if (!u.standard) {
    append_record(u, unit, record);
  } else {
    int err = unit == 6 ? flush_stdout() : 0;
    if (err == 0) err = write_all(u.fd, record, "\n");
    if (err != 0) {
      write_failed(u, unit, err, u.records, 0);
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

void send_waiting_records() {
  // The run may be sending on another thread: wait for it a moment (0.1 s
  // at most), then send only if the blocks are free.
  bool taken = false;
  for (int tries = 0; !(taken = take_blocks()) && tries < 1000; ++tries) {
    const timespec moment{0, 100000};
    ::nanosleep(&moment, nullptr);
  }
  if (!taken) return;
  for (std::atomic<Block*>& slot : blocks) {
    if (Block* b = slot.load()) drain(*b);
  }
  holder.store(0);
}

void on_timer(int) {
  const int saved = errno;
  timer_set.store(false);
  bool waiting = true;  // the run holds the blocks: try again later
  if (take_blocks()) {
    waiting = false;
    for (std::atomic<Block*>& slot : blocks) {
      if (Block* b = slot.load()) waiting = drain(*b) || waiting;
    }
    holder.store(0);
  }
  if (waiting && !timer_set.exchange(true)) set_timer();
  errno = saved;
}

void serve_timer() { timer_served.store(true); }

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
  clean_up();
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
