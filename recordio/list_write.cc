// List-directed write, to units and into CHARACTER variables.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "internal.h"
#include "recordio/recordio.h"

namespace recordio {
namespace {

constexpr std::size_t kLineLimit = 80;

// The text of a REAL or DOUBLE PRECISION item: a blank, the sign column, the
// value in printf's "%.9G" with a decimal point made sure of.
std::string real_text(double v) {
  std::string s = " ";
  if (std::isnan(v)) return s + " NaN";
  if (v < 0) {
    s += '-';
    v = -v;
  } else {
    s += ' ';
  }
  if (std::isinf(v)) return s + "Infinity";
  if (v == 0) return s + "0.";
  // "%.9G" through std::to_chars, which lays out and rounds "%.9g" as printf
  // does (nearest, ties to even), then the upper-case exponent letter.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 9);
  std::string t(buf, r.ptr);
  if (const std::size_t e = t.find('e'); e != std::string::npos) t[e] = 'E';
  if (t.find('.') == std::string::npos) {
    std::size_t e = t.find('E');
    if (e == std::string::npos) {
      t += '.';
    } else {
      t.insert(e, ".");
    }
  }
  return s + t;
}

// Lays out the items of one statement into records of at most limit
// columns, handing each finished record to end_record.
template <class EndRecord>
void lay_out(std::span<const Item> items, std::size_t limit, std::string& record,
             EndRecord end_record) {
  for (const Item& item : items) {
    if (const auto* text = std::get_if<std::string_view>(&item)) {
      if (!record.empty() && record.size() + text->size() >= limit) end_record();
      if (record.empty()) record += ' ';
      record.append(*text);
      continue;
    }
    std::string t;
    if (const auto* i = std::get_if<std::int32_t>(&item)) {
      t = " " + std::to_string(*i);
    } else if (const auto* f = std::get_if<float>(&item)) {
      t = real_text(static_cast<double>(*f));
    } else {
      t = real_text(std::get<double>(item));
    }
    if (!record.empty() && record.size() + t.size() >= limit) end_record();
    record += t;
  }
}

}  // namespace

void write_list(int unit, std::span<const Item> items) {
  const std::string_view op = "list write";
  detail::begin_statement(false, true, unit);
  std::string record;
  lay_out(items, kLineLimit, record, [&] {
    detail::write_record(unit, record, op);
    record.clear();
  });
  detail::write_record(unit, record, op);
  detail::end_statement();
}

void write_list(std::span<char> var, std::span<const Item> items) {
  detail::begin_statement(false, false, -1);
  std::string record;
  auto overflow = [] { detail::fatal("recend", "off end of record"); };
  lay_out(items, var.size(), record, overflow);
  if (record.size() > var.size()) overflow();
  auto rest = std::copy(record.begin(), record.end(), var.begin());
  std::fill(rest, var.end(), ' ');
  detail::end_statement();
}

}  // namespace recordio
