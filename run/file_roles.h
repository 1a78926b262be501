// The files one run reads and writes, each with its role, and the check
// that no output is also an input or another output: written into, a lab
// file or a deck would be lost, and two outputs of one name would leave
// only the last. Header-only, beside cli.h.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace cli {

// One file of a run. An output's message names it first as "LABEL PATH";
// any file is named second by its role.
struct FileRole {
  std::string label;  // "--log", "the evaluation log"
  std::string role;   // "the lab data file", "the deck on standard input"
  std::string path;   // as given; unused when fd names the file
  bool output = false;
  int fd = -1;        // an open file (standard input) instead of a path
};

// The file a path names once its symbolic links are followed (a link to a
// link too, 40 at most, as the system does); the path itself when it is not
// a link or does not exist. A link that points nowhere gives the name it
// points to, which writing through the link would make.
inline std::string followed(std::string path) {
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
      // The target's folder is the link's: cut the link's name, add the target.
      const std::size_t slash = path.rfind('/');
      path.resize(slash == std::string::npos ? 0 : slash + 1);
      path += to;
    }
  }
  return path;
}

// The first clash among files, in words, or "" when there is none: two
// rows, at least one an output, that are the same file. Names are the same
// when their absolute, normalised paths are; files that exist are the same
// when device and inode are (a link, another spelling); a name not yet made
// is taken where its links lead. Only regular files
// and names not yet made can clash: many outputs may go to /dev/null or a
// terminal. The output is named first (the later of two outputs), as in
// "--log demo_lab.dat is the lab data file".
inline std::string clash(std::span<const FileRole> files) {
  namespace fs = std::filesystem;
  struct Known {
    bool usable = false;   // a regular file, or a name not yet made
    bool exists = false;
    struct stat info {};
    fs::path name;         // empty for a file given by descriptor
  };
  std::vector<Known> known(files.size());
  for (std::size_t k = 0; k < files.size(); ++k) {
    const FileRole& f = files[k];
    Known& n = known[k];
    n.exists = f.fd >= 0 ? ::fstat(f.fd, &n.info) == 0 : ::stat(f.path.c_str(), &n.info) == 0;
    n.usable = n.exists ? S_ISREG(n.info.st_mode) : f.fd < 0 && !f.path.empty();
    if (f.fd < 0 && !f.path.empty()) {
      std::error_code ec;
      n.name = fs::absolute(followed(f.path), ec).lexically_normal();
    }
  }
  for (std::size_t b = 1; b < files.size(); ++b) {
    for (std::size_t a = 0; a < b; ++a) {
      if (!files[a].output && !files[b].output) continue;
      const Known& x = known[a];
      const Known& y = known[b];
      if (!x.usable || !y.usable) continue;
      const bool same = (x.exists && y.exists)
                            ? x.info.st_dev == y.info.st_dev && x.info.st_ino == y.info.st_ino
                            : !x.name.empty() && x.name == y.name;
      if (!same) continue;
      const FileRole& first = files[b].output ? files[b] : files[a];
      const FileRole& second = files[b].output ? files[a] : files[b];
      return first.label + " " + first.path + " is " + second.role;
    }
  }
  return {};
}

}  // namespace cli
