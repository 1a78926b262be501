// Internals shared by the parts of the record I/O library: the unit table,
// the record transfer primitives, the statement state kept for the fatal
// report, and the FORMAT item texts. Only the library's own sources (and its
// unit test) have this directory on their include path.
#pragma once

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "recordio/testing.h"

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

// --- Signals that end the run (program.cc) ----------------------------------

// Non-zero while write_record stores a record. An ending signal (SIGINT,
// SIGTERM) that arrives then is noted in ending_deferred (the lower number
// when both come, the order the kernel delivers pending signals in) and acted
// on as soon as the record is whole.
inline volatile std::sig_atomic_t in_record = 0;
inline volatile std::sig_atomic_t ending_deferred = 0;

// Ends the run for an ending signal: "Interrupt" or "Killed" on standard
// error, every unit closed, exit status 1. Safe inside a signal handler.
[[noreturn]] void end_by_signal(int sig);

// --- Temporary files (replace_file.cc) --------------------------------------

// Removes every temporary of a ReplaceFile not yet committed. Safe inside a
// signal handler; every end of the run calls it through close_all().
void remove_temporaries();

// --- Units (units.cc) -------------------------------------------------------

// Appends one record (the text and a newline) to the unit, connecting it to
// "fort.N" on its first write. op names the statement for a fatal report.
void write_record(int unit, std::string_view record, std::string_view op);

// Reads the next record of the unit into record (without its newline).
// Returns false at end of input. A unit never connected reads "fort.N" when
// that file exists and is otherwise at end of input (nothing is created).
bool read_record(int unit, std::string& record, std::string_view op);

// Connects units 0, 5 and 6 (done on first use as well).
void connect_standard_units();
// Flushes every unit that writes (safe to call again at any point).
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
