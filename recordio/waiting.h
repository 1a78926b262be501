// The waits of the units, for a layer above that opens or writes a file
// outside them and may wait there (a FIFO nobody reads): a signal that ends
// the run ends it there too, as it ends a unit's write.
#pragma once

#include <cstddef>

namespace recordio::detail {

// Acts on a signal that its handler only noted (SIGINT, SIGTERM, SIGHUP,
// SIGQUIT): the designed message, every unit closed, then exit status 1 (or
// the abort of SIGQUIT). Does nothing when none is pending. Called at the
// safe points: between records, at the end of a statement, when a blocking
// read or a PAUSE wait was interrupted, and when the main program returns.
void act_on_signals();

// One write of at most size bytes to fd: taken is set to the bytes the
// system took, or an errno is returned. A signal that ends the run, sent
// while the write waits, ends the run there (act_on_signals); a descriptor
// in non-blocking mode that is full is waited for (ppoll) with those
// signals let through, except when the run is already ending (EAGAIN).
int write_some(int fd, const char* data, std::size_t size, std::size_t& taken);

}  // namespace recordio::detail
