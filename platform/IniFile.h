// The settings file: the classic initialisation-file format ("[Section]" lines, "key=value"
// lines), read and written one value at a time the way the platform's private-profile functions
// do it: section and key names match without regard to letter case, and a write changes only its
// own line, keeping every other section, key, comment and blank line as it was.
//
// A write replaces the file atomically (a temporary file in the same folder, flushed, then renamed
// over the old one), so a crash or a full disk leaves either the old file or the new one. A failed
// write throws toolkit::Exception "Unable to write to <path>".
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class IniFile {
 public:
  explicit IniFile(std::string path) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // The value, with surrounding blanks removed and one pair of matching surrounding quotes
  // stripped; nothing when the file, the section or the key is missing.
  std::optional<std::string> Read(std::string_view section, std::string_view key) const;
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view fallback = {}) const;

  void WriteString(std::string_view section, std::string_view key, std::string_view value) const;

 private:
  std::string path_;
};

// Writes `contents` to `path` atomically; false on any failure, with the old file untouched and
// errno set to the cause.
bool WriteFileAtomically(const std::string& path, std::string_view contents);

}  // namespace platform
