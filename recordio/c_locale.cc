#include "recordio/c_locale.h"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <locale.h>

namespace recordio {
namespace {

// The C locale as an object of its own; the C library hands out a fixed one
// for "C", so this cannot fail and is never freed.
locale_t c_locale() {
  static const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t{});
  return c;
}

}  // namespace

float c_strtof(const char* text, char** end) { return ::strtof_l(text, end, c_locale()); }

double c_strtod(const char* text, char** end) { return ::strtod_l(text, end, c_locale()); }

std::string c_format(const char* format, ...) {
  const locale_t before = ::uselocale(c_locale());
  std::va_list args;
  va_start(args, format);
  std::va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(n > 0 ? n : 0) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.pop_back();
  ::uselocale(before);
  return text;
}

}  // namespace recordio
