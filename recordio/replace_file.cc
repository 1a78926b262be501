// Temporary-then-rename output files, the registry of live temporaries that
// every end of the run empties, and the output-failure status.
#include "recordio/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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

ReplaceFile::ReplaceFile(std::string target, std::string_view suffix) : target_(std::move(target)) {
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string pattern = dir + "." + base + ".XXXXXX" + std::string(suffix);
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
  fp_ = ::fdopen(fd, "w");
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

bool ReplaceFile::commit() {
  if (!ok()) return false;
  int err = 0;
  if (std::ferror(fp_)) err = errno != 0 ? errno : EIO;
  if (std::fflush(fp_) != 0 && err == 0) err = errno;
  if (::fsync(::fileno(fp_)) != 0 && err == 0 && errno != EINVAL) err = errno;
  if (std::fclose(fp_) != 0 && err == 0) err = errno;
  fp_ = nullptr;
  if (err == 0 && ::rename(temp_.c_str(), target_.c_str()) != 0) err = errno;
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
