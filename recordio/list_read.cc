// List-directed read: values, separators, nulls, repeat counts, slash, quoted
// and unquoted CHARACTER values, and the numeric forms the reader accepts.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "internal.h"
#include "recordio/c_locale.h"
#include "recordio/recordio.h"
#include "recordio/text_input.h"

namespace recordio {
namespace {

constexpr std::string_view kOp = "list read";

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_unquoted(char c) { return is_blank(c) || c == ',' || c == '/'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Where a list read takes its records from and where its faults go: a unit
// (a fault is the fatal report) or a TextInput (a fault ends the statement
// and is kept as its outcome).
class Source {
 public:
  virtual bool next(std::string& record) = 0;  // false at the end
  virtual long line() = 0;                     // records read so far
  virtual void warn(long line, std::string_view what) = 0;
  [[noreturn]] virtual void fault(std::string_view reason) = 0;
  // A refusal of the program's own ("NAME: line N: what", status 1).
  [[noreturn]] virtual void refuse(long line, const std::string& what) = 0;

 protected:
  ~Source() = default;
};

class UnitSource final : public Source {
 public:
  explicit UnitSource(int unit) : unit_(unit) {}
  bool next(std::string& record) override { return detail::read_record(unit_, record, kOp); }
  long line() override { return detail::record_number(unit_); }
  void warn(long line, std::string_view what) override { detail::warn_layout(unit_, line, what); }
  [[noreturn]] void fault(std::string_view reason) override { detail::fatal(kOp, reason); }
  [[noreturn]] void refuse(long line, const std::string& what) override {
    detail::refuse_line(unit_, line, what);
  }

 private:
  int unit_;
};

// Thrown by TextSource::fault, caught where the statement began.
struct Faulted {};

class TextSource final : public Source {
 public:
  explicit TextSource(TextInput& in) : in_(in) {}
  bool next(std::string& record) override { return in_.next_record(record); }
  long line() override { return in_.records_read(); }
  void warn(long line, std::string_view what) override { in_.warn_layout(line, what); }
  [[noreturn]] void fault(std::string_view reason) override {
    in_.set_fault(reason);
    throw Faulted{};
  }
  [[noreturn]] void refuse(long line, const std::string& what) override {
    in_.set_refusal(in_.name() + ": line " + std::to_string(line) + ": " + what);
    throw Faulted{};
  }

 private:
  TextInput& in_;
};

// One value of the input: null (nothing given), or a text, quoted or not.
struct Value {
  bool null = false;
  bool quoted = false;
  std::string text;
};

// Checks the numeric form of text: optional sign, digits with an optional
// point, optional exponent (letter e E d D q Q, optionally signed digits).
// On success normal holds the text with the exponent letter made 'e' and
// integer_form tells whether there was neither point nor exponent.
void scan_number(Source& src, std::string_view t, std::string& normal, bool& integer_form) {
  std::size_t i = 0;
  normal.clear();
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) normal += t[i++];
  std::size_t digits = 0;
  bool point = false;
  while (i < t.size() && is_digit(t[i])) {
    normal += t[i++];
    ++digits;
  }
  if (i < t.size() && t[i] == '.') {
    point = true;
    normal += t[i++];
    while (i < t.size() && is_digit(t[i])) {
      normal += t[i++];
      ++digits;
    }
  }
  if (digits == 0) src.fault("incomprehensible list input");
  integer_form = !point;
  if (i == t.size()) return;
  const char letter = t[i];
  if (letter == 'e' || letter == 'E' || letter == 'd' || letter == 'D' || letter == 'q' ||
      letter == 'Q') {
    integer_form = false;
    normal += 'e';
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) normal += t[i++];
    std::size_t exp_digits = 0;
    while (i < t.size() && is_digit(t[i])) {
      normal += t[i++];
      ++exp_digits;
    }
    if (exp_digits == 0 || i != t.size()) src.fault("exponent field");
    return;
  }
  src.fault("invalid number");
}

void assign(Source& src, const Value& v, const Target& target) {
  if (v.null) return;
  if (const auto* chars = std::get_if<std::span<char>>(&target)) {
    const std::size_t k = std::min(v.text.size(), chars->size());
    auto rest = std::copy_n(v.text.begin(), k, chars->begin());
    std::fill(rest, chars->end(), ' ');
    return;
  }
  if (v.quoted) src.fault("incomprehensible list input");
  std::string normal;
  bool integer_form = false;
  scan_number(src, v.text, normal, integer_form);
  if (std::int32_t* const* ip = std::get_if<std::int32_t*>(&target)) {
    if (!integer_form) src.fault("invalid number");
    errno = 0;
    const long long n = std::strtoll(normal.c_str(), nullptr, 10);
    if (errno == ERANGE || n < INT32_MIN || n > INT32_MAX) src.fault("invalid number");
    **ip = static_cast<std::int32_t>(n);
  } else if (float* const* fp = std::get_if<float*>(&target)) {
    **fp = c_strtof(normal.c_str());
  } else {
    *std::get<double*>(target) = c_strtod(normal.c_str());
  }
}

// Whether text has the form of a number (or r*c with such a c).
bool numeric_form(std::string_view t) {
  if (const std::size_t star = t.find('*'); star != std::string_view::npos) t = t.substr(star + 1);
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < t.size() && is_digit(t[i])) ++i, ++digits;
  if (i < t.size() && t[i] == '.') {
    ++i;
    while (i < t.size() && is_digit(t[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i == t.size()) return true;
  if (std::string_view("eEdDqQ").find(t[i]) == std::string_view::npos) return false;
  ++i;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
  const std::size_t exp_start = i;
  while (i < t.size() && is_digit(t[i])) ++i;
  return i > exp_start && i == t.size();
}

// Whether a number stands in text before any slash.
bool holds_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (is_blank(text[i]) || text[i] == ',')) ++i;
    const std::size_t start = i;
    while (i < text.size() && !ends_unquoted(text[i])) ++i;
    if (numeric_form(text.substr(start, i - start))) return true;
    if (i < text.size() && text[i] == '/') return false;
  }
  return false;
}

