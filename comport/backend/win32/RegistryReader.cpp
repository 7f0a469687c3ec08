#include "comport/backend/win32/RegistryReader.h"

#include <cstring>
#include <cwchar>
#include <memory>

#include "toolkit/backend/win32/SystemError.h"

namespace comport::win32 {
namespace {

using toolkit::win32::Narrow;
using toolkit::win32::Wide;

// Read access and nothing more: KEY_READ.
constexpr REGSAM kReadOnly = 0x20019;

struct KeyCloser {
  void operator()(HKEY key) const { ::RegCloseKey(key); }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

Key Open(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(root, Wide(path).c_str(), 0, kReadOnly, &key) != ERROR_SUCCESS) return {};
  return Key(key);
}

// A string value's text: the data up to its first terminator, or all of it when it has none (the
// registry does not promise one).
std::string TextOf(const std::vector<BYTE>& data, DWORD size) {
  std::wstring text(size / sizeof(wchar_t), L'\0');
  std::memcpy(text.data(), data.data(), text.size() * sizeof(wchar_t));
  text.resize(std::wcslen(text.c_str()));
  return Narrow(text);
}

TRegistryReader::Value MakeValue(std::wstring_view name, DWORD type, const std::vector<BYTE>& data,
                                 DWORD size) {
  TRegistryReader::Value value;
  value.name = Narrow(name);
  value.type = type;
  if (type == REG_SZ) value.text = TextOf(data, size);
  return value;
}

}  // namespace

std::optional<std::vector<std::string>> RegistryReader::SubKeys(const std::string& path) {
  const Key key = Open(root_, path);
  if (!key) return std::nullopt;
  std::vector<std::string> names;
  // A key name holds at most 255 characters.
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD length = 256;
    const LSTATUS status =
        ::RegEnumKeyExW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS) break;
    names.push_back(Narrow(std::wstring_view(name, length)));
  }
  return names;
}

std::optional<std::vector<TRegistryReader::Value>> RegistryReader::Values(const std::string& path) {
  const Key key = Open(root_, path);
  if (!key) return std::nullopt;
  std::vector<Value> values;
  std::wstring name(16384, L'\0');  // the longest value name the registry allows, and its end
  std::vector<BYTE> data(256);
  for (DWORD index = 0;;) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS status = ::RegEnumValueW(key.get(), index, name.data(), &nameLength, nullptr,
                                           &type, data.data(), &size);
    if (status == ERROR_MORE_DATA && size > data.size()) {
      data.resize(size);  // the same value again, with room for its data
      continue;
    }
    if (status != ERROR_SUCCESS) break;
    values.push_back(MakeValue(std::wstring_view(name.data(), nameLength), type, data, size));
    ++index;
  }
  return values;
}

std::optional<TRegistryReader::Value> RegistryReader::Read(const std::string& path,
                                                           const std::string& name) {
  const Key key = Open(root_, path);
  if (!key) return std::nullopt;
  const std::wstring wideName = Wide(name);
  std::vector<BYTE> data(256);
  for (;;) {
    DWORD type = 0;
    DWORD size = static_cast<DWORD>(data.size());
    const LSTATUS status =
        ::RegQueryValueExW(key.get(), wideName.c_str(), nullptr, &type, data.data(), &size);
    if (status == ERROR_MORE_DATA && size > data.size()) {
      data.resize(size);
      continue;
    }
    if (status != ERROR_SUCCESS) return std::nullopt;
    return MakeValue(wideName, type, data, size);
  }
}

}  // namespace comport::win32
