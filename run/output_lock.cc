// The output locks: open-file-description locks on the folder, in a range of
// offsets made from the output's name, at the offset within it that is the
// holder's pid.
//
// Why this way: a lock file would be left behind by a killed run, and a lock
// on the output file itself would have to create it before the run has made
// anything. A folder can be opened read-only and locked by any run that may
// write into it. flock() locks the whole folder, so a momfit and a bandfit
// run could not share one. An open-file-description lock (F_OFD_SETLK)
// belongs to the descriptor this object opened: unlike a process's record
// lock, closing some other descriptor of the same folder (the picture
// writer reaches a long folder through one) cannot drop it. Such a lock
// does not report its holder's pid (F_OFD_GETLK gives -1), so the pid is
// the lock's place: each name owns a range of 2^22 bytes (the largest pid
// range of the system), and the holder locks the byte at its pid; a test
// over the whole range finds that byte. A folder cannot be opened for
// writing, so the lock is a read (shared) lock; a test for a write lock
// finds any other holder. The test and the taking are made one step by an
// flock() of the folder held only between them, so that two runs started
// together cannot both pass.
#include "run/output_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string_view>

namespace recordio {
namespace {

// pids are below 2^22 (the system's largest pid_max).
constexpr int kPidBits = 22;

// The first byte of the folder's range for the output named `base`: a
// 64-bit FNV-1a hash cut to 40 bits, so that the range ends below 2^62 (a
// valid offset for any file system).
off_t range_of(std::string_view base) {
  std::uint64_t h = 14695981039346656037ull;
  for (const char c : base) {
    h ^= static_cast<unsigned char>(c);
    h *= 1099511628211ull;
  }
  return static_cast<off_t>((h & ((std::uint64_t{1} << 40) - 1)) << kPidBits);
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
    // Only a regular file, or a name not yet made, is kept to one run, as
    // cli::clash keeps them apart: runs may share /dev/null, a terminal
    // or a pipe (/dev/stdout).
    struct stat info {};
    if (::stat(name.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) continue;
    const std::size_t slash = name.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    const std::string_view base =
        slash == std::string::npos ? std::string_view(name) : std::string_view(name).substr(slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) continue;
    folders_.push_back(fd);
    const bool serialised = serialise(fd);
    const off_t range = range_of(base);
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = range;
    probe.l_len = off_t{1} << kPidBits;
    struct flock take {};
    take.l_type = F_RDLCK;
    take.l_whence = SEEK_SET;
    take.l_start = range + ::getpid();
    take.l_len = 1;
    bool held = false;
    pid_t holder = 0;
    if (::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
      holder = static_cast<pid_t>(probe.l_start - range);
      held = holder != ::getpid();  // this process's own lock on the same name
    } else {
      ::fcntl(fd, F_OFD_SETLK, &take);  // a failure (no locks here) leaves it unlocked
    }
    if (serialised) ::flock(fd, LOCK_UN);
    if (held) {
      // A lock outside the pid byte is another kind of holder: then only
      // that the name is in use.
      const bool known = probe.l_len == 1 && holder > 0;
      error_ = name + " is in use by another run" +
               (known ? " (pid " + std::to_string(holder) + ")" : std::string()) +
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
