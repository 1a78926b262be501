// FORMAT-driven write and the "(a)" read: the FORMAT text is parsed into a
// small tree once, on its first use (the first 64 texts are kept; any later
// one is parsed at each statement), and worked left to right against the
// items.
#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <utility>
#include <vector>

#include "internal.h"
#include "recordio/c_locale.h"
#include "recordio/recordio.h"

namespace recordio {
namespace detail {

std::string int_field(std::int64_t v, int w, int m) {
  std::string digits = std::to_string(v < 0 ? -v : v);
  if (m >= 0 && static_cast<int>(digits.size()) < m) {
    digits.insert(0, static_cast<std::size_t>(m) - digits.size(), '0');
  }
  if (m == 0 && v == 0) digits.clear();  // Iw.0 leaves a zero blank
  if (v < 0) digits.insert(0, 1, '-');
  if (static_cast<int>(digits.size()) > w) return std::string(static_cast<std::size_t>(w), '*');
  return std::string(static_cast<std::size_t>(w) - digits.size(), ' ') + digits;
}

namespace {

// v printed under a one-precision printf form ("%#.*f", "%.*e"). The
// precision comes from the FORMAT (up to 100000 digits), so the text is
// sized to fit rather than cut at a fixed buffer.
std::string printed(bool fixed, int precision, double v) {
  return fixed ? c_format("%#.*f", precision, v) : c_format("%.*e", precision, v);
}

// Precisions up to this many digits go through std::to_chars, which gives
// the characters printf gives (both round the exact binary value to the
// nearest, ties to even, and lay out "%.*f" and "%.*e" the same way) without
// printf's cost; longer ones through printed(). The buffer holds any finite
// double in either form at such a precision (309 integer digits at most).
constexpr int kShortPrecision = 64;
using ShortText = std::array<char, 400>;

// "%#.*f" of a finite v: the point is there even for d = 0.
std::string fixed_text(double v, int d) {
  if (d > kShortPrecision) return printed(true, d, v);
  ShortText buf;
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::fixed, d);
  std::string t(buf.data(), r.ptr);
  if (d == 0) t += '.';
  return t;
}

// "%.*e" of a finite v.
std::string exp_text(double v, int precision) {
  if (precision > kShortPrecision) return printed(false, precision, v);
  ShortText buf;
  const auto r =
      std::to_chars(buf.data(), buf.data() + buf.size(), v, std::chars_format::scientific, precision);
  return std::string(buf.data(), r.ptr);
}

// The decimal digits of 0 <= v <= 999, at least `width` of them, after text.
void append_digits(std::string& text, int v, int width) {
  char d[3] = {static_cast<char>('0' + v / 100), static_cast<char>('0' + v / 10 % 10),
               static_cast<char>('0' + v % 10)};
  int k = v >= 100 ? 0 : v >= 10 ? 1 : 2;
  k = std::min(k, 3 - width);
  text.append(d + k, d + 3);
}

std::string stars(int w) { return std::string(static_cast<std::size_t>(w), '*'); }

std::string right_justified(const std::string& text, int w) {
  if (static_cast<int>(text.size()) > w) return stars(w);
  return std::string(static_cast<std::size_t>(w) - text.size(), ' ') + text;
}

}  // namespace

std::string fixed_field(double v, int w, int d) {
  if (!std::isfinite(v)) return stars(w);
  std::string body = fixed_text(std::fabs(v), d);
  // A value that rounds to zero keeps no minus sign.
  const bool neg = v < 0 && body.find_first_of("123456789") != std::string::npos;
  const std::string sign = neg ? "-" : "";
  // The "0" before the point goes first when the field is too narrow for it.
  if (static_cast<int>(sign.size() + body.size()) > w && body.rfind("0.", 0) == 0) {
    body.erase(0, 1);
  }
  return right_justified(sign + body, w);
}

std::string exp_field(double v, int w, int d, int e, char letter) {
  if (!std::isfinite(v)) return stars(w);
  std::string digits;
  int exponent = 0;
  if (v == 0) {
    digits.assign(static_cast<std::size_t>(d), '0');
  } else {
    // "%.*e" rounds to d significant digits: d.ddd e X is .dddd times 10^(X+1).
    // A fixed buffer here cut the text of a wide Ew.d before its exponent,
    // and the search for the 'e' then ran off the end of the string.
    const std::string t = exp_text(std::fabs(v), d > 0 ? d - 1 : 0);
    const std::size_t epos = t.find('e');
    for (std::size_t k = 0; k < epos; ++k) {
      if (t[k] != '.') digits += t[k];
    }
    if (d == 0) digits.clear();
    exponent = std::atoi(t.c_str() + epos + 1) + 1;
  }
  const int mag = std::abs(exponent);
  const char esign = exponent < 0 ? '-' : '+';
  // The exponent part: Ee gives the letter, the sign and e digits; otherwise
  // the letter, the sign and 2 digits, or the sign and 3 without the letter.
  std::string ebuf;
  if (e > 0) {
    const std::string edigits = std::to_string(mag);
    if (static_cast<int>(edigits.size()) > e || e > 9) return stars(w);
    ebuf = {letter, esign};
    ebuf.append(static_cast<std::size_t>(e) - edigits.size(), '0');
    ebuf += edigits;
  } else if (mag <= 99) {
    ebuf = {letter, esign};
    append_digits(ebuf, mag, 2);
  } else if (mag <= 999) {
    ebuf = {esign};
    append_digits(ebuf, mag, 3);
  } else {
    return stars(w);
  }
  const std::string sign = v < 0 ? "-" : "";
  std::string text = sign + "." + digits + ebuf;
  // The "0" before the point only when the field has a column to spare.
  if (static_cast<int>(text.size()) < w) text = sign + "0." + digits + ebuf;
  return right_justified(text, w);
}

}  // namespace detail

