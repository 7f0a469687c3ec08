// The ports' defaults and the line-settings dialog on Windows: GetDefaultCommConfig,
// SetDefaultCommConfig and CommConfigDialog, over the component's comm-configuration record.
#pragma once

#include <string>
#include <vector>

#include "comport/ComConfigDialog.h"
#include "toolkit/Error.h"

namespace comport::win32 {

// The record as the system takes it: the fixed part (kCommConfigSize bytes, the provider's bytes
// from the offset of its last field on), and back. Reading a buffer shorter than the fixed part,
// or whose provider bytes lie outside it, keeps only what lies inside.
std::vector<unsigned char> ToSystemRecord(const TCommConfig& config);
TCommConfig FromSystemRecord(const std::vector<unsigned char>& record);

// GetDefaultCommConfig and SetDefaultCommConfig. Errors carry the system's code and text.
// `config.dwSize` below kCommConfigSize fails with ERROR_INVALID_PARAMETER before anything is asked
// of the system.
toolkit::Error ReadPortDefaults(const std::string& name, TCommConfig& config);
toolkit::Error WritePortDefaults(const std::string& name, const TCommConfig& config);

// CommConfigDialog, with no owner window. A dialog the system cannot show counts as cancelled.
class SystemComDialogs final : public TComDialogService {
 public:
  bool ShowConfigDialog(const std::string& name, TCommConfig& config) override;
};

}  // namespace comport::win32
