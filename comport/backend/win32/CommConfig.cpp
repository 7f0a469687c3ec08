#include "comport/backend/win32/CommConfig.h"

#include <windows.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "toolkit/backend/win32/SystemError.h"

namespace comport::win32 {
namespace {

using toolkit::win32::Wide;
using toolkit::win32::WinError;

// The component's record and the system's share their layout, field for field.
static_assert(sizeof(TDcb) == sizeof(DCB));
static_assert(offsetof(TDcb, XonLim) == offsetof(DCB, XonLim));
static_assert(offsetof(TDcb, EvtChar) == offsetof(DCB, EvtChar));
static_assert(sizeof(COMMCONFIG) == kCommConfigSize);
constexpr std::size_t kProviderDataOffset = offsetof(COMMCONFIG, wcProviderData);

toolkit::Error TooSmall(const std::string& op) {
  return WinError(ERROR_INVALID_PARAMETER, op);
}

}  // namespace

std::vector<unsigned char> ToSystemRecord(const TCommConfig& config) {
  const std::size_t provider = config.providerData.size();
  std::vector<unsigned char> record(
      std::max<std::size_t>(kCommConfigSize, kProviderDataOffset + provider));
  COMMCONFIG fixed{};
  fixed.dwSize = static_cast<DWORD>(record.size());
  fixed.wVersion = config.wVersion;
  std::memcpy(&fixed.dcb, &config.dcb, sizeof(DCB));
  fixed.dcb.DCBlength = sizeof(DCB);
  fixed.dwProviderSubType = config.dwProviderSubType;
  fixed.dwProviderOffset = provider != 0 ? static_cast<DWORD>(kProviderDataOffset) : 0;
  fixed.dwProviderSize = static_cast<DWORD>(provider);
  std::memcpy(record.data(), &fixed, kProviderDataOffset);
  if (provider != 0) {
    std::memcpy(record.data() + kProviderDataOffset, config.providerData.data(), provider);
  }
  return record;
}

TCommConfig FromSystemRecord(const std::vector<unsigned char>& record) {
  TCommConfig config;
  if (record.size() < kProviderDataOffset) return config;
  COMMCONFIG fixed{};
  std::memcpy(&fixed, record.data(), kProviderDataOffset);
  config.dwSize = kCommConfigSize;
  config.wVersion = fixed.wVersion;
  std::memcpy(static_cast<void*>(&config.dcb), &fixed.dcb, sizeof(DCB));
  config.dwProviderSubType = fixed.dwProviderSubType;
  const std::size_t offset = fixed.dwProviderOffset;
  const std::size_t size = fixed.dwProviderSize;
  if (size != 0 && offset >= kProviderDataOffset && offset <= record.size() &&
      size <= record.size() - offset) {
    config.providerData.assign(reinterpret_cast<const char*>(record.data() + offset), size);
    config.dwProviderOffset = static_cast<std::uint32_t>(kProviderDataOffset);
    config.dwProviderSize = static_cast<std::uint32_t>(size);
  }
  return config;
}

toolkit::Error ReadPortDefaults(const std::string& name, TCommConfig& config) {
  const std::string op = "read the default settings of " + name;
  if (config.dwSize < kCommConfigSize) return TooSmall(op);
  std::vector<unsigned char> record(kCommConfigSize);
  for (;;) {
    DWORD size = static_cast<DWORD>(record.size());
    reinterpret_cast<COMMCONFIG*>(record.data())->dwSize = size;
    if (::GetDefaultCommConfigW(Wide(name).c_str(), reinterpret_cast<COMMCONFIG*>(record.data()),
                                &size)) {
      break;
    }
    const DWORD error = ::GetLastError();
    // The provider wants room for its own bytes: ask again with the size it named.
    if (error == ERROR_INSUFFICIENT_BUFFER && size > record.size()) {
      record.assign(size, 0);
      continue;
    }
    return WinError(error, op);
  }
  const std::uint32_t callerSize = config.dwSize;
  config = FromSystemRecord(record);
  config.dwSize = callerSize;
  return {};
}

toolkit::Error WritePortDefaults(const std::string& name, const TCommConfig& config) {
  const std::string op = "change the default settings of " + name;
  if (config.dwSize < kCommConfigSize) return TooSmall(op);
  std::vector<unsigned char> record = ToSystemRecord(config);
  if (!::SetDefaultCommConfigW(Wide(name).c_str(), reinterpret_cast<COMMCONFIG*>(record.data()),
                               static_cast<DWORD>(record.size()))) {
    return toolkit::win32::LastWinError(op);
  }
  return {};
}

bool SystemComDialogs::ShowConfigDialog(const std::string& name, TCommConfig& config) {
  std::vector<unsigned char> record = ToSystemRecord(config);
  if (!::CommConfigDialogW(Wide(name).c_str(), nullptr,
                           reinterpret_cast<COMMCONFIG*>(record.data()))) {
    return false;
  }
  const std::uint32_t callerSize = config.dwSize;
  config = FromSystemRecord(record);
  config.dwSize = callerSize;
  return true;
}

}  // namespace comport::win32