namespace {

constexpr std::string_view kWriteOp = "formatted write";
constexpr std::string_view kReadOp = "formatted read";
// Elements (each repetition counted) one formatted write may work: far
// beyond any FORMAT of the programs, small enough to end in well under a
// second.
constexpr long long kMaxSteps = 200'000;

[[noreturn]] void bad_format() { detail::fatal(kWriteOp, "error in format"); }

// One element of a FORMAT: a quoted text, nX, a slash, a colon, a data
// descriptor (I, F, E, D, A) or a parenthesised group, with its repeat count.
struct Node {
  enum class Kind { kText, kSkip, kSlash, kColon, kData, kGroup } kind;
  int repeat = 1;
  char letter = 0;  // data descriptors, upper case
  int w = -1;       // -1: not given
  int d = -1;
  int e = 0;
  std::string text;
  std::vector<Node> children;
};

class Parser {
 public:
  explicit Parser(std::string_view f) : f_(f) {}

  std::vector<Node> parse() {
    skip_blanks();
    if (!take('(')) bad_format();
    std::vector<Node> top = group_body();
    skip_blanks();
    if (p_ != f_.size()) bad_format();
    return top;
  }

 private:
  void skip_blanks() {
    while (p_ < f_.size() && (f_[p_] == ' ' || f_[p_] == '\t')) ++p_;
  }
  bool take(char c) {
    skip_blanks();
    if (p_ < f_.size() && f_[p_] == c) {
      ++p_;
      return true;
    }
    return false;
  }
  int number() {  // -1 when no digits stand here
    skip_blanks();
    if (p_ >= f_.size() || !std::isdigit(static_cast<unsigned char>(f_[p_]))) return -1;
    int n = 0;
    while (p_ < f_.size() && std::isdigit(static_cast<unsigned char>(f_[p_]))) {
      n = n * 10 + (f_[p_++] - '0');
      if (n > 100000) bad_format();
    }
    return n;
  }

  // Elements up to and including the closing parenthesis.
  std::vector<Node> group_body() {
    std::vector<Node> nodes;
    for (;;) {
      skip_blanks();
      if (p_ >= f_.size()) bad_format();
      if (take(')')) return nodes;
      if (take(',')) continue;
      nodes.push_back(element());
    }
  }