// Whether t is digits only (at least one), after an optional sign when
// signed is allowed.
bool whole_number(std::string_view t, bool sign_allowed) {
  if (sign_allowed && !t.empty() && (t[0] == '+' || t[0] == '-')) t.remove_prefix(1);
  return !t.empty() && std::all_of(t.begin(), t.end(), is_digit);
}

// The first likely decimal comma of a record outside quotes: a comma with a
// digit on each side, between blanks a whole number before it and digits
// with an optional exponent after it ("2110,4174", "-1,5e-3"; not "1,2,3"
// or "7e-21,5"). Returns the number as written, or an empty text when there
// is none.
std::string decimal_comma(std::string_view rec) {
  char quote = 0;
  for (std::size_t i = 0; i < rec.size(); ++i) {
    const char c = rec[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '\'' || c == '"') {
      quote = c;
      continue;
    }
    if (c != ',' || i == 0 || i + 1 == rec.size() || !is_digit(rec[i - 1]) ||
        !is_digit(rec[i + 1])) {
      continue;
    }
    // The number as written runs from a blank to a blank (or a slash): a
    // comma before or after it makes the comma a separator.
    std::size_t start = i;
    while (start > 0 && !is_blank(rec[start - 1])) --start;
    std::size_t end = i + 1;
    while (end < rec.size() && !is_blank(rec[end]) && rec[end] != '/') ++end;
    const std::string_view before = rec.substr(start, i - start);
    std::string_view after = rec.substr(i + 1, end - i - 1);
    if (const std::size_t e = after.find_first_of("eEdDqQ"); e != std::string_view::npos) {
      if (!whole_number(after.substr(e + 1), true)) continue;
      after = after.substr(0, e);
    }
    if (whole_number(before, true) && whole_number(after, false)) {
      return std::string(rec.substr(start, end - start));
    }
  }
  return {};
}

class ListReader {
 public:
  explicit ListReader(Source& src) : src_(src) {}

  // Fills the targets, then checks the layout; false when the input ended
  // first.
  bool read(std::span<const Target> targets, Layout layout, Commas commas) {
    slashed_ = false;
    if (!fill(targets)) return false;
    if (layout == Layout::free || slashed_ || first_line_ == 0) return true;
    const long line = src_.line();
    const bool left_over = (repeat_left_ > 0 && !repeated_.null) ||
                           holds_number(std::string_view(rec_).substr(pos_));
    if (left_over && commas == Commas::refuse) {
      if (std::string number = decimal_comma(rec_); !number.empty()) {
        const std::string written = number;
        number[number.find(',')] = '.';
        src_.refuse(line, "'" + written + "' looks like a decimal comma; write " + number);
      }
    }
    if (layout == Layout::one_line && line != first_line_) {
      src_.warn(first_line_, "one read took its values from more than one line");
    } else if (left_over) {
      src_.warn(line, "the line holds more numbers than were read from it");
    }
    return true;
  }

 private:
  bool fill(std::span<const Target> targets) {
    if (!next_record()) return false;
    for (const Target& target : targets) {
      Value v;
      if (repeat_left_ > 0) {
        --repeat_left_;
        v = repeated_;
      } else {
        // Find the next value, passing over blanks and ends of record.
        for (;;) {
          while (pos_ < rec_.size() && is_blank(rec_[pos_])) ++pos_;
          if (pos_ < rec_.size()) break;
          if (!next_record()) return false;
        }
        if (first_line_ == 0) first_line_ = src_.line();
        const char c = rec_[pos_];
        if (c == '/') {  // the statement ends; the rest keep their values
          slashed_ = true;
          return true;
        }
        if (c == ',') {
          ++pos_;
          v.null = true;
        } else {
          if (!take_value(v)) return false;
        }
      }
      assign(src_, v, target);
    }
    return true;
  }

  bool next_record() {
    pos_ = 0;
    return src_.next(rec_);
  }

