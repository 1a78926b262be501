// The output locks: a shared record lock on one byte of the folder, at an
// offset made from the output's name.
//
// Why this way: a lock file would be left behind by a killed run, and a lock
// on the output file itself would have to create it before the run has made
// anything. A folder can be opened read-only and locked by any run that may
// write into it. flock() locks the whole folder, so a momfit and a bandfit
// run could not share one; record locks lock one byte per name and, unlike
// flock() and open-file-description locks, F_GETLK reports the holder's pid.
// A folder cannot be opened for writing, so the lock is a read (shared)
// lock; a test for a write lock on the same byte finds any other holder. The
// test and the taking are made one step by an flock() of the folder held
// only between them, so that two runs started together cannot both pass.
#include "recordio/output_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

namespace recordio {
namespace {

// The byte of the folder that stands for the output named `base`: a 64-bit
// FNV-1a hash kept below 2^62 (a valid offset for any file system).
off_t byte_of(std::string_view base) {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : base) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return static_cast<off_t>(h & ((std::uint64_t{1} << 62) - 1));
}

// Waits for the folder's flock, which other runs hold only for the moment
// of their own test-and-take: two seconds at most, then goes on without it.
bool serialise(int fd) {
  for (int tries = 0; tries < 2000; ++tries) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;  // no flock here
    const timespec ms{0, 1000000};
    ::nanosleep(&ms, nullptr);
  }
  return false;
}

}  // namespace

OutputLock::OutputLock(const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    const std::string_view base =
        slash == std::string::npos ? std::string_view(name) : std::string_view(name).substr(slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    folders_.push_back(fd);
    const bool serialised = serialise(fd);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = byte_of(base);
    probe.l_len = 1;
    struct flock take = probe;
    take.l_type = F_RDLCK;
    pid_t holder = 0;
    if (::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
      holder = probe.l_pid;
    } else {
      ::fcntl(fd, F_SETLK, &take);  // a failure (no locks here) leaves it unlocked
    }
    if (serialised) ::flock(fd, LOCK_UN);
    if (holder != 0) {
      error_ = name + " is in use by another run (pid " + std::to_string(holder) + ")" +
               (slash == std::string::npos ? " in this folder" : "");
      release();
      return;
    }
  }
}

OutputLock::~OutputLock() { release(); }

void OutputLock::release() {
  for (const int fd : folders_) ::close(fd);
  folders_.clear();
}

}  // namespace recordio
