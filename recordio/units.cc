// Units, records, open/close and the fatal I/O report.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
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

enum class Mode { kNone, kRead, kWrite };

struct Unit {
  bool connected = false;
  bool standard = false;  // 0, 5 or 6: the process's own streams
  Mode mode = Mode::kNone;
  std::FILE* fp = nullptr;
  std::string name;  // empty: unnamed
  long records = 0;    // records read so far
  bool ended = false;  // the last read met the end of the input
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

void release(Unit& u) {
  if (u.fp != nullptr) {
    if (u.standard) {
      std::fflush(u.fp);
    } else if (std::fclose(u.fp) != 0 && u.mode == Mode::kWrite) {
      // Records written earlier may be lost: say so rather than end quietly.
      complain("cannot finish writing " + u.name + ": " + std::strerror(errno));
    }
  }
  u = Unit{};
}

}  // namespace

void connect_standard_units() {
  State& s = state();
  if (s.standard_connected) return;
  s.standard_connected = true;
  Unit& e = s.units[0];
  e = Unit{true, true, Mode::kWrite, stderr, {}};
  Unit& in = s.units[5];
  in = Unit{true, true, Mode::kRead, stdin, {}};
  Unit& out = s.units[6];
  out = Unit{true, true, Mode::kWrite, stdout, {}};
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
  if (s.standard_connected) {
    for (int k : {0, 6}) {
      Unit& u = s.units[k];
      if (u.fp != nullptr && u.mode == Mode::kWrite) std::fflush(u.fp);
    }
  }
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
                (u.standard ? std::string("standard input") : u.name) + "\n";
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
    // First write: the file is created, or rewritten from its start.
    // A name given by name_new() or open_old(), else the unit's default.
    std::string name = u.name.empty() ? fort_name(unit) : u.name;
    if (u.fp != nullptr) std::fclose(u.fp);
    u = Unit{};
    u.name = name;
    u.fp = std::fopen(name.c_str(), "w");
    if (u.fp == nullptr) fatal(op, std::strerror(errno));
    u.connected = true;
    u.mode = Mode::kWrite;
  }
  // SIGINT and SIGTERM close every unit and end the run; one that arrives
  // while the record is stored waits for its end (a flag rather than two
  // system calls to mask and unmask the signals), so files keep whole
  // records only. The fences keep the compiler from moving the transfer
  // across the flag.
  in_record = 1;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  std::fwrite(record.data(), 1, record.size(), u.fp);
  std::fputc('\n', u.fp);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  in_record = 0;
  if (ending_deferred != 0) end_by_signal(ending_deferred);
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
    u.fp = fp;
    u.connected = true;
    u.mode = Mode::kRead;
  }
  if (u.mode != Mode::kRead || u.fp == nullptr) return false;
  int c = std::getc(u.fp);
  if (c == EOF) {
    u.ended = true;
    return false;
  }
  ++u.records;
  u.ended = false;
  while (c != EOF && c != '\n') {
    record.push_back(static_cast<char>(c));
    c = std::getc(u.fp);
  }
  // A record ended by CR LF (a file from another system) ends at the CR.
  if (!record.empty() && record.back() == '\r') record.pop_back();
  return true;
}

void flush_all() {
  State& s = state();
  for (Unit& u : s.units) {
    if (u.fp != nullptr && u.mode == Mode::kWrite) std::fflush(u.fp);
  }
}

void close_all() {
  State& s = state();
  for (Unit& u : s.units) {
    if (u.connected) release(u);
  }
  s.standard_connected = false;
  std::fflush(stdout);
  std::fflush(stderr);
  remove_temporaries();
}

}  // namespace detail

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
  if (u.connected) release(u);
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
  u.fp = fp;
  u.connected = true;
  u.mode = Mode::kRead;
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
  if (u.connected) release(u);
}

}  // namespace recordio
