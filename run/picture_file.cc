#include "run/picture_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace recordio {
namespace {

// The plotting library cuts a longer file name short and writes elsewhere.
constexpr std::size_t kLibraryNameRoom = 255;

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trimmed_end(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
    text.remove_suffix(1);
  }
  return text;
}

// The whole file; false, with errno, when it cannot be read.
bool slurp(const std::string& path, std::string& content) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::array<char, 65536> block;
  std::size_t got = 0;
  while ((got = std::fread(block.data(), 1, block.size(), f)) > 0) {
    content.append(block.data(), got);
  }
  const bool ok = std::ferror(f) == 0;
  const int err = errno;
  std::fclose(f);
  errno = err;
  return ok;
}

// The system's reason a file at path could not be written whole, found
// after the fact: the file system is full, or the file has reached the
// file-size limit. "" when neither holds.
std::string system_fault(const std::string& path) {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) == 0 && (::geteuid() == 0 ? fs.f_bfree : fs.f_bavail) == 0) {
    return std::strerror(ENOSPC);
  }
  rlimit limit{};
  struct stat info {};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      ::stat(path.c_str(), &info) == 0 && static_cast<rlim_t>(info.st_size) >= limit.rlim_cur) {
    return std::strerror(EFBIG);
  }
  return {};
}

}  // namespace

std::string_view picture_type(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || name.find('/', dot) != std::string_view::npos) return {};
  const std::string_view base = name.substr(name.rfind('/') + 1);
  if (base.size() == name.size() - dot) return {};  // ".png": no name before the extension
  const std::string ext = lower(name.substr(dot + 1));
  for (const std::string_view type : {"png", "pdf", "svg", "ps"}) {
    if (ext == type) return type;
  }
  return {};
}

std::string picture_fault(std::string_view type, std::string_view content) {
  if (content.empty()) return "the picture is empty";
  std::string_view head, tail;
  if (type == "png") {
    // The signature, and the IEND chunk: its length 0, its type, its CRC.
    head = "\x89PNG\r\n\x1a\n";
    static constexpr char kEnd[] = "\0\0\0\0IEND\xae\x42\x60\x82";
    tail = std::string_view(kEnd, sizeof kEnd - 1);
  } else if (type == "pdf") {
    head = "%PDF-";
    tail = "%%EOF";
  } else if (type == "ps") {
    head = "%!PS";
    tail = "%%EOF";
  } else if (type == "svg") {
    tail = "</svg>";
  }
  if (!content.starts_with(head)) return "the picture does not begin as a " + lower(type) + " file";
  if (type != "png") content = trimmed_end(content);
  if (!content.ends_with(tail)) {
    return "the picture is incomplete (it does not end with " +
           std::string(type == "png" ? "the IEND chunk" : tail) + ")";
  }
  return {};
}

PictureFile::PictureFile(const std::string& target)
    : file_(target, "." + std::string(picture_type(target))), type_(picture_type(target)) {
  if (!file_.ok()) {
    error_ = file_.error();
    return;
  }
  std::string name = file_.temp_path();
  if (name.size() > kLibraryNameRoom) {
    // The same file through a short path: a descriptor of its folder.
    const std::size_t slash = name.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    dir_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_ < 0) {
      error_ = std::strerror(errno);
      return;
    }
    name = "/proc/self/fd/" + std::to_string(dir_) + "/" + name.substr(name.rfind('/') + 1);
    if (name.size() > kLibraryNameRoom) {
      error_ = "the file name is too long for the plotting library";
      return;
    }
  }
  device_ = name + "/" + type_;
  // Held in memory, which a full disk does not stop.
  std::fflush(stderr);
  held_ = ::memfd_create("plotting library messages", MFD_CLOEXEC);
  stderr_ = held_ >= 0 ? ::fcntl(2, F_DUPFD_CLOEXEC, 3) : -1;
  if (stderr_ < 0 || ::dup2(held_, 2) < 0) release_stderr();
}

PictureFile::~PictureFile() {
  const std::string said = release_stderr();
  if (!said.empty()) {
    ssize_t ignored = ::write(2, said.data(), said.size());
    (void)ignored;
  }
  if (dir_ >= 0) ::close(dir_);
}

std::string PictureFile::release_stderr() {
  std::string said;
  if (stderr_ >= 0) {
    std::fflush(stderr);
    ::dup2(stderr_, 2);
    ::close(stderr_);
    stderr_ = -1;
  }
  if (held_ >= 0) {
    std::array<char, 4096> block;
    ::lseek(held_, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(held_, block.data(), block.size())) > 0;) {
      said.append(block.data(), static_cast<std::size_t>(n));
    }
    ::close(held_);
    held_ = -1;
  }
  return said;
}

void PictureFile::fail(std::string_view reason) {
  if (error_.empty()) error_ = reason;
}

bool PictureFile::commit_or_report() {
  std::string said = release_stderr();
  if (error_.empty()) {
    std::string content;
    if (!slurp(file_.temp_path(), content)) {
      error_ = std::strerror(errno);
    } else {
      error_ = picture_fault(type_, content);
    }
    if (!error_.empty() && !file_.temp_path().empty()) {
      if (std::string why = system_fault(file_.temp_path()); !why.empty()) {
        error_ = std::move(why);
        said.clear();  // the library's account of the same failure
      }
    }
  }
  if (!error_.empty()) {
    // What the library said goes into the one line.
    while (!said.empty() && std::isspace(static_cast<unsigned char>(said.back()))) said.pop_back();
    std::string one_line;
    for (const char c : said) one_line += c == '\n' ? std::string("; ") : std::string(1, c);
    cannot_write(file_.target(),
                 said.empty() ? error_ : error_ + " (the plotting library: " + one_line + ")");
    return false;
  }
  if (!said.empty()) {
    ssize_t ignored = ::write(2, said.data(), said.size());
    (void)ignored;
  }
  if (!file_.commit_or_report()) {
    error_ = file_.error();
    return false;
  }
  return true;
}

}  // namespace recordio
