// The FORMAT interpreter on arbitrary FORMAT texts and item lists. The first
// line of the input lists the items, blank separated, each a type letter, a
// colon and a value: i:INTEGER, r:REAL, d:DOUBLE PRECISION (strtod forms, so
// nan, inf and hex floats too), a:CHARACTER (the text up to the next blank).
// The rest of the input (less a final newline) is the FORMAT text, written
// to unit 6. A FORMAT text of the form "*N" instead writes the items
// list-directed into a CHARACTER variable of length N (1 to 200), whose
// overflow is a fatal error.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/common.h"
#include "recordio/recordio.h"

namespace {

constexpr std::size_t kMaxItems = 64;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const fuzzing::Parts parts = fuzzing::split_header(data, size);
  const std::string_view header = parts.header;
  std::string_view format = parts.body;
  if (!format.empty() && format.back() == '\n') format.remove_suffix(1);  // the file's last newline

  std::vector<std::string> texts;  // stable storage for the CHARACTER items
  texts.reserve(kMaxItems);
  std::vector<recordio::Item> items;
  std::size_t p = 0;
  while (p < header.size() && items.size() < kMaxItems) {
    std::size_t end = header.find(' ', p);
    if (end == std::string_view::npos) end = header.size();
    const std::string token(header.substr(p, end - p));
    p = end + 1;
    if (token.size() < 2 || token[1] != ':') continue;
    const std::string value = token.substr(2);
    switch (token[0]) {
      case 'i': {
        const long long v = std::strtoll(value.c_str(), nullptr, 10);
        items.emplace_back(static_cast<std::int32_t>(v < INT32_MIN ? INT32_MIN
                                                     : v > INT32_MAX ? INT32_MAX
                                                                     : v));
        break;
      }
      case 'r': items.emplace_back(std::strtof(value.c_str(), nullptr)); break;
      case 'd': items.emplace_back(std::strtod(value.c_str(), nullptr)); break;
      case 'a': items.emplace_back(std::string_view(texts.emplace_back(value))); break;
      default: break;
    }
  }

  fuzzing::run_one([&] {
    if (format.size() >= 2 && format[0] == '*') {
      const int n = std::atoi(std::string(format.substr(1)).c_str());
      if (n < 1 || n > 200) return;
      // Exactly n characters of storage, so a write past the end is caught.
      const auto var = std::make_unique<char[]>(static_cast<std::size_t>(n));
      recordio::write_list(std::span<char>(var.get(), static_cast<std::size_t>(n)), items);
      return;
    }
    recordio::write_formatted(6, format, items);
  });
  return 0;
}
