// The settings file: the classic initialisation-file format ("[Section]" lines, "key=value"
// lines), read and written one value at a time the way the platform's private-profile functions
// do it: section and key names match without regard to letter case, and a write changes only its
// own line, keeping every other section, key, comment and blank line as it was.
//
// A file that is there but cannot be read (not a regular file, as a named pipe or a device; no
// permission; a read error; larger than kMaxFileSize) reads as missing and is never written: a
// write throws IniFileError and leaves it as it is, with every line the user had in it.
//
// A write replaces the file atomically (toolkit/AtomicFile.h), so a crash or a full disk leaves
// either the old file or the new one; a file that is a symbolic link has its target replaced, and
// stays a link. A failed write throws IniFileError, whose message is "Unable to write to <path>"
// and whose cause is the failing step with the system's code.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "toolkit/Error.h"
#include "toolkit/Exception.h"

namespace platform {

class IniFileError : public toolkit::Exception {
 public:
  IniFileError(const std::string& path, toolkit::Error cause)
      : toolkit::Exception("Unable to write to " + path), cause_(std::move(cause)) {}
  const toolkit::Error& Cause() const { return cause_; }

 private:
  toolkit::Error cause_;
};

class IniFile {
 public:
  // The settings file holds one path of at most 255 characters; a file this large is not one.
  static constexpr std::size_t kMaxFileSize = std::size_t{1} << 20;

  explicit IniFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The value, with surrounding blanks removed and one pair of matching surrounding quotes
  // stripped; nothing when the file, the section or the key is missing.
  std::optional<std::string> Read(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback = {}) const;

  // Writes the value so that Read gives it back exactly: a value with blanks at either end, or
  // one that a pair of quotes surrounds, is written in double quotes. A value the format cannot
  // hold (see CanHold) throws toolkit::Exception and leaves the file as it was.
  void WriteString(std::string_view section, std::string_view key, std::string_view value) const;

  // False for a value holding a line break: it would split into lines of its own and read back
  // cut. (A Linux file name may hold one.)
  static bool CanHold(std::string_view value);

 private:
  std::string path_;
};

}  // namespace platform
