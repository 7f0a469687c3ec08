// The registry below one root key, opened read-only (KEY_READ), as the enumeration rules read it.
#pragma once

#include <windows.h>

#include "comport/ComEnumRules.h"

namespace comport::win32 {

class RegistryReader final : public TRegistryReader {
 public:
  // `root` is borrowed: a predefined key, or one the caller keeps open while reading.
  explicit RegistryReader(HKEY root = HKEY_LOCAL_MACHINE) : root_(root) {}

  std::optional<std::vector<std::string>> SubKeys(const std::string& path) override;
  std::optional<std::vector<Value>> Values(const std::string& path) override;
  std::optional<Value> Read(const std::string& path, const std::string& name) override;

 private:
  HKEY root_;
};

}  // namespace comport::win32
