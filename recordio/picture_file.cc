#include "recordio/picture_file.h"

#include <fcntl.h>
#include <sys/stat.h>
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
}

PictureFile::~PictureFile() {
  if (dir_ >= 0) ::close(dir_);
}

void PictureFile::fail(std::string_view reason) {
  if (error_.empty()) error_ = reason;
}

bool PictureFile::commit_or_report() {
  if (error_.empty()) {
    std::string content;
    if (!slurp(file_.temp_path(), content)) {
      error_ = std::strerror(errno);
    } else {
      error_ = picture_fault(type_, content);
    }
  }
  if (!error_.empty()) {
    cannot_write(file_.target(), error_);
    return false;
  }
  if (!file_.commit_or_report()) {
    error_ = file_.error();
    return false;
  }
  return true;
}

}  // namespace recordio
