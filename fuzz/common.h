// Shared by the fuzz targets: the library's end-of-process hook turned into
// an exception, a private working directory, and input files written there.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "recordio/testing.h"

namespace fuzzing {

// Thrown by the hook where the program would have aborted or exited.
struct Ended {
  int status;
};

inline void throw_end(int status) { throw Ended{status}; }

inline std::filesystem::path& work_dir() {
  static std::filesystem::path dir;
  return dir;
}

inline void remove_work_dir() {
  std::error_code ignored;
  std::filesystem::remove_all(work_dir(), ignored);
}

// Once per process: the hook, standard output sent nowhere (the targets may
// write to unit 6), and a fresh directory to work in, removed at exit, so
// that "fort.N" files and inputs never land in the caller's directory.
inline void setup() {
  recordio::set_end_hook(throw_end);
  if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
  // Memory-backed when available: every run writes its input file.
  char name[] = "/dev/shm/labsuite-fuzz-XXXXXX";
  char fallback[] = "/tmp/labsuite-fuzz-XXXXXX";
  const char* dir = ::mkdtemp(name);
  if (dir == nullptr) dir = ::mkdtemp(fallback);
  if (dir == nullptr) std::abort();
  work_dir() = dir;
  std::filesystem::current_path(work_dir());
  std::atexit(remove_work_dir);
}

inline void write_file(const char* name, std::string_view text) {
  std::FILE* f = std::fopen(name, "wb");
  if (f == nullptr) std::abort();
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
}

// Runs one input through body; a fatal I/O error, fail() or stop() ends it
// early. Every unit is closed afterwards so no state passes to the next run.
template <class Body>
void run_one(Body body) {
  try {
    body();
  } catch (const Ended&) {
  }
  recordio::close_units();
}

// An input whose first line holds the target's choices: that line, and the
// text after it.
struct Parts {
  std::string_view header;
  std::string_view body;
};
inline Parts split_header(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t eol = input.find('\n');
  return {input.substr(0, eol), eol == std::string_view::npos ? "" : input.substr(eol + 1)};
}

}  // namespace fuzzing

// Every target is its own program and includes this header once.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::setup();
  return 0;
}
