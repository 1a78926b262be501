// Output files that appear whole or not at all. A lost output is reported
// by recordio's cannot_write, the one way a program reports one.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "recordio/recordio.h"

namespace recordio {

// A file written to a temporary file beside target and renamed over it by
// commit(), so that the target is either its earlier self or complete.
// The temporary is "<dir>/.labsuite.XXXXXX<suffix>" (a short name of its
// own, so that any legal target name works; suffix keeps an extension a
// writer may need); it is removed by the destructor unless committed, and
// by every end of the run that recordio sees (fail, stop, signals, fatal
// report), so no temporary outlives the process that made it.
//
// A target that is a symbolic link: the file it points to is replaced and
// the link kept (a link that points nowhere yet: the file it names is
// made). A replaced file keeps its permission bits. A target that exists as
// a character device or a FIFO (/dev/null, a named pipe) is written
// through, never replaced: the temporary is made in the system's temporary
// folder (TMPDIR, else /tmp) and its bytes are written to the target at
// commit(). A name of an open descriptor (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N) that is not a regular file, a pipe or a socket among
// them, is written through that descriptor. Any other kind (a directory, a
// block device) is refused.
class ReplaceFile {
 public:
  // Creates the temporary. ok() is false (and error() says why) when it
  // cannot be made, e.g. in a read-only folder.
  explicit ReplaceFile(std::string target, std::string_view suffix = {});

  // Why a ReplaceFile of target could not be made, or "" when it could:
  // the same checks, with nothing created, so that a run can refuse an
  // output at its start and make the temporary only when the file is
  // written.
  [[nodiscard]] static std::string check(const std::string& target);
  ~ReplaceFile();
  ReplaceFile(const ReplaceFile&) = delete;
  ReplaceFile& operator=(const ReplaceFile&) = delete;

  [[nodiscard]] bool ok() const { return error_.empty(); }
  [[nodiscard]] const std::string& error() const { return error_; }
  [[nodiscard]] const std::string& target() const { return target_; }
  [[nodiscard]] const std::string& temp_path() const { return temp_; }
  // The temporary opened for writing, or null when !ok(). A writer that
  // writes the file by name (a plot library) leaves this alone.
  [[nodiscard]] std::FILE* stream() { return fp_; }

  // Closes the stream (checking every buffered write), then renames the
  // temporary over the target (or writes its bytes to a target written
  // through). Returns false, with error() set, when any write, the close or
  // the rename failed; the temporary is then removed and a replaced target
  // left as it was. A signal that ends the run, sent while the target
  // written through blocks (a FIFO nobody reads), ends it there.
  [[nodiscard]] bool commit();
  // commit(), and on failure cannot_write(target, error()). Returns ok().
  bool commit_or_report();

 private:
  std::string target_;
  std::string final_;    // the file the target names, symbolic links followed
  bool through_ = false;  // final_ is a character device or a FIFO
  int descriptor_ = -1;   // written through this open descriptor instead
  std::string temp_;
  std::FILE* fp_ = nullptr;
  std::string error_;
  bool committed_ = false;
};

// Removes every temporary not yet committed, with unlink() alone. Every
// end that recordio sees calls it (set_end_cleanup, from the first
// ReplaceFile on); the signal handlers of a program that does not go
// through run() (colmerge) call it themselves.
void remove_temporaries();

}  // namespace recordio