  Node element() {
    const int count = number();
    skip_blanks();
    if (p_ >= f_.size()) bad_format();
    const char c = f_[p_];
    Node n{};
    n.repeat = count > 0 ? count : 1;
    if (count == 0) bad_format();
    if (c == '\'' || c == '"') {
      if (count >= 0) bad_format();
      n.kind = Node::Kind::kText;
      n.text = quoted(c);
      return n;
    }
    ++p_;
    switch (std::toupper(static_cast<unsigned char>(c))) {
      case '(':
        n.kind = Node::Kind::kGroup;
        n.children = group_body();
        return n;
      case '/':
        n.kind = Node::Kind::kSlash;
        return n;
      case ':':
        if (count >= 0) bad_format();
        n.kind = Node::Kind::kColon;
        return n;
      case 'X':
        n.kind = Node::Kind::kSkip;
        return n;
      case 'I':
      case 'F':
      case 'E':
      case 'D':
      case 'A':
        n.kind = Node::Kind::kData;
        n.letter = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        descriptor_widths(n);
        return n;
      default:
        bad_format();
    }
  }

  // w, .d and Ee after a data descriptor's letter.
  void descriptor_widths(Node& n) {
    n.w = number();
    if (n.letter == 'A') {
      if (n.w == 0) bad_format();
      return;
    }
    if (n.w <= 0) bad_format();
    if (take('.')) {
      n.d = number();
      if (n.d < 0) bad_format();
    } else if (n.letter != 'I') {
      bad_format();
    }
    if (n.letter == 'E' || n.letter == 'D') {
      skip_blanks();
      if (p_ < f_.size() && std::toupper(static_cast<unsigned char>(f_[p_])) == 'E') {
        ++p_;
        n.e = number();
        if (n.e <= 0) bad_format();
      }
    }
  }

  // A text between quotes; the quote doubled inside stands for itself.
  std::string quoted(char q) {
    std::string t;
    ++p_;
    for (;;) {
      if (p_ >= f_.size()) bad_format();
      const char c = f_[p_++];
      if (c != q) {
        t += c;
      } else if (p_ < f_.size() && f_[p_] == q) {
        t += q;
        ++p_;
      } else {
        return t;
      }
    }
  }

  std::string_view f_;
  std::size_t p_ = 0;
};

// Works a parsed FORMAT against the items, ending records through `emit`.
class FormatWriter {
 public:
  FormatWriter(int unit, std::span<const Item> items) : unit_(unit), items_(items) {}

  void write(const std::vector<Node>& top) {
    bool data_seen = false;
    for (const Node& n : top) data_seen = data_seen || has_data(n);
    if (!run(top)) return finish();
    // The last parenthesis with items left: end the record and resume at the
    // last top-level group (with its repeat count), or at the start.
    std::size_t from = 0;
    for (std::size_t k = 0; k < top.size(); ++k) {
      if (top[k].kind == Node::Kind::kGroup) from = k;
    }
    const std::span<const Node> rescan(top.data() + from, top.size() - from);
    bool rescan_data = false;
    for (const Node& n : rescan) rescan_data = rescan_data || has_data(n);
    while (next_ < items_.size()) {
      if (!data_seen || !rescan_data) bad_format();  // the items could never be taken
      emit();
      if (!run(rescan)) break;
    }
    finish();
  }

 private:
  static bool has_data(const Node& n) {
    if (n.kind == Node::Kind::kData) return true;
    for (const Node& c : n.children) {
      if (has_data(c)) return true;
    }
    return false;
  }

  // Returns false when the statement ends inside (items run out at a data
  // descriptor or a colon).
  bool run(std::span<const Node> nodes) {
    for (const Node& n : nodes) {
      for (int r = 0; r < n.repeat; ++r) {
        // Nested repeat counts multiply: "(100000(100000(100000/)))" would
        // write 10^15 records or grow one record without end. A statement
        // may work a bounded number of elements.
        if (++steps_ > kMaxSteps) detail::fatal(kWriteOp, "out of free space");
        switch (n.kind) {
          case Node::Kind::kText:
            record_ += n.text;
            break;
          case Node::Kind::kSkip:
            record_.append(1, ' ');
            break;
          case Node::Kind::kSlash:
            emit();
            break;
          case Node::Kind::kColon:
            if (next_ >= items_.size()) return false;
            break;
          case Node::Kind::kData:
            if (next_ >= items_.size()) return false;
            record_ += field(n, items_[next_++]);
            break;
          case Node::Kind::kGroup:
            if (!run(n.children)) return false;
            break;
        }
      }
    }
    return true;
  }

