// One run per folder: a lock on each fixed-name output of a program, so that
// a second run that would write the same files in the same folder is refused
// at once instead of interleaving its records with the first run's.
#pragma once

#include <string>
#include <vector>

namespace recordio {

// Locks the output names given (such as "fort.7", or "out/fit.log") for this
// process: each in the folder that holds it, keyed by its last component.
// A name that is not a regular file (a device, a FIFO) is not locked: many
// runs may write /dev/null or a pipe.
// Nothing is created or changed on disk, the outputs themselves included;
// the kernel drops every lock when the object is destroyed or the process
// ends in any way, a kill included, so no stale lock can remain.
//
// The locks are open-file-description locks on the folder, held by the
// descriptors this object opens: no other descriptor of the folder, opened
// and closed anywhere in the program, can drop them.
class OutputLock {
 public:
  // Takes every lock, or none: when another process holds one, error() is
  // "NAME is in use by another run (pid N) in this folder" (without the last
  // three words for a name in another folder; without the pid when the lock
  // is not one this class takes) and no lock is kept. A name
  // whose folder cannot be opened, or a file system without locks, is left
  // unlocked: the run goes on as it would have without this check.
  explicit OutputLock(const std::vector<std::string>& names);
  ~OutputLock();
  OutputLock(const OutputLock&) = delete;
  OutputLock& operator=(const OutputLock&) = delete;

  [[nodiscard]] bool ok() const { return error_.empty(); }
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  void release();

  std::vector<int> folders_;  // open descriptors of the locked folders
  std::string error_;
};

}  // namespace recordio
