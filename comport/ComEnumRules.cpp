#include "comport/ComEnumRules.h"

#include "toolkit/Utf.h"

namespace comport {
namespace {

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// The registry's answer when it is a string, else the empty text.
std::string TextOf(const std::optional<TRegistryReader::Value>& value) {
  return value && value->type == TRegistryReader::kString ? value->text : std::string();
}

}  // namespace

bool IsComDeviceName(std::string_view name) {
  return name.starts_with("COM") || name.starts_with("\\\\.\\COM");
}

void AppendDosDeviceNames(std::vector<std::string>& list, std::u16string_view names, bool comOnly) {
  while (!names.empty()) {
    const auto end = names.find(u'\0');
    const std::u16string_view name = names.substr(0, end);
    if (!name.empty()) {
      std::string utf8 = toolkit::Utf16ToUtf8(name);
      if (!comOnly || IsComDeviceName(utf8)) list.push_back(std::move(utf8));
    }
    if (end == std::u16string_view::npos) break;
    names.remove_prefix(end + 1);
  }
}

void AppendSerialMap(std::vector<std::string>& list, TRegistryReader& registry) {
  const auto values = registry.Values(kSerialMapKey);
  if (!values) return;
  for (const TRegistryReader::Value& value : *values) {
    if (value.type == TRegistryReader::kString) list.push_back(value.text);
  }
}

void AppendPortsClassFriendlyNames(std::vector<std::string>& list, TRegistryReader& registry) {
  const std::string tree = kDeviceTreeKey;
  const auto enumerators = registry.SubKeys(tree);
  if (!enumerators) return;
  for (const std::string& e : *enumerators) {
    const auto devices = registry.SubKeys(tree + "\\" + e);
    if (!devices) continue;
    for (const std::string& d : *devices) {
      const auto instances = registry.SubKeys(tree + "\\" + e + "\\" + d);
      if (!instances) continue;
      for (const std::string& i : *instances) {
        const std::string key = tree + "\\" + e + "\\" + d + "\\" + i;
        if (Lower(TextOf(registry.Read(key, "ClassGUID"))) != kPortsClassGuid) continue;
        const auto friendly = registry.Read(key, "FriendlyName");
        if (friendly && friendly->type == TRegistryReader::kString) list.push_back(friendly->text);
      }
    }
  }
}

}  // namespace comport
