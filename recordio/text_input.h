// Text in memory read by the list-directed rules of read_list, for callers
// that run inside another program (the Python module) and so must not end
// the process: a malformed value, the end of the text where values were
// expected and an overlong line come back as an outcome with the message the
// fatal report would give, and the layout warnings are kept rather than
// written. No unit, file or global state is touched: two threads may each
// read a TextInput of their own.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "recordio/recordio.h"

namespace recordio {

class TextInput {
 public:
  // name stands for the text in messages ("deck", a file name).
  TextInput(std::string_view text, std::string name);

  enum class Read { complete, ended, fault };

  // As read_list: starts at the next record, fills the targets in order
  // (from as many records as needed), skips the rest of the last record.
  // ended: the text ended before every target was filled (those filled keep
  // their values); fault: a value is malformed or a line too long, and every
  // later read is a fault too.
  // commas: as for read_list; a refused decimal comma is a fault whose
  // message is the program's refusal.
  Read read(std::span<const Target> targets, Layout layout = Layout::free,
            Commas commas = Commas::warn);
  Read read(std::initializer_list<Target> targets, Layout layout = Layout::free,
            Commas commas = Commas::warn) {
    return read(std::span<const Target>(targets.begin(), targets.size()), layout, commas);
  }

  // The record that held the last value read (the line number in messages).
  long records_read() const { return records_; }
  const std::string& name() const { return name_; }

  // After a read that was not complete: "NAME: line N: list read: REASON",
  // the reason as the fatal report gives it ("end of file" for an end), or
  // the refusal as the program gives it.
  std::string message() const;

  // The layout warnings, "NAME: line N: ...; is there a decimal comma or a
  // header line?", at most one (as a unit warns once per connection).
  const std::vector<std::string>& warnings() const { return warnings_; }
  // A warning of the caller's own (a file longer than it reads, say).
  void warn(std::string text) { warnings_.push_back(std::move(text)); }

  // The record source of the list reader (list_read.cc): false at the end
  // and at an overlong line (a fault).
  bool next_record(std::string& record);
  void warn_layout(long line, std::string_view what);
  void set_fault(std::string_view reason);
  void set_refusal(std::string message);

 private:
  std::string text_;
  std::string name_;
  std::size_t pos_ = 0;
  long records_ = 0;
  bool ended_ = false;
  bool warned_ = false;
  std::string reason_;   // of a fault; empty while none
  std::string refusal_;  // the whole message of a refusal
  std::vector<std::string> warnings_;
};

// A number given alone as text (a command-line value), read by the rules of
// a typed answer: blanks around it, a sign, a point, an exponent letter e,
// d or q ("1.42D3"). Returns nullopt with value set when the text is one
// number of the type's range; otherwise what is wrong, for the message
// after "needs a number, not 'TEXT'": "" when it is no number by those rules
// ("0x10", "ten", "", a comma or slash or repeat count), "it holds more
// than one value", "it holds a line break", or the range it is beyond ("a
// REAL holds at most 3.4028235e38"; a value that would be read as 0 from
// digits that are not: "the smallest REAL above 0 is 1.4e-45, so it would be
// read as 0"). value is left alone then.
[[nodiscard]] std::optional<std::string> read_number(std::string_view text, double& value);
[[nodiscard]] std::optional<std::string> read_real(std::string_view text, float& value);

}  // namespace recordio
