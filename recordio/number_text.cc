// A number given on its own as text (a command-line value), read by the
// list-directed rules of a typed answer through TextInput.
#include <cmath>
#include <string>
#include <string_view>

#include "recordio/text_input.h"

namespace recordio {
namespace {

// Reads text as one value into target. nullopt when it is one number alone;
// otherwise what is wrong ("" when it is simply no number).
template <class T>
std::optional<std::string> read_alone(std::string_view text, T& value) {
  // What the list rules would take as more than one item, a null value, an
  // end of the statement or a repeat: one number alone has none of them.
  if (text.find_first_of(",/*\n\r") != std::string_view::npos) {
    return text.find_first_of("\n\r") != std::string_view::npos
               ? std::optional<std::string>("it holds a line break")
               : std::optional<std::string>("");
  }
  TextInput in(text, "value");
  T read = T(0);
  if (in.read({&read}, Layout::no_extra) != TextInput::Read::complete) return "";
  if (!in.warnings().empty()) return "it holds more than one value";
  constexpr bool real = sizeof(T) == sizeof(float);
  if (std::isinf(read)) {
    return real ? "a REAL holds at most 3.4028235e38" : "a number holds at most 1.7976931e308";
  }
  // Digits other than 0 before the exponent that came out as 0: below the
  // smallest value the type holds.
  const std::string_view digits = text.substr(0, text.find_first_of("eEdDqQ"));
  if (read == T(0) && digits.find_first_of("123456789") != std::string_view::npos) {
    return real ? "the smallest REAL above 0 is 1.4e-45, so it would be read as 0"
                : "the smallest number above 0 is 4.9e-324, so it would be read as 0";
  }
  value = read;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> read_number(std::string_view text, double& value) {
  return read_alone(text, value);
}

std::optional<std::string> read_real(std::string_view text, float& value) {
  return read_alone(text, value);
}

}  // namespace recordio
