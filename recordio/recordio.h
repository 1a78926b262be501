// Record I/O for the fitters: numbered units, list-directed read and write,
// FORMAT-driven write, writes into CHARACTER variables, PAUSE, STOP, the fatal
// I/O report and the program entry with its signal handlers.
//
// Units 0, 5 and 6 are standard error, input and output. Any other unit is
// connected by open_old() or, on its first write, to the file "fort.N" in the
// current directory (created, or rewritten from its start). A file unit's
// whole records go to the system in blocks: when a block is full, at close,
// PAUSE and every end of the run, and at the latest 0.1 s after they were
// made (a timer, once run() has installed its handler). Every unit is
// flushed and closed at exit, normal or not; a fault signal's handler sends
// the waiting records.
//
// Malformed input, end of input without an end-of-file outcome, a read
// error, a missing "old" file and writing past a CHARACTER variable are
// fatal: the report goes to standard error, all units are closed and the
// program aborts. A line longer than 1 MiB is refused (status 1). A record
// that cannot be written is said once per unit ("cannot write NAME: reason
// (record N)") and makes the run's status 1; the run goes on.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <variant>

namespace recordio {

// A CHARACTER variable of fixed length N: always N characters, blank filled.
// Assignment cuts the source at N or fills it with blanks up to N.
template <std::size_t N>
struct Character {
  std::array<char, N> text;

