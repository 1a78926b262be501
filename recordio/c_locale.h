// Numbers as text by the C locale's rules (a point before the decimals, no
// grouping), whatever locale the process has set: a program that hosts the
// library (a Python interpreter, say) may have set one with a decimal comma,
// and a file or a message must read and say the same in every host.
#pragma once

#include <string>

namespace recordio {

// strtof and strtod by the C locale's rules; end as theirs (may be null).
float c_strtof(const char* text, char** end = nullptr);
double c_strtod(const char* text, char** end = nullptr);

// The whole text snprintf makes of format and its arguments, by the C
// locale's rules. Changes the calling thread's locale only for the call.
[[gnu::format(printf, 1, 2)]] std::string c_format(const char* format, ...);

}  // namespace recordio