  static double real_value(const Item& item) {
    if (const auto* f = std::get_if<float>(&item)) return static_cast<double>(*f);
    if (const auto* d = std::get_if<double>(&item)) return *d;
    bad_format();
  }

  static std::string field(const Node& n, const Item& item) {
    switch (n.letter) {
      case 'I': {
        const auto* i = std::get_if<std::int32_t>(&item);
        if (i == nullptr) bad_format();
        return detail::int_field(*i, n.w, n.d);
      }
      case 'F':
        return detail::fixed_field(real_value(item), n.w, n.d);
      case 'E':
      case 'D':
        return detail::exp_field(real_value(item), n.w, n.d, n.e, n.letter);
      default: {  // 'A'
        const auto* s = std::get_if<std::string_view>(&item);
        if (s == nullptr) bad_format();
        if (n.w < 0) return std::string(*s);
        const auto w = static_cast<std::size_t>(n.w);
        if (s->size() >= w) return std::string(s->substr(0, w));
        return std::string(w - s->size(), ' ') + std::string(*s);
      }
    }
  }

  void emit() {
    detail::write_record(unit_, record_, kWriteOp);
    record_.clear();
  }
  void finish() { emit(); }

  int unit_;
  std::span<const Item> items_;
  std::size_t next_ = 0;
  std::string record_;
  long long steps_ = 0;
};

}  // namespace

namespace {

// A program writes through a handful of fixed FORMATs, many times each (a
// report line per spectral line): each text is parsed once. Texts beyond the
// first kCachedFormats are parsed at every use, so the cache stays small.
constexpr std::size_t kCachedFormats = 64;

const std::vector<Node>& parsed(std::string_view format, std::vector<Node>& scratch) {
  static std::vector<std::pair<std::string, std::vector<Node>>> cache;
  for (const auto& [text, nodes] : cache) {
    if (text == format) return nodes;
  }
  scratch = Parser(format).parse();
  if (cache.size() == kCachedFormats) return scratch;
  cache.emplace_back(std::string(format), std::move(scratch));
  return cache.back().second;
}

}  // namespace

void write_formatted(int unit, std::string_view format, std::span<const Item> items) {
  detail::begin_statement(false, true, unit, format);
  std::vector<Node> scratch;
  FormatWriter(unit, items).write(parsed(format, scratch));
  detail::end_statement();
}

namespace {
// Starts a whole-record read: only the form "(a)" is offered.
void begin_whole_record(int unit, std::string_view format) {
  detail::begin_statement(true, true, unit, format);
  std::string compact;
  for (char c : format) {
    if (c != ' ') compact += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  if (compact != "(a)") detail::fatal(kReadOp, "error in format");
}
}  // namespace

void read_formatted(int unit, std::string_view format, std::string& var) {
  begin_whole_record(unit, format);
  if (!detail::read_record(unit, var, kReadOp)) detail::fatal(kReadOp, "end of file");
  detail::end_statement();
}

bool read_formatted_or_end(int unit, std::string_view format, std::string& var) {
  begin_whole_record(unit, format);
  const bool read = detail::read_record(unit, var, kReadOp);
  detail::end_statement();
  return read;
}

void read_formatted(int unit, std::string_view format, std::span<char> var) {
  std::string record;
  read_formatted(unit, format, record);
  const std::size_t k = std::min(record.size(), var.size());
  std::copy_n(record.begin(), k, var.begin());
  std::fill(var.begin() + static_cast<std::ptrdiff_t>(k), var.end(), ' ');
}

}  // namespace recordio