  Character() { text.fill(' '); }
  Character(std::string_view s) { assign(s); }  // NOLINT: CHARACTER assignment
  void assign(std::string_view s) {
    std::size_t k = std::min(s.size(), N);
    std::copy_n(s.begin(), k, text.begin());
    std::fill(text.begin() + k, text.end(), ' ');
  }
  std::string_view view() const { return {text.data(), N}; }
  std::span<char> span() { return text; }
  // The value without its trailing blanks (a file name, say).
  std::string_view trimmed() const {
    std::string_view v = view();
    std::size_t end = v.find_last_not_of(' ');
    return end == std::string_view::npos ? std::string_view{} : v.substr(0, end + 1);
  }
};

// A value written by a list-directed or formatted write: INTEGER, REAL,
// DOUBLE PRECISION or CHARACTER (its whole text, trailing blanks included).
using Item = std::variant<std::int32_t, float, double, std::string_view>;

// A variable filled by a list-directed read. A CHARACTER variable is given as
// its fixed-length storage and receives CHARACTER assignment.
using Target = std::variant<std::int32_t*, float*, double*, std::span<char>>;

// List-directed write of one statement to a unit: one or more records, 80
// columns at most each. Units 0 and 6 are flushed at the end of the statement.
void write_list(int unit, std::span<const Item> items);
inline void write_list(int unit, std::initializer_list<Item> items) {
  write_list(unit, std::span<const Item>(items.begin(), items.size()));
}

// List-directed write into a CHARACTER variable of length var.size(): one
// record of that length, the rest blank filled. Overflow is fatal ("recend").
void write_list(std::span<char> var, std::span<const Item> items);
inline void write_list(std::span<char> var, std::initializer_list<Item> items) {
  write_list(var, std::span<const Item>(items.begin(), items.size()));
}

// Formatted write of one statement under a FORMAT text such as
// "(2x,a6,8x,i2,6x,f10.4)". Every slash and the end of the statement end a
// record. A malformed FORMAT or an item of the wrong type for its descriptor
// is fatal ("error in format").
void write_formatted(int unit, std::string_view format, std::span<const Item> items);
inline void write_formatted(int unit, std::string_view format,
                            std::initializer_list<Item> items = {}) {
  write_formatted(unit, format, std::span<const Item>(items.begin(), items.size()));
}

// The longest line (record) a read takes; a longer one is refused, so that
// memory does not grow with the length of a line (/dev/zero, say).
inline constexpr std::size_t kLongestLine = std::size_t{1} << 20;

// How the values of a list-directed read are expected to lie in the input.
// Values that lie otherwise are still read by the list-directed rules; the
// reader is warned, once per connection of the unit, on standard error:
// "program: NAME: line N: ...; is there a decimal comma or a header line?"
// (a decimal comma turns "1,5" into the values 1 and 5, a header line of
// numbers shifts every value after it).
enum class Layout {
  free,      // values may run on over records; the rest of the last is ignored
  no_extra,  // the last record used holds no further number
  one_line,  // no_extra, and every value comes from the record the read starts at
};

// What a read whose last line holds numbers left over (Layout::no_extra or
// one_line) does when that line also holds a likely decimal comma: a comma
// between two digits with no blank, a whole number before it and digits
// (with an optional exponent) after it, outside quotes ("2110,4174",
// "-0,5", "1,5e-3"; not "7.2e-21,0.5"). With refuse the run ends with
// status 1: "program: NAME: line N: '2110,4174' looks like a decimal comma;
// write 2110.4174". With warn the layout warning stands and the values are
// used as read.
enum class Commas { warn, refuse };

// List-directed read of one statement: starts at the next record, takes the
// targets in order from as many records as needed, skips the rest of the last
// record. End of input is fatal; so is a read error (with its reason).
void read_list(int unit, std::span<const Target> targets, Layout layout = Layout::free,
               Commas commas = Commas::warn);
inline void read_list(int unit, std::initializer_list<Target> targets,
                      Layout layout = Layout::free, Commas commas = Commas::warn) {
  read_list(unit, std::span<const Target>(targets.begin(), targets.size()), layout, commas);
}

// As read_list, but end of input is an outcome: returns false when the input
// ended before every target was filled (those already filled keep their values).
[[nodiscard]] bool read_list_or_end(int unit, std::span<const Target> targets,
                                    Layout layout = Layout::free, Commas commas = Commas::warn);
[[nodiscard]] inline bool read_list_or_end(int unit, std::initializer_list<Target> targets,
                                           Layout layout = Layout::free,
                                           Commas commas = Commas::warn) {
  return read_list_or_end(unit, std::span<const Target>(targets.begin(), targets.size()), layout,
                          commas);
}

// Formatted read of one whole record under "(a)": var receives the first
// var.size() characters, blank filled when the record is shorter.
void read_formatted(int unit, std::string_view format, std::span<char> var);
// The same into a text of any length: var receives the whole record.
void read_formatted(int unit, std::string_view format, std::string& var);
// As the above, but end of input is an outcome: false, var empty.
[[nodiscard]] bool read_formatted_or_end(int unit, std::string_view format, std::string& var);

// Records read so far from the unit: the line that held the last value read,
// for messages that name it. 0 when the unit is not connected.
[[nodiscard]] long records_read(int unit);

// Connects unit to the existing file name (trailing blanks dropped). A missing
// file is fatal ("open" with the system's reason); an all-blank name is fatal
// ("null file name").
void open_old(int unit, std::string_view name);

// Names the file that the first write on unit creates (or rewrites from its
// start) instead of "fort.N"; nothing is opened until then. For a unit that
// is not connected; a later close() forgets the name.
void name_new(int unit, std::string_view name);

// Releases the unit (flushing a file written through it); the number may be
// opened again. Closing an unconnected unit does nothing.
void close(int unit);

// PAUSE: the message on standard error, then the "go" dialogue on a terminal,
// or a wait for signal 15 otherwise. Returns when execution resumes.
void pause(std::string_view message);

// STOP: the message (if any) on standard error, units closed, exit status 0
// (1 when an output failed).
[[noreturn]] void stop(std::string_view message = {});

// The line "name: message" on standard error, of any length, written in one
// piece after whatever standard output holds so far: the one path of every
// message of the suite's own (cli::complain and the calls below).
void complain_as(std::string_view name, std::string_view message);
// The programs' own messages: complain_as's "program: message" line, the
// program's name taken from the argument list recorded by run().
void complain(std::string_view message);
// complain(), then every unit closed and exit status 1.
[[noreturn]] void fail(std::string_view message);

// "program: cannot write NAME: reason" on standard error and the run's exit
// status raised to 1 (run() returns it). The run goes on: a caller decides
// whether anything else is worth finishing.
void cannot_write(std::string_view name, std::string_view reason);
// Non-zero once any output of the run has failed.
[[nodiscard]] bool output_failed();

// A routine run by every end of the run once the units are closed (run's
// own end, stop, fail, the fatal report, an ending signal) and by a fault
// signal's handler before its abort, so it may do only what is safe in a
// handler (unlink, write). The layers above register what must not outlive
// the process (the temporaries of files written whole). One routine; null
// (the default) is none.
using EndCleanup = void (*)();
void set_end_cleanup(EndCleanup cleanup);

// An abnormal end for a run-time error that is not an I/O error (such as
// "complex division by zero"): the message as a line on standard error,
// every unit flushed and closed, then an abort with the default action.
[[noreturn]] void abort_run(std::string_view message);

// Program entry: installs the signal handlers (first of all), records the
// arguments, connects units 0, 5 and 6, runs main_program, closes every
// unit and returns the exit status for main() to return: 0, or 1 when an
// output failed (cannot_write). SIGINT, SIGTERM and SIGHUP end the run with
// status 1 between two records or in a read, write or open that waits
// ("Interrupt", "Killed", "Hangup"); SIGXFSZ and SIGPIPE are ignored, so
// that such a write fails and is reported. SIGFPE, SIGABRT, SIGTRAP,
// SIGSEGV, SIGBUS and SIGILL send the waiting records, say the signal and
// abort. SIGALRM is the records' timer: the main program must not use it.
int run(int argc, char** argv, const std::function<void()>& main_program);

}  // namespace recordio
