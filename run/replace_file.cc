// Temporary-then-rename output files and the registry of live temporaries
// that every end of the run empties.
#include "run/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "recordio/recordio.h"
#include "recordio/waiting.h"
#include "run/file_roles.h"

namespace recordio {
namespace detail {

// Live temporaries, as fixed buffers so that removing them needs neither
// allocation nor locks (an ending signal may do it).
namespace {
constexpr std::size_t kTemporaries = 8;
constexpr std::size_t kPathRoom = 4096;
std::array<std::array<char, kPathRoom>, kTemporaries> temporaries{};  // signal-reachable

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
}  // namespace detail

void remove_temporaries() {
  for (auto& slot : detail::temporaries) {
    if (slot[0] != '\0') {
      ::unlink(slot.data());
      slot[0] = '\0';
    }
  }
}

namespace {

// The folder part of path, with its slash ("" for a bare name).
std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The system's temporary folder, with its slash.
std::string temporary_folder() {
  const char* dir = std::getenv("TMPDIR");
  std::string d = dir != nullptr && *dir != '\0' ? dir : "/tmp";
  return d.ends_with('/') ? d : d + "/";
}

// A failure to make a temporary in the system's temporary folder, which
// names that folder: the target itself is not at fault.
std::string temporary_fault(const std::string& folder, int err) {
  const char* dir = std::getenv("TMPDIR");
  return "no temporary can be made in " + folder +
         (dir != nullptr && *dir != '\0' ? " (TMPDIR)" : "") + ": " + std::strerror(err);
}

// The descriptor a name stands for: /dev/stdin, /dev/stdout, /dev/stderr,
// /dev/fd/N and /proc/self/fd/N; -1 for any other name.
int named_descriptor(std::string_view path) {
  if (path == "/dev/stdin") return 0;
  if (path == "/dev/stdout") return 1;
  if (path == "/dev/stderr") return 2;
  for (const std::string_view dir : {"/dev/fd/", "/proc/self/fd/"}) {
    if (!path.starts_with(dir)) continue;
    path.remove_prefix(dir.size());
    int n = 0;
    for (const char c : path) {
      if (c < '0' || c > '9' || n > 100000) return -1;
      n = n * 10 + (c - '0');
    }
    return path.empty() ? -1 : n;
  }
  return -1;
}

// What a target is, found without making anything.
struct Kind {
  std::string final;     // the file it names, links followed
  bool through = false;  // written through (a device, a FIFO, a descriptor)
  int descriptor = -1;   // ... the open descriptor it names
  bool exists = false;   // final is a regular file that exists
  mode_t mode = 0;       // its permission bits
  std::string fault;     // why it cannot be written, or ""
};

Kind kind_of(const std::string& target) {
  Kind k;
  struct stat info {};
  const int fd = named_descriptor(target);
  // A descriptor's name is read through the descriptor itself: its link
  // may lead to no path at all ("pipe:[N]").
  const bool found = fd >= 0 ? ::fstat(fd, &info) == 0 : ::stat(target.c_str(), &info) == 0;
  if (found && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode) && fd >= 0) {
    k.through = true;
    k.descriptor = fd;
    k.final = target;
    return k;
  }
  k.final = cli::followed(target);
  if (!found || ::stat(k.final.c_str(), &info) != 0) return k;
  if (S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode)) {
    k.through = true;  // never replaced: a device node stays one
  } else if (S_ISDIR(info.st_mode)) {
    k.fault = std::strerror(EISDIR);
  } else if (!S_ISREG(info.st_mode)) {
    k.fault = "not a regular file, a character device or a FIFO; it is not replaced";
  } else {
    k.exists = true;
    k.mode = info.st_mode & 07777;
  }
  return k;
}

}  // namespace

std::string ReplaceFile::check(const std::string& target) {
  const Kind k = kind_of(target);
  if (!k.fault.empty()) return k.fault;
  if (k.through) {
    const std::string folder = temporary_folder();
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return temporary_fault(folder, errno);
    return {};
  }
  const std::string folder = folder_of(k.final);
  if (::access(folder.empty() ? "." : folder.c_str(), W_OK | X_OK) != 0) {
    return std::strerror(errno);
  }
  return {};
}

ReplaceFile::ReplaceFile(std::string target, std::string_view suffix)
    : target_(std::move(target)) {
  const Kind k = kind_of(target_);
  final_ = k.final;
  through_ = k.through;
  descriptor_ = k.descriptor;
  if (!k.fault.empty()) {
    error_ = k.fault;
    return;
  }
  // A short name of the temporary's own: any name legal for the target
  // leaves room for it.
  const std::string folder = through_ ? temporary_folder() : folder_of(final_);
  std::string pattern = folder + ".labsuite.XXXXXX" + std::string(suffix);
  const int fd = ::mkstemps(pattern.data(), static_cast<int>(suffix.size()));
  if (fd < 0) {
    error_ = through_ ? temporary_fault(folder, errno) : std::strerror(errno);
    return;
  }
  // The file renamed into place keeps the mode of the one it replaces, or
  // gets the mode a newly created file would have, not the temporary's 0600.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, k.exists ? k.mode : 0666 & ~mask);
  temp_ = pattern;
  // Every end of the run, a signal's included, removes what is remembered.
  set_end_cleanup(remove_temporaries);
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
// FIFO `to`, opened here, or to a copy of the open descriptor `descriptor`
// when it is not -1: its open and its writes may wait (a FIFO without a
// reader, or one that does not read), and a signal that ends the run ends
// it there. Returns 0 or an errno.
int write_through(std::FILE* from, const std::string& to, int descriptor) {
  int fd = -1;
  if (descriptor >= 0) {
    fd = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 3);
  } else {
    while ((fd = ::open(to.c_str(), O_WRONLY | O_CLOEXEC)) < 0 && errno == EINTR) {
      detail::act_on_signals();
    }
  }
  if (fd < 0) return errno;
  // Waits in write_some. A copied descriptor shares its flags with the
  // original: they are put back afterwards.
  const int flags = ::fcntl(fd, F_GETFL);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
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
  if (descriptor >= 0) ::fcntl(fd, F_SETFL, flags);
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
    if (err == 0) err = write_through(fp_, final_, descriptor_);
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