  // A value (with its repeat count, if any) and the separator after it.
  bool take_value(Value& v) {
    // r*c or r*: an optionally signed integer directly followed by '*'.
    std::size_t p = pos_;
    if (p < rec_.size() && (rec_[p] == '+' || rec_[p] == '-')) ++p;
    const std::size_t digits_start = p;
    while (p < rec_.size() && is_digit(rec_[p])) ++p;
    if (p > digits_start && p < rec_.size() && rec_[p] == '*') {
      const std::string count_text = rec_.substr(pos_, p - pos_);
      errno = 0;
      const long long count = std::strtoll(count_text.c_str(), nullptr, 10);
      if (count <= 0) src_.fault("bad repetition count");
      pos_ = p + 1;
      if (pos_ == rec_.size() || ends_unquoted(rec_[pos_])) {
        v.null = true;
      } else if (!take_text(v)) {
        return false;
      }
      skip_separator();
      repeated_ = v;
      repeat_left_ = (errno == ERANGE || count > INT32_MAX) ? INT32_MAX : count - 1;
      return true;
    }
    if (!take_text(v)) return false;
    skip_separator();
    return true;
  }

  // A quoted string (possibly continued over records) or an unquoted run.
  bool take_text(Value& v) {
    const char q = rec_[pos_];
    if (q == '\'' || q == '"') {
      v.quoted = true;
      ++pos_;
      for (;;) {
        if (pos_ == rec_.size()) {
          if (!next_record()) return false;
          continue;
        }
        const char c = rec_[pos_++];
        if (c == q) {
          if (pos_ < rec_.size() && rec_[pos_] == q) {
            v.text += q;
            ++pos_;
          } else {
            return true;
          }
        } else {
          v.text += c;
        }
      }
    }
    const std::size_t start = pos_;
    while (pos_ < rec_.size() && !ends_unquoted(rec_[pos_])) ++pos_;
    v.text = rec_.substr(start, pos_ - start);
    return true;
  }

  // Blanks, then at most one comma.
  void skip_separator() {
    while (pos_ < rec_.size() && is_blank(rec_[pos_])) ++pos_;
    if (pos_ < rec_.size() && rec_[pos_] == ',') ++pos_;
  }

  Source& src_;
  std::string rec_;
  std::size_t pos_ = 0;
  long long repeat_left_ = 0;
  Value repeated_;
  long first_line_ = 0;   // the record of the first value, 0 before it
  bool slashed_ = false;  // a slash ended the statement
};

}  // namespace

void read_list(int unit, std::span<const Target> targets, Layout layout, Commas commas) {
  detail::begin_statement(true, true, unit);
  UnitSource src(unit);
  ListReader reader(src);
  if (!reader.read(targets, layout, commas)) detail::fatal(kOp, "end of file");
  detail::end_statement();
}

bool read_list_or_end(int unit, std::span<const Target> targets, Layout layout, Commas commas) {
  detail::begin_statement(true, true, unit);
  UnitSource src(unit);
  ListReader reader(src);
  const bool complete = reader.read(targets, layout, commas);
  detail::end_statement();
  return complete;
}

// --- TextInput -----------------------------------------------------------------

TextInput::TextInput(std::string_view text, std::string name)
    : text_(text), name_(std::move(name)) {}

bool TextInput::next_record(std::string& record) {
  record.clear();
  ended_ = false;
  if (!reason_.empty() || pos_ >= text_.size()) {
    ended_ = true;
    return false;
  }
  ++records_;
  std::size_t end = text_.find('\n', pos_);
  if (end == std::string::npos) end = text_.size();
  // The same limit as a unit's read: an overlong line is refused.
  if (end - pos_ > detail::kMaxRecord) {
    set_fault("longer than " + std::to_string(detail::kMaxRecord) + " characters");
    return false;
  }
  record.assign(text_, pos_, end - pos_);
  pos_ = end + 1;
  // A record ended by CR LF ends at the CR, as a unit's.
  if (!record.empty() && record.back() == '\r') record.pop_back();
  return true;
}

void TextInput::warn_layout(long line, std::string_view what) {
  if (warned_) return;
  warned_ = true;
  warnings_.push_back(name_ + ": line " + std::to_string(line) + ": " + std::string(what) +
                      "; is there a decimal comma or a header line?");
}

void TextInput::set_fault(std::string_view reason) {
  if (reason_.empty()) reason_ = reason;
}

void TextInput::set_refusal(std::string message) {
  if (reason_.empty()) {
    reason_ = "refused";
    refusal_ = std::move(message);
  }
}

std::string TextInput::message() const {
  if (!refusal_.empty()) return refusal_;
  // The line a fault names: the record holding the bad item, or the one
  // after the last record when the end was met (as the fatal report).
  const long line = records_ + (ended_ ? 1 : 0);
  return name_ + ": line " + std::to_string(line) + ": " + std::string(kOp) + ": " +
         (reason_.empty() ? std::string("end of file") : reason_);
}

TextInput::Read TextInput::read(std::span<const Target> targets, Layout layout, Commas commas) {
  if (!reason_.empty()) return Read::fault;
  TextSource src(*this);
  ListReader reader(src);
  try {
    const bool complete = reader.read(targets, layout, commas);
    return !reason_.empty() ? Read::fault : complete ? Read::complete : Read::ended;
  } catch (const Faulted&) {
    return Read::fault;
  }
}

}  // namespace recordio
