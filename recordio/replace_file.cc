// Temporary-then-rename output files, the registry of live temporaries that
// every end of the run empties, and the output-failure status.
#include "recordio/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "recordio/recordio.h"

namespace recordio {
namespace detail {

// Live temporaries, as fixed buffers so that removing them needs neither
// allocation nor locks (an ending signal may do it).
namespace {
constexpr std::size_t kTemporaries = 8;
constexpr std::size_t kPathRoom = 4096;
std::array<std::array<char, kPathRoom>, kTemporaries> temporaries{};  // signal-reachable
volatile std::sig_atomic_t failed_output = 0;                           // read by run()

void forget(const std::string& path) {
  for (auto& slot : temporaries) {
    if (slot[0] != '\0' && path == slot.data()) slot[0] = '\0';
  }
}

bool remember(const std::string& path) {
  if (path.size() >= kPathRoom) return false;
  for (auto& slot : temporaries) {
    if (slot[0] == '\0') {
      std::memcpy(slot.data(), path.c_str(), path.size() + 1);
      return true;
    }
  }
  return false;
}
}  // namespace

void remove_temporaries() {
  for (auto& slot : temporaries) {
    if (slot[0] != '\0') {
      ::unlink(slot.data());
      slot[0] = '\0';
    }
  }
}

}  // namespace detail

void cannot_write(std::string_view name, std::string_view reason) {
  detail::failed_output = 1;
  complain("cannot write " + std::string(name) + ": " + std::string(reason));
}

bool output_failed() { return detail::failed_output != 0; }

namespace {

// The folder part of path, with its slash ("" for a bare name).
std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a path names once its symbolic links are followed (a link to a
// link too, 40 at most, as the system does); the path itself when it is
// not a link or does not exist. A link that points nowhere gives the name
// it points to, which is then made.
std::string followed(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
    std::string to(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 4095) + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), to.data(), to.size());
    if (n < 0 || static_cast<std::size_t>(n) >= to.size()) return path;
    to.resize(static_cast<std::size_t>(n));
    if (to.starts_with('/')) {
      path = std::move(to);
    } else {
      path = folder_of(path);
      path += to;
    }
  }
  return path;
}

// The system's temporary folder, with its slash.
std::string temporary_folder() {
  const char* dir = std::getenv("TMPDIR");
  std::string d = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  return d.ends_with('/') ? d : d + "/";
}

}  // namespace

ReplaceFile::ReplaceFile(std::string target, std::string_view suffix)
    : target_(std::move(target)), final_(followed(target_)) {
  struct stat info {};
  if (::stat(final_.c_str(), &info) == 0) {
    if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) {
      through_ = true;  // never replaced: a device node stays one
    } else if (S_ISDIR(info.st_mode)) {
      error_ = std::strerror(EISDIR);
      return;
    } else if (!S_ISREG(info.st_mode)) {
      error_ = "not a regular file, a character device or a FIFO; it is not replaced";
      return;
    }
  }
  // A short name of the temporary's own: any name legal for the target
  // leaves room for it.
  std::string pattern =
      (through_ ? temporary_folder() : folder_of(final_)) + ".labsuite.XXXXXX" + std::string(suffix);
  const int fd = ::mkstemps(pattern.data(), static_cast<int>(suffix.size()));
  if (fd < 0) {
    error_ = std::strerror(errno);
    return;
  }
  // The file renamed into place gets the mode a newly created file would
  // have, not the temporary's 0600.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  temp_ = pattern;
  if (!detail::remember(temp_)) {
    ::close(fd);
    ::unlink(temp_.c_str());
    temp_.clear();
    error_ = std::strerror(ENAMETOOLONG);
    return;
  }
  fp_ = ::fdopen(fd, through_ ? "w+" : "w");
  if (fp_ == nullptr) {
    error_ = std::strerror(errno);
    ::close(fd);
  }
}

ReplaceFile::~ReplaceFile() {
  if (fp_ != nullptr) std::fclose(fp_);
  if (!committed_ && !temp_.empty()) {
    ::unlink(temp_.c_str());
    detail::forget(temp_);
  }
}

namespace {

// Writes the whole of `from` (from its start) to the character device or
// FIFO `to`, opened here: its open and its writes may wait (a FIFO without
// a reader, or one that does not read), and a signal that ends the run
// ends it there. Returns 0 or an errno.
int write_through(std::FILE* from, const std::string& to) {
  int fd = -1;
  while ((fd = ::open(to.c_str(), O_WRONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
    detail::act_on_signals();
  }
  if (fd < 0) return errno;
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);  // waits in write_some
  int err = std::fseek(from, 0, SEEK_SET) != 0 ? errno : 0;
  std::array<char, 65536> block;
  while (err == 0) {
    const std::size_t got = std::fread(block.data(), 1, block.size(), from);
    if (got == 0) {
      if (std::ferror(from)) err = EIO;
      break;
    }
    for (std::size_t at = 0; at < got && err == 0;) {
      std::size_t n = 0;
      err = detail::write_some(fd, block.data() + at, got - at, n);
      at += n;
    }
  }
  if (::close(fd) != 0 && err == 0 && errno != EINTR) err = errno;
  return err;
}

}  // namespace

bool ReplaceFile::commit() {
  if (!ok()) return false;
  int err = 0;
  if (std::ferror(fp_)) err = errno != 0 ? errno : EIO;
  if (std::fflush(fp_) != 0 && err == 0) err = errno;
  if (through_) {
    if (err == 0) err = write_through(fp_, final_);
  } else if (::fsync(::fileno(fp_)) != 0 && err == 0 && errno != EINVAL) {
    err = errno;
  }
  if (std::fclose(fp_) != 0 && err == 0) err = errno;
  fp_ = nullptr;
  if (through_) {
    ::unlink(temp_.c_str());
  } else if (err == 0 && ::rename(temp_.c_str(), final_.c_str()) != 0) {
    err = errno;
  }
  if (err != 0) {
    error_ = std::strerror(err);
    ::unlink(temp_.c_str());
    detail::forget(temp_);
    temp_.clear();
    return false;
  }
  detail::forget(temp_);
  committed_ = true;
  return true;
}

bool ReplaceFile::commit_or_report() {
  if (commit()) return true;
  cannot_write(target_, error_);
  return false;
}

}  // namespace recordio
