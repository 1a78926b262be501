// colmerge: joins the one-column file "g0m2410d.cmp" and the two-column file
// "g0m2410d.nst" row by row into the three-column file "sorted.out". Line L
// holds pair L of the two-column file and, from line 2 on, value L - 1 of the
// one-column file; the first line's third value is 0.
//
// The merge is written to a temporary file beside sorted.out and renamed
// over it only when it succeeded: a refused merge leaves an earlier
// sorted.out as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "recordio/cli.h"

namespace {

constexpr cli::Program kProgram{
    "colmerge", "",
    "Joins the pairs of g0m2410d.nst and the values of g0m2410d.cmp, shifted\n"
    "down one row, into sorted.out (861 tab-separated lines) in the current\n"
    "directory. An earlier sorted.out is replaced only when the merge succeeds.\n"};

constexpr const char* kOutput = "sorted.out";

constexpr int kCmpValues = 861;  // read from g0m2410d.cmp
constexpr int kNstPairs = 862;   // read from g0m2410d.nst
constexpr int kLines = 861;      // written to sorted.out

// The three columns of the merge; the third is shifted down one row.
struct Columns {
  std::array<float, 870> first{};
  std::array<float, 870> second{};
  std::array<float, 870> third{};
};

// Reports an input that ended or held text after `got` of `want` values.
void short_input(std::FILE* in, const std::string& name, int got, int want) {
  if (std::ferror(in) == 0 && std::feof(in) == 0)
    cli::complain(kProgram.name, name + ": value " + std::to_string(got + 1) + " is not a number");
  else
    cli::complain(kProgram.name, name + " ends after " + std::to_string(got) + " values, " +
                                     std::to_string(want) + " needed");
}

// A failed open: the fixed line "NAME could not be opened" on standard
// output, which scripts may read, and the reason on standard error.
void cannot_open(const char* name, int error) {
  std::printf("%s could not be opened\n", name);
  cli::complain(kProgram.name, std::string("cannot open ") + name + ": " + std::strerror(error));
}

// Reads the 861 values of the one-column file into third[1..861].
bool read_cmp(std::FILE* in, std::array<float, 870>& third) {
  for (int i = 1; i <= kCmpValues; ++i) {
    if (std::fscanf(in, "%g\n", &third[i]) != 1) {
      short_input(in, "g0m2410d.cmp", i - 1, kCmpValues);
      return false;
    }
  }
  return true;
}

// Reads the 862 pairs of the two-column file into first[] and second[].
bool read_nst(std::FILE* in, std::array<float, 870>& first, std::array<float, 870>& second) {
  for (int i = 0; i < kNstPairs; ++i) {
    int got = std::fscanf(in, "%g\t%e", &first[i], &second[i]);
    if (got != 2) {
      short_input(in, "g0m2410d.nst", 2 * i + (got > 0 ? got : 0), 2 * kNstPairs);
      return false;
    }
  }
  return true;
}

// The merge's temporary output beside sorted.out, with the mode a newly
// created sorted.out would get (or the existing one's). Fails, creating
// nothing, when sorted.out exists but cannot be written (a directory, say).
class Output {
 public:
  Output() {
    struct stat now {};
    const bool exists = ::stat(kOutput, &now) == 0;
    if (exists) {
      std::FILE* probe = std::fopen(kOutput, "r+");  // writable, left unchanged
      if (probe == nullptr) {
        error_ = errno;
        return;
      }
      std::fclose(probe);
    }
    const int fd = ::mkstemp(temp_.data());
    if (fd < 0) {
      error_ = errno;
      return;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, exists ? now.st_mode & 07777 : 0666 & ~mask);
    fp_ = ::fdopen(fd, "w");
    if (fp_ == nullptr) {
      error_ = errno;
      ::close(fd);
      std::remove(temp_.c_str());
    }
  }
  // Removes the temporary file unless commit() renamed it.
  ~Output() {
    if (fp_ != nullptr) {
      std::fclose(fp_);
      std::remove(temp_.c_str());
    }
  }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  std::FILE* file() const { return fp_; }
  int error() const { return error_; }  // errno of a failed start or commit

  // Finishes the temporary file and renames it over sorted.out; on failure
  // error() tells why.
  bool commit() {
    const bool written = std::fclose(fp_) == 0;
    fp_ = nullptr;
    if (written && std::rename(temp_.c_str(), kOutput) == 0) return true;
    error_ = errno;
    std::remove(temp_.c_str());
    return false;
  }

 private:
  std::string temp_ = std::string(kOutput) + ".XXXXXX";
  std::FILE* fp_ = nullptr;
  int error_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  cli::no_arguments(kProgram, argc, argv);
  // All three opens come first, in this order, each reported on failure.
  std::FILE* cmp = std::fopen("g0m2410d.cmp", "rt");
  if (cmp == nullptr) cannot_open("g0m2410d.cmp", errno);
  Output out;
  if (out.file() == nullptr) cannot_open(kOutput, out.error());
  std::FILE* nst = std::fopen("g0m2410d.nst", "rt");
  if (nst == nullptr) cannot_open("g0m2410d.nst", errno);
  if (cmp == nullptr || out.file() == nullptr || nst == nullptr) return 1;

  // Both inputs are checked before a line is written: a short file gives no
  // line of undefined values.
  Columns col;
  bool cmp_ok = read_cmp(cmp, col.third);
  bool nst_ok = read_nst(nst, col.first, col.second);
  if (!cmp_ok || !nst_ok) return 1;

  for (int k = 0; k < kLines; ++k)
    std::fprintf(out.file(), "%g\t%e\t%e\n", static_cast<double>(col.first[k]),
                 static_cast<double>(col.second[k]), static_cast<double>(col.third[k]));
  if (!out.commit()) {
    cli::refuse(kProgram.name,
                std::string("cannot write ") + kOutput + ": " + std::strerror(out.error()));
  }
  return 0;
}
