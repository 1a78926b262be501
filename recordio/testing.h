// For running the record I/O library in one process many times over (the
// fuzz targets): the end of the process turned into a call back, and every
// unit closed between runs; and a read failure on demand. Programs do not
// use it.
#pragma once

#include <string_view>

namespace recordio {

// Called by the fatal I/O report, fail() and stop() with the status they are
// about to end the process with (-1 for the abort of the fatal report), once
// the report is out and every unit is closed. The hook may throw to unwind
// back to its caller; if it returns, the process ends as usual. Null (the
// default) restores the plain ending.
using EndHook = void (*)(int status);
void set_end_hook(EndHook hook);

// Flushes and closes every unit (0, 5 and 6 are flushed, not closed), so
// that no file or read position passes to the next run.
void close_units();

// Makes the reads of the file `name` (as opened; "standard input" for unit
// 5) fail with the system error `error` once `bytes` bytes of it have been
// read, as a failing disk would. For the tests, which call it in a child
// process before the program runs; empty name: no failure.
void fail_reads(std::string_view name, long bytes, int error);

}  // namespace recordio
