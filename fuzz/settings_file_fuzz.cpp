// The settings file on arbitrary bytes, read and written as the window does at start and at close:
// the value written reads back exactly, every other value reads as before, and writing the same
// value again changes no byte. The first input byte says how many of the last bytes are the value
// to write; the bytes between are the file as found.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz/FuzzFolder.h"
#include "platform/IniFile.h"
#include "toolkit/Exception.h"

namespace {

std::string Contents(const std::string& path) {
  std::string text;
  if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
    char buffer[4096];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
      text.append(buffer, n);
    std::fclose(f);
  }
  return text;
}

void Put(const std::string& path, const std::string& text) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(text.data(), 1, text.size(), f) != text.size()) std::abort();
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t valueSize = std::min<std::size_t>(data[0] % 64, rest.size());
  const std::string value = rest.substr(rest.size() - valueSize);
  const std::string found = rest.substr(0, rest.size() - valueSize);

  static const std::string path = fuzzing::FuzzFolder() + "/Tool.INI";
  Put(path, found);
  const platform::IniFile ini(path);
  // Values the write must leave alone: other keys of the section, the same key elsewhere.
  const auto otherKey = ini.Read("Setting", "Other");
  const auto otherSection = ini.Read("Other", "DFU_FileName");
  ini.Read("Setting", "DFU_FileName");

  if (!platform::IniFile::CanHold(value)) {
    try {
      ini.WriteString("Setting", "DFU_FileName", value);
      std::abort();  // refused values must be refused
    } catch (const toolkit::Exception&) {
    }
    if (Contents(path) != found) std::abort();
    return 0;
  }
  ini.WriteString("Setting", "DFU_FileName", value);
  if (ini.Read("Setting", "DFU_FileName") != value) std::abort();
  if (ini.Read("Setting", "Other") != otherKey) std::abort();
  if (ini.Read("Other", "DFU_FileName") != otherSection) std::abort();
  const std::string written = Contents(path);
  ini.WriteString("Setting", "DFU_FileName", value);
  if (Contents(path) != written) std::abort();
  return 0;
}
