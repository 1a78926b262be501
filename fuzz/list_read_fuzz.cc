// The list-directed reader on arbitrary input. The first line of the input
// describes the read statements, the rest is the data they read:
//   i INTEGER, r REAL, d DOUBLE PRECISION, cN CHARACTER of length N (0-9),
//   '|' starts the next statement, '!' makes the statements take end of file
//   as an outcome (otherwise end of file is the fatal error).
// Each CHARACTER target has exactly its length of storage, so a write past
// it is caught.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/common.h"
#include "recordio/recordio.h"

namespace {

constexpr int kUnit = 10;
constexpr std::size_t kMaxTargets = 40;

struct Statement {
  std::vector<std::int32_t> ints;
  std::vector<float> reals;
  std::vector<double> doubles;
  std::vector<std::unique_ptr<char[]>> chars;
  std::vector<recordio::Target> targets;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzzing::Parts parts = fuzzing::split_header(data, size);
  const std::string_view header = parts.header;
  const std::string_view text = parts.body;

  bool or_end = false;
  std::vector<Statement> statements(1);
  std::size_t count = 0;
  // Storage is reserved first so the Target pointers stay valid.
  for (Statement& s : statements) {
    s.ints.reserve(kMaxTargets);
    s.reals.reserve(kMaxTargets);
    s.doubles.reserve(kMaxTargets);
  }
  for (std::size_t k = 0; k < header.size() && count < kMaxTargets; ++k) {
    Statement& s = statements.back();
    switch (header[k]) {
      case '!': or_end = true; break;
      case '|':
        statements.emplace_back();
        statements.back().ints.reserve(kMaxTargets);
        statements.back().reals.reserve(kMaxTargets);
        statements.back().doubles.reserve(kMaxTargets);
        break;
      case 'i': s.targets.emplace_back(&s.ints.emplace_back(-7)); ++count; break;
      case 'r': s.targets.emplace_back(&s.reals.emplace_back(-7.0f)); ++count; break;
      case 'd': s.targets.emplace_back(&s.doubles.emplace_back(-7.0)); ++count; break;
      case 'c': {
        std::size_t len = 1;
        if (k + 1 < header.size() && header[k + 1] >= '0' && header[k + 1] <= '9') {
          len = static_cast<std::size_t>(header[++k] - '0');
        }
        s.chars.push_back(std::make_unique<char[]>(len));
        s.targets.emplace_back(std::span<char>(s.chars.back().get(), len));
        ++count;
        break;
      }
      default: break;
    }
  }

  fuzzing::write_file("list.in", text);
  fuzzing::run_one([&] {
    recordio::open_old(kUnit, "list.in");
    for (const Statement& s : statements) {
      if (or_end) {
        if (!recordio::read_list_or_end(kUnit, s.targets)) break;
      } else {
        recordio::read_list(kUnit, s.targets);
      }
    }
    recordio::close(kUnit);
  });
  return 0;
}
