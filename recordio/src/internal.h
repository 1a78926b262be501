// Internals shared by the parts of the record I/O library: the unit table,
// the record transfer primitives, the statement state kept for the fatal
// report, and the FORMAT item texts. Only the library's own sources (and its
// unit test) have this directory on their include path.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "recordio/recordio.h"
#include "recordio/testing.h"
#include "recordio/waiting.h"

namespace recordio::detail {

// --- Statement state (units.cc) ---------------------------------------------

// Marks the start of a data transfer statement. The flags stay as the
// "lately" state of the fatal report until the next statement begins; the
// FORMAT text (empty for list-directed statements) is shown as "last format"
// only while its statement runs. unit is ignored for internal I/O.
void begin_statement(bool reading, bool external, int unit, std::string_view format = {});
// Marks the end of a data transfer statement: flushes units 0 and 6 and
// forgets the FORMAT.
void end_statement();

// The fatal I/O report: "op: reason", the apparent state, the last format,
// the lately line; then every unit is flushed and closed and the program
// aborts with the default SIGABRT action.
[[noreturn]] void fatal(std::string_view op, std::string_view reason);

// The hook of recordio/testing.h (set_end_hook); null in programs. Global
// because the process ends where it is read, far from any caller.
inline EndHook end_hook = nullptr;

// --- Signals (program.cc) ---------------------------------------------------

// act_on_signals is in waiting.h, for the layers above as well.

// Whether a signal waits to be acted on.
bool signal_pending();
// Whether the run is ending (for a signal): nothing may wait any more.
bool ending();

// Runs the routine of set_end_cleanup, if any. Safe inside a signal
// handler; every end of the run calls it through close_all().
void clean_up();

// --- Units (units.cc) -------------------------------------------------------

// write_some is in waiting.h, for the layers above as well.

// The longest record a read accepts (kLongestLine).
inline constexpr std::size_t kMaxRecord = kLongestLine;

// Appends one record (the text and a newline) to the unit, connecting it to
// "fort.N" on its first write. op names the statement for a fatal report.
// A file that cannot be made or written is reported once through
// cannot_write, with the record's number; the unit's later records are
// dropped and the run goes on.
void write_record(int unit, std::string_view record, std::string_view op);

// Reads the next record of the unit into record (without its newline).
// Returns false at end of input. A unit never connected reads "fort.N" when
// that file exists and is otherwise at end of input (nothing is created).
// A read error is fatal with its reason; a record longer than 1 MiB is
// refused (fail) with its line number.
bool read_record(int unit, std::string& record, std::string_view op);

// The number of records read from the unit so far: the line a read is at.
long record_number(int unit);
// "program: NAME: line N: what; is there a decimal comma or a header
// line?" on standard error, once per connection of the unit.
void warn_layout(int unit, long line, std::string_view what);
// "program: NAME: line N: what" on standard error, then the run ends as
// fail() ends it (status 1).
[[noreturn]] void refuse_line(int unit, long line, std::string_view what);

// The records' timer (SIGALRM) handler: sends the records that wait in
// every file unit's block. serve_timer() says that it is installed; until
// then no timer is set, and records go at block full, close and the ends.
void on_timer(int sig);
void serve_timer();
// Sends the whole records that wait in every file unit's block with
// write() alone: for the fault signals' handler.
void send_waiting_records();

// Connects units 0, 5 and 6 (done on first use as well).
void connect_standard_units();
// Sends every file unit's waiting records and flushes standard output,
// reporting a failure (safe to call again at any point).
void flush_all();
// Flushes and closes every unit; 0, 5 and 6 are flushed, not closed.
void close_all();

// --- Item texts (format.cc) -------------------------------------------------

// Iw.m (m < 0: no minimum digit count).
std::string int_field(std::int64_t v, int w, int m);
// Fw.d.
std::string fixed_field(double v, int w, int d);
// Ew.d, Ew.dEe (e = 0: two exponent digits, three without the letter when
// needed); letter is 'E' or 'D'.
std::string exp_field(double v, int w, int d, int e, char letter);

}  // namespace recordio::detail
