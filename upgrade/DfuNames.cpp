#include "upgrade/DfuNames.h"

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

namespace dfu {
namespace {

constexpr std::array<const char*, result::kCount> kResultNames = {
    "success", "aborted", "fail_unknown", "fail_unimplemented", "fail_os", "fail_exception",
    "fail_no_transport", "fail_no_upload", "fail_no_download",
    // file
    "fail_file_create", "fail_file_open", "fail_file_short", "fail_file_suffix", "fail_file_read",
    "fail_file_crc", "fail_file_vendor", "fail_file_product",
    // reply
    "fail_reply_short", "fail_reply_long",
    // DFU
    "fail_dfu_target", "fail_dfu_file", "fail_dfu_write", "fail_dfu_erase", "fail_dfu_check_erased",
    "fail_dfu_prog", "fail_dfu_verify", "fail_dfu_address", "fail_dfu_not_done",
    "fail_dfu_firmware", "fail_dfu_vendor_num", "fail_dfu_vendor_str", "fail_dfu_usbr",
    "fail_dfu_por", "fail_dfu_unknown", "fail_dfu_stalledpkt",
    // USB
    "fail_usb_open", "fail_usb_id", "fail_usb_desc_short", "fail_usb_desc_long",
    "fail_usb_desc_bad", "fail_usb_no_dfu", "fail_usb_none", "fail_usb_ps_read", "fail_usb_buffer",
    // HCI
    "fail_hci_unknown_cmd", "fail_hci_no_connection", "fail_hci_hardware_fail",
    "fail_hci_page_timeout", "fail_hci_auth_fail", "fail_hci_err_key_missing",
    "fail_hci_memory_full", "fail_hci_connect_timeout", "fail_hci_max_connect", "fail_hci_max_sco",
    "fail_hci_acl_exists", "fail_hci_cmd_disallowed", "fail_hci_host_rej_resource",
    "fail_hci_host_rej_security", "fail_hci_host_rej_personal", "fail_hci_host_timeout",
    "fail_hci_unsupported", "fail_hci_invalid_params", "fail_hci_term_user",
    "fail_hci_term_resource", "fail_hci_term_off", "fail_hci_term_local", "fail_hci_repeated",
    "fail_hci_no_pairing", "fail_hci_lmp_unknown", "fail_hci_unsupported_rem",
    "fail_hci_sco_offset", "fail_hci_sco_interval", "fail_hci_sco_air_mode", "fail_hci_lmp_invalid",
    "fail_hci_unspecified", "fail_hci_lmp_unsupported", "fail_hci_role_change",
    "fail_hci_lmp_timeout", "fail_hci_lmp_error", "fail_hci_lmp_not_allowed", "fail_hci_unknown",
    // mode
    "fail_mode_no_dfu", "fail_mode_not_idle", "fail_mode_not_dnload_busy",
    "fail_mode_not_dnload_idle", "fail_mode_not_manifest",
    // serial transport
    "fail_com_open", "fail_com_start", "fail_com_connect", "fail_com_none", "fail_com_fail",
    "fail_com_timeout", "fail_com_timeout_tx", "fail_com_timeout_rx", "fail_com_short",
    "fail_com_long", "fail_com_buffer", "fail_com_mismatched",
    // BCCMD
    "fail_bccmd_no_such_varid", "fail_bccmd_too_big", "fail_bccmd_no_value", "fail_bccmd_bad_req",
    "fail_bccmd_no_access", "fail_bccmd_read_only", "fail_bccmd_write_only", "fail_bccmd_error",
    "fail_bccmd_permission_denied", "fail_bccmd_unknown",
    // BTW
    "fail_btw_error", "fail_btw_not_suppored", "fail_btw_busy", "fail_btw_file",
    "fail_btw_download", "fail_btw_system", "fail_btw_vendor", "fail_btw_start_dfu",
    "fail_btw_status_short", "fail_btw_status_long"};

constexpr std::array<const char*, operation::kCount> kOperationNames = {"ready",
                                                                        "reconfigure_connect",
                                                                        "reconfigure_start_runtime",
                                                                        "reconfigure_start_dfu",
                                                                        "reconfigure_checking",
                                                                        "upload_prepare",
                                                                        "upload_progress",
                                                                        "upload_verify",
                                                                        "download_prepare",
                                                                        "download_progress",
                                                                        "download_verify",
                                                                        "manifest_start_runtime",
                                                                        "manifest_retry_runtime",
                                                                        "manifest_fail",
                                                                        "recover_clean_up",
                                                                        "recover_fail"};

constexpr std::array<const char*, suboperation::kCount> kSubOperationNames = {
    "no_sub_operation",
    "transport_bcsp_passive_le",
    "transport_bcsp_active_le",
    "transport_bcsp_no_le",
    "transport_h4",
    "transport_usb_wait",
    "transport_usb_open",
    "transport_usb_check",
    "transport_established",
    "download_processing"};

// A code is a row's position: every row has a name, and each named code is the row it says.
template <std::size_t N>
constexpr bool EveryRowNamed(const std::array<const char*, N>& table) {
  return std::all_of(table.begin(), table.end(), [](const char* n) { return n != nullptr && *n; });
}
constexpr bool Is(const char* row, std::string_view name) {
  return row != nullptr && name == row;
}
static_assert(EveryRowNamed(kResultNames) && EveryRowNamed(kOperationNames) &&
              EveryRowNamed(kSubOperationNames));
static_assert(Is(kResultNames[result::kSuccess], "success") &&
              Is(kResultNames[result::kAborted], "aborted") &&
              Is(kResultNames[result::kFailOs], "fail_os") &&
              Is(kResultNames[result::kFailNoDownload], "fail_no_download") &&
              Is(kResultNames[result::kFailFileOpen], "fail_file_open") &&
              Is(kResultNames[result::kFailFileCrc], "fail_file_crc") &&
              Is(kResultNames[result::kFailFileProduct], "fail_file_product") &&
              Is(kResultNames[result::kFailReplyLong], "fail_reply_long") &&
              Is(kResultNames[result::kFailDfuTarget], "fail_dfu_target") &&
              Is(kResultNames[result::kFailDfuFirmware], "fail_dfu_firmware") &&
              Is(kResultNames[result::kFailDfuVendorNum], "fail_dfu_vendor_num") &&
              Is(kResultNames[result::kFailDfuVendorStr], "fail_dfu_vendor_str") &&
              Is(kResultNames[result::kFailDfuUnknown], "fail_dfu_unknown") &&
              Is(kResultNames[result::kFailDfuStalledPkt], "fail_dfu_stalledpkt") &&
              Is(kResultNames[result::kFailUsbOpen], "fail_usb_open") &&
              Is(kResultNames[result::kFailUsbNone], "fail_usb_none") &&
              Is(kResultNames[result::kFailModeNoDfu], "fail_mode_no_dfu") &&
              Is(kResultNames[result::kFailModeNotManifest], "fail_mode_not_manifest") &&
              Is(kResultNames[result::kCount - 1], "fail_btw_status_long"));
static_assert(Is(kOperationNames[operation::kReconfigureConnect], "reconfigure_connect") &&
              Is(kOperationNames[operation::kDownloadVerify], "download_verify") &&
              Is(kOperationNames[operation::kManifestFail], "manifest_fail") &&
              Is(kOperationNames[operation::kCount - 1], "recover_fail"));
static_assert(Is(kSubOperationNames[suboperation::kUsbWait], "transport_usb_wait") &&
              Is(kSubOperationNames[suboperation::kEstablished], "transport_established") &&
              Is(kSubOperationNames[suboperation::kDownloadProcessing], "download_processing"));

std::string NameOf(std::span<const char* const> table, std::uint32_t code) {
  if (code < table.size()) return table[code];
  return "unknown (" + std::to_string(code) + ")";
}

}  // namespace

std::uint32_t result::ForStatus(std::uint8_t status, bool hasString) {
  // An error state without an error status is an error all the same.
  if (status == 0 || status > 15) return kFailDfuUnknown;
  if (status <= 10) return kFailDfuTarget + status - 1u;
  if (status == 11) return hasString ? kFailDfuVendorStr : kFailDfuVendorNum;
  return kFailDfuVendorStr + status - 11u;  // 12 usbr .. 15 stalledpkt
}

std::string ResultName(std::uint32_t code) {
  return NameOf(kResultNames, code);
}

std::string OperationName(std::uint32_t code) {
  return NameOf(kOperationNames, code);
}

std::string SubOperationName(std::uint32_t code) {
  return NameOf(kSubOperationNames, code);
}

}  // namespace dfu
