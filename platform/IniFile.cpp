#include "platform/IniFile.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "platform/Folders.h"
#include "toolkit/AtomicFile.h"

namespace platform {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// "[name]" -> name; nothing for other lines.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const auto close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

struct KeyValue {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyValue> ParseKeyValue(std::string_view line) {
  const std::string_view trimmed = Trim(line);
  if (trimmed.empty() || trimmed.front() == ';') return std::nullopt;
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyValue{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

// The file's text; nothing for a file that does not exist; `unreadable` set for one that exists
// but cannot be read.
struct Contents {
  std::optional<std::string> text;
  toolkit::Error unreadable;
};

toolkit::Error ReadFailure(const std::string& path, int code, std::string text) {
  return toolkit::Error{toolkit::ErrorKind::OsFailure, code, std::move(text), "read " + path};
}

// Only a regular file is opened, and read up to the limit: a named pipe or a device in the file's
// place would otherwise hold the window's start-up, and an endless file its memory. (A pipe put in
// its place between the check and the open could still hold it; that takes a hostile process of
// the user's own, which could stop the tool anyway.)
Contents Slurp(const std::string& path) {
  std::error_code ec;
  const auto file = FsPath(path);
  const auto status = std::filesystem::status(file, ec);
  if (status.type() == std::filesystem::file_type::not_found) return {};
  if (ec)
    return {std::nullopt, ReadFailure(path, ec.value(), toolkit::TrimSystemText(ec.message()))};
  if (status.type() != std::filesystem::file_type::regular)
    return {std::nullopt, ReadFailure(path, 0, "not a regular file")};
  const std::string tooLarge = "larger than " + std::to_string(IniFile::kMaxFileSize) + " bytes";
  const auto size = std::filesystem::file_size(file, ec);
  if (!ec && size > IniFile::kMaxFileSize) return {std::nullopt, ReadFailure(path, 0, tooLarge)};
  errno = 0;
  std::ifstream in(file, std::ios::binary);
  // The C library's open sets errno on both systems; the stream keeps no reason of its own.
  if (const int code = errno; !in) {
    return {std::nullopt,
            ReadFailure(path, code, code != 0 ? toolkit::ErrnoText(code) : "cannot be opened")};
  }
  std::string text;
  char buffer[4096];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text.append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text.size() > IniFile::kMaxFileSize) return {std::nullopt, ReadFailure(path, 0, tooLarge)};
  }
  if (in.bad()) return {std::nullopt, ReadFailure(path, 0, "a read failed")};
  return {std::move(text), {}};
}

// The file a symbolic link at `path` leads to, link after link, so that a write replaces the
// target and keeps the link; `path` itself when it is no link. A loop ends at the link it reached.
std::string ThroughLinks(const std::string& path) {
  constexpr int kMaxLinks = 40;
  std::filesystem::path at = FsPath(path);
  std::error_code ec;
  for (int i = 0; i < kMaxLinks && std::filesystem::is_symlink(at, ec); ++i) {
    const std::filesystem::path target = std::filesystem::read_symlink(at, ec);
    if (ec) break;
    at = target.is_absolute() ? target : at.parent_path() / target;
  }
  const std::u8string utf8 = at.u8string();
  return std::string(utf8.begin(), utf8.end());
}

std::vector<std::string_view> SplitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const auto nl = text.find('\n', start);
    const auto end = nl == std::string_view::npos ? text.size() : nl;
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

// The value as the line holds it, so that reading it (blanks trimmed, one pair of surrounding
// quotes stripped) gives it back.
std::string Stored(std::string_view value) {
  const bool blankEnd = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
  const bool quoted = value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front();
  if (blankEnd || quoted) return "\"" + std::string(value) + "\"";
  return std::string(value);
}

}  // namespace

bool IniFile::CanHold(std::string_view value) {
  return value.find_first_of("\r\n") == std::string_view::npos;
}

std::optional<std::string> IniFile::Read(std::string_view section, std::string_view key) const {
  const auto text = Slurp(path_).text;
  if (!text) return std::nullopt;
  bool inSection = false;
  for (std::string_view line : SplitLines(*text)) {
    if (auto name = SectionName(line)) {
      inSection = SameName(*name, section);
      continue;
    }
    if (!inSection) continue;
    const auto kv = ParseKeyValue(line);
    if (!kv || !SameName(kv->key, key)) continue;
    std::string_view value = kv->value;
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::string(value);
  }
  return std::nullopt;
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view fallback) const {
  auto value = Read(section, key);
  return value ? *value : std::string(fallback);
}

void IniFile::WriteString(std::string_view section, std::string_view key,
                          std::string_view value) const {
  if (!CanHold(value)) {
    throw toolkit::Exception("Unable to write to " + path_ + ": the value of " + std::string(key) +
                             " holds a line break");
  }
  // A file that is there but cannot be read is the user's to mend: replacing it would lose
  // every line of it.
  Contents contents = Slurp(path_);
  if (contents.unreadable) throw IniFileError(path_, std::move(contents.unreadable));
  const std::string old = std::move(contents.text).value_or(std::string());
  const std::vector<std::string_view> lines = SplitLines(old);
  const bool lastEnded = old.empty() || old.back() == '\n';
  // Lines this write adds end as the file's first line does; every other line keeps its bytes,
  // its own line end included, so writing the same value twice changes nothing.
  const auto firstEnd = old.find('\n');
  const std::string eol =
      firstEnd != std::string::npos && firstEnd > 0 && old[firstEnd - 1] == '\r' ? "\r\n" : "\n";
  const std::string newLine = std::string(key) + "=" + Stored(value);

  bool inSection = false;
  bool sectionFound = false;
  std::size_t replaceAt = lines.size();  // none
  std::size_t insertAt = lines.size();   // after the section's last key
  for (std::size_t i = 0; i < lines.size() && replaceAt == lines.size(); ++i) {
    if (auto name = SectionName(lines[i])) {
      if (inSection) break;
      inSection = SameName(*name, section);
      if (inSection) {
        sectionFound = true;
        insertAt = i + 1;
      }
      continue;
    }
    if (!inSection) continue;
    const auto kv = ParseKeyValue(lines[i]);
    if (!kv) continue;
    insertAt = i + 1;
    if (SameName(kv->key, key)) replaceAt = i;
  }

  std::string out;
  // Ends the file's last line before anything is added after it.
  const auto endLastLine = [&] {
    if (lastEnded) return;
    out += !lines.back().empty() && lines.back().back() == '\r' ? "\n" : eol;
  };
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const bool ended = i + 1 < lines.size() || lastEnded;
    if (i == replaceAt) {
      out += newLine;
      if (!lines[i].empty() && lines[i].back() == '\r') out += '\r';
    } else {
      if (sectionFound && replaceAt == lines.size() && i == insertAt) out += newLine + eol;
      out += lines[i];
    }
    if (ended) out += '\n';
  }
  if (replaceAt == lines.size() && (!sectionFound || insertAt == lines.size())) {
    endLastLine();
    if (!sectionFound) out += "[" + std::string(section) + "]" + eol;
    out += newLine + eol;
  }
  if (toolkit::Error e = toolkit::WriteFileAtomically(ThroughLinks(path_), out)) {
    throw IniFileError(path_, std::move(e));
  }
}

}  // namespace platform
