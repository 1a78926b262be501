// Picture files that a plotting library writes by name: the one way momfit
// and bandfit choose the device and make the file appear whole, at exactly
// the name given, or not at all.
#pragma once

#include <string>
#include <string_view>

#include "run/replace_file.h"

namespace recordio {

// The plotting library's file device for a picture name, by its extension
// in any case: "png", "pdf", "svg" or "ps" for .png, .PDF, .Svg, .ps, ...;
// empty for any other name (and for a name that is only an extension).
std::string_view picture_type(std::string_view name);

// Why `content` is not a whole picture of `type` (a picture_type), or empty
// when it is: it must be non-empty and end as a complete file of its kind
// ends (PNG: the IEND chunk; PDF and PostScript: "%%EOF"; SVG: "</svg>";
// trailing white space allowed after the text endings).
std::string picture_fault(std::string_view type, std::string_view content);

// A picture for `target` (whose picture_type must not be empty), written by
// the plotting library to a temporary file beside it. The library opens
// device(); after it has closed the device, commit_or_report() checks the
// temporary with picture_fault and renames it onto the target. Any failure
// leaves an earlier target as it was and no temporary behind.
//
// From construction to commit_or_report() what the library writes on
// standard error is held: a picture that comes out whole lets it through
// as it was, a failed one is said in one line, with the system's reason
// when there is one (a full disk, a file-size limit) and otherwise with
// what the library said.
class PictureFile {
 public:
  explicit PictureFile(const std::string& target);
  ~PictureFile();
  PictureFile(const PictureFile&) = delete;
  PictureFile& operator=(const PictureFile&) = delete;

  // False, with error() saying why, when no temporary the library can be
  // given could be made (a read-only folder, a name too long for the
  // library); device() is then empty.
  [[nodiscard]] bool ok() const { return error_.empty(); }
  [[nodiscard]] const std::string& error() const { return error_; }
  // "NAME/type" for the plotting library's open call.
  [[nodiscard]] const std::string& device() const { return device_; }

  // Checks the finished temporary and renames it onto the target. On any
  // failure (reason given to fail() before, no temporary, an incomplete
  // picture, the rename) says cannot_write(target, reason), which makes the
  // run's status 1, and returns false.
  bool commit_or_report();
  // Records why the picture cannot be finished (e.g. the library could not
  // open the device); commit_or_report() then reports it.
  void fail(std::string_view reason);

 private:
  ReplaceFile file_;
  std::string type_;
  std::string device_;
  std::string error_;
  int dir_ = -1;  // the target's directory, when the library reaches it through /proc
  int held_ = -1;    // in memory: what the library writes on standard error
  int stderr_ = -1;  // standard error itself while held_ stands in for it

  // Standard error back in place; returns what the library wrote meanwhile.
  std::string release_stderr();
};

}  // namespace recordio
