#include "tools/qmr7ctl/Texts.h"

#include <array>
#include <vector>

#include "toolkit/Utf.h"

namespace qmr7ctl {
namespace {

struct Entry {
  Text id;
  const char* english;
  const char* japanese;
};

constexpr std::array<Entry, static_cast<std::size_t>(Text::kCount)> kTexts = {{
    {Text::UnknownCommand, "Unknown command '%1'.", "不明なコマンド「%1」です。"},
    {Text::UnknownOption, "Unknown option '%1'.", "不明なオプション「%1」です。"},
    {Text::OptionNeedsValue, "Option %1 needs a value.", "オプション %1 には値が必要です。"},
    {Text::OptionNotForCommand, "Option %1 does not apply to '%2'.",
     "オプション %1 は「%2」には使えません。"},
    {Text::WrongArgumentCount, "'%1' takes %2.", "「%1」の引数は %2 です。"},
    {Text::NotAnAssignment, "'%1' is not KEY=VALUE.", "「%1」は KEY=VALUE の形ではありません。"},
    {Text::UnknownSetting, "Unknown setting '%1'. The settings are: %2.",
     "不明な設定「%1」です。設定は次のとおりです: %2"},
    {Text::SettingTwice, "Setting %1 is given twice.", "設定 %1 が二度指定されています。"},
    {Text::NothingToSet, "Nothing to set: give KEY=VALUE.",
     "設定する値がありません。KEY=VALUE を指定してください。"},
    {Text::TryHelp, "Try 'qmr7ctl %1--help'.", "「qmr7ctl %1--help」を参照してください。"},
    {Text::NotAvailable,
     "'%1' is not available in this version; the QM-R7 Tool Program upgrades the firmware.",
     "「%1」はこのバージョンでは使えません。ファームウエアの更新はQM-"
     "R7設定ツールで行ってください。"},
    {Text::SpeedDialDigitsOnly, "%1: the allowed input number is from 0 to 9.",
     "%1: 数字のみ入力してください。"},
    {Text::SpeedDialTooLong, "%1: exceeds the allowed number of digits (%2).",
     "%1: 許容文字数（%2桁）を超えました。"},
    {Text::PercentageRange, "%1: a whole number from %2 to %3 is allowed.",
     "%1: %2から%3までの整数を入力してください。"},
    {Text::SharingYesNo, "%1: yes or no is allowed.", "%1: yes または no を指定してください。"},
    {Text::NoPorts, "No serial port found. Is the headset connected?",
     "シリアルポートが見つかりません。ヘッドセットは接続されていますか？"},
    {Text::NoHeadsetPort, "No headset port among %1. Choose one with --port.",
     "%1 の中にヘッドセットのポートがありません。--port で指定してください。"},
    {Text::SeveralHeadsetPorts, "Several headset ports: %1. Choose one with --port.",
     "ヘッドセットのポートが複数あります: %1。--port で指定してください。"},
    {Text::CannotOpenPort, "Unable to open the COM port %1: %2.",
     "COMポート %1 を開くことができません: %2。"},
    {Text::Timeout, "Time out for the device on %1 to respond.",
     "%1 のデバイスが応答しません（タイムアウト）。"},
    {Text::WrongIdentity, "The device on %1 is not a QM-R7 headset (identity %2).",
     "%1 のデバイスはQM-R7ヘッドセットではありません（識別番号 %2）。"},
    {Text::CommandRefused, "The headset on %1 refused command %2.",
     "%1 のヘッドセットがコマンド %2 を拒否しました。"},
    {Text::DeviceGone, "The headset on %1 went away: %2.",
     "%1 のヘッドセットが切断されました: %2。"},
    {Text::DeviceValueOutOfRange, "The headset reports %1=%2, which it cannot hold.",
     "ヘッドセットが範囲外の値 %1=%2 を報告しました。"},
    {Text::FileExists, "%1 already exists; use --force to replace it.",
     "%1 は既に存在します。置き換えるには --force を指定してください。"},
    {Text::CannotWrite, "Unable to write to %1: %2.", "%1 に書き込めません: %2。"},
    {Text::CannotRead, "Unable to read %1: %2.", "%1 を読み込めません: %2。"},
    {Text::NotABackup, "%1 is not a settings backup: %2.",
     "%1 は設定のバックアップではありません: %2。"},
    {Text::BackupFromNewerVersion,
     "%1 is a settings backup of version %2, which this qmr7ctl does not know.",
     "%1 はこの qmr7ctl が扱えないバージョン %2 のバックアップです。"},
    {Text::BackupBadValue, "%1: %2 Nothing was sent to the headset.",
     "%1: %2 ヘッドセットには何も送信していません。"},
    {Text::BadFirmwareFile, "Incorrect firmware file: %1.",
     "ファームウエアファイルが正しくありません: %1。"},
    {Text::WrongProductFamily, "The firmware file selected cannot work with this headset.",
     "選択されたファームウエアファイルはこのヘッドセットでは使えません。"},
    {Text::WrongModel, "The firmware file selected cannot match with your device model (%1).",
     "選択されたファームウエアファイルはお使いの機種（%1）に合いません。"},
    {Text::Saved, "Save successfully.", "保存されました。"},
    {Text::DefaultsRestored, "To restore default settings.", "リセットされました。"},
    {Text::BackedUp, "Settings saved to %1.", "設定を %1 に保存しました。"},
    {Text::Restored, "Settings restored from %1.", "%1 から設定を復元しました。"},
    {Text::FirmwarePasses, "The firmware file passes the checks for %1.",
     "ファームウエアファイルは %1 の検査に合格しました。"},
    {Text::LabelPort, "Port", "ポート"},
    {Text::LabelIdentity, "Identity", "識別番号"},
    {Text::LabelFirmwareVersion, "Firmware version:", "ファームウエアバージョン"},
    {Text::LabelModel, "Model", "機種"},
    {Text::LabelAddress, "Device address", "デバイスアドレス"},
    {Text::LabelSpeedDial1, "Speed dial 1", "スピードダイヤル1"},
    {Text::LabelSpeedDial2, "Speed dial 2", "スピードダイヤル2"},
    {Text::LabelSpeedDial3, "Speed dial 3", "スピードダイヤル3"},
    {Text::LabelA2dp, "A2DP music share (%)", "A2DPの音量調整比率（%）"},
    {Text::LabelGps, "GPS audio share (%)", "GPSの音量調整比率（%）"},
    {Text::LabelSharing, "GPS audio sharing", "GPS共有"},
    {Text::Yes, "Yes", "はい"},
    {Text::No, "No", "いいえ"},
    {Text::NoPortsListed, "No serial port found.", "シリアルポートが見つかりません。"},
    {Text::LabelFile, "File", "ファイル"},
    {Text::LabelDescription, "Description", "説明"},
    {Text::LabelFirmwareName, "Firmware name", "ファームウエア名"},
    {Text::LabelPsrName, "PSR name", "PSR名"},
    {Text::LabelImageSize, "Image size (bytes)", "イメージサイズ（バイト）"},
    {Text::LabelUsbIds, "USB ids", "USB ID"},
    {Text::LabelEngineCheck, "Firmware file check", "ファイル検査"},
    {Text::LabelFamilyCheck, "Product family", "製品ファミリー"},
    {Text::LabelModelCheck, "Device model", "機種"},
    {Text::Passed, "passed", "合格"},
    {Text::Failed, "failed", "不合格"},
    {Text::UpgradeRequested, "Asking the headset on %1 to get ready for the upgrade.",
     "%1 のヘッドセットにアップデートの準備を指示しています。"},
    {Text::LookingOnUsb, "Looking for the headset on USB...", "USBでヘッドセットを探しています..."},
    {Text::FoundOnUsb, "Found the headset on USB (%1).",
     "USBでヘッドセットが見つかりました（%1）。"},
    {Text::FoundInDfuMode,
     "No headset port answers, but the headset is on USB in DFU mode (%1); finishing the upgrade.",
     "ヘッドセットのポートは応答しませんが、USBでDFUモードのヘッドセットが見つかりました（%1）。"
     "アップデートを続けます。"},
    {Text::WaitingForPort, "Waiting for the headset's port...",
     "ヘッドセットのポートを待っています..."},
    {Text::PortNotBack,
     "The firmware upgrade completed, but the headset's port did not come back within %1 seconds.",
     "ファームウエアのアップデートは完了しましたが、%1 秒以内にヘッドセットのポートが戻りませんでし"
     "た。"},
    {Text::InterruptWarning,
     "Stopping now leaves the headset in DFU mode; running 'qmr7ctl upgrade FILE' again finds it "
     "there and finishes the upgrade. Press Ctrl-C again to stop anyway.",
     "今中止するとヘッドセットはDFUモードのままになります。もう一度「qmr7ctl upgrade FILE」を実行す"
     "ればそこから続けられます。それでも中止するにはもう一度Ctrl-Cを押してください。"},
    {Text::InterruptStopped,
     "Upgrade stopped. The headset is in DFU mode; run 'qmr7ctl upgrade FILE' again to finish.",
     "アップデートを中止しました。ヘッドセットはDFUモードです。完了するには「qmr7ctl upgrade "
     "FILE」をもう一度実行してください。"},
    {Text::InterruptReconnect,
     "Stopped waiting for the headset's port; the new firmware is in place.",
     "ヘッドセットのポートを待つのをやめました。新しいファームウエアは書き込まれています。"},
    {Text::TimeLeft, "left", "残り"},
    {Text::LabelPreviousVersion, "Previous firmware version", "以前のファームウエアバージョン"},
    {Text::WinUsbMissing,
     "The headset is on USB (USB ID %1), but Windows has no working WinUSB driver for its DFU "
     "interface (%2), which the firmware upgrade needs. Install WinUSB for it as README describes "
     "under \"Windows: the USB driver\", then run 'qmr7ctl upgrade FILE' again.",
     "ヘッドセットはUSBで接続されています（USB ID %1）が、ファームウエアのアップデートに必要なWinUS"
     "BドライバーがDFUインターフェースで動作していません（%2）。READMEの「Windows: the USB "
     "driver」の手順でWinUSBをインストールしてから、もう一度「qmr7ctl upgrade FILE」を実行してくだ"
     "さい。"},
    {Text::DriverNone, "no driver installed", "ドライバーがインストールされていません"},
    {Text::DriverNamed, "driver: %1", "ドライバー: %1"},
    {Text::DriverProblemCode, "code %1", "コード %1"},
    {Text::DriverWithoutInterfaceClass, "WinUSB without a device interface GUID",
     "WinUSBにデバイスインターフェースGUIDがありません"},
    {Text::BadDeviceIds, "'%1' is not VID:PID or VID:PID,VID:PID in hexadecimal.",
     "「%1」は16進数の VID:PID または VID:PID,VID:PID ではありません。"},
    {Text::ReplugHeadset,
     "The system did not allow the headset's USB port to be reset. Unplug the headset, plug it in "
     "again and wait; the upgrade waits up to 60 seconds for it.",
     "システムがヘッドセットのUSBポートのリセットを許可しませんでした。ヘッドセットを抜いて差し直し"
     "、お待ちください。最大60秒待ちます。"},
    {Text::NotBackBeforeWrite,
     "The headset did not come back in DFU mode. No firmware was written; the headset keeps its "
     "firmware. Plug it in again and run 'qmr7ctl upgrade FILE' again.",
     "ヘッドセットがDFUモードで戻りませんでした。ファームウエアは書き込まれておらず、ヘッドセットは"
     "元のファームウエアのままです。差し直してから「qmr7ctl upgrade FILE」をもう一度実行してくださ"
     "い。"},
    {Text::NotBackAfterWrite,
     "The new firmware was written and manifested, but the headset did not come back. Unplug it "
     "and plug it in again; if it stays in DFU mode, run 'qmr7ctl upgrade FILE' again.",
     "新しいファームウエアは書き込まれ適用されましたが、ヘッドセットが戻りませんでした。ヘッドセッ"
     "トを抜いて差し直してください。DFUモードのままなら「qmr7ctl upgrade "
     "FILE」をもう一度実行してください。"},
    {Text::StoppedBeforeWrite,
     "Upgrade stopped before any firmware was written. The headset keeps its firmware, or waits in "
     "DFU mode; run 'qmr7ctl upgrade FILE' again to upgrade it.",
     "ファームウエアを書き込む前にアップデートを中止しました。ヘッドセットは元のファームウエアのま"
     "まか、DFUモードで待っています。「qmr7ctl upgrade FILE」をもう一度実行してください。"},
    {Text::StoppedInDownload,
     "Upgrade stopped during the download (%1%). The headset is in DFU mode without a complete "
     "firmware; run 'qmr7ctl upgrade FILE' again to finish.",
     "ダウンロード中（%1%）にアップデートを中止しました。ヘッドセットはファームウエアが不完全なまま"
     "DFUモードです。完了するには「qmr7ctl upgrade FILE」をもう一度実行してください。"},
    {Text::StoppedAfterWrite,
     "Upgrade stopped after the new firmware was written, while the headset returned to it. Unplug "
     "it and plug it in again; if it stays in DFU mode, run 'qmr7ctl upgrade FILE' again.",
     "新しいファームウエアを書き込んだ後、ヘッドセットの再起動中にアップデートを中止しました。ヘッ"
     "ドセットを抜いて差し直してください。DFUモードのままなら「qmr7ctl upgrade "
     "FILE」をもう一度実行してください。"},
    {Text::UnlistedUsbIds,
     "The headset shows USB ids %1, which the tool's udev rules do not name. To give it to the "
     "user at the seat, add this line to /etc/udev/rules.d/70-qmr7.rules, run 'sudo udevadm "
     "control --reload' and replug the headset:",
     "ヘッドセットのUSB ID %1 "
     "は本ツールのudevルールにありません。ログイン中のユーザーが使えるように"
     "するには、次の行を /etc/udev/rules.d/70-qmr7.rules に加え、「sudo udevadm control "
     "--reload」を実行してからヘッドセットを差し直してください:"},
}};

constexpr bool InIdOrder() {
  for (std::size_t i = 0; i < kTexts.size(); ++i) {
    if (kTexts[i].id != static_cast<Text>(i)) return false;
  }
  return true;
}
static_assert(InIdOrder(), "one entry per text, in the order of the ids");

resources::Language language = resources::Language::English;

const Entry& Find(Text id) {
  return kTexts[static_cast<std::size_t>(id)];
}

}  // namespace

void SetLanguage(resources::Language l) {
  language = l;
  resources::SetLanguage(l);
}

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t size = toolkit::Utf8CharSize(text, i);
    const auto lead = static_cast<unsigned char>(text[i]);
    const bool c1 = size == 2 && lead == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    const bool malformed = size == 1 && lead >= 0x80;
    if (lead < 0x20 || lead == 0x7F || c1 || malformed) {
      out += '?';
    } else {
      out.append(text.substr(i, size));
    }
    i += size;
  }
  return out;
}

std::string Catalog(resources::TextId id) {
  // Message boxes break lines the terminal does not need.
  std::string out;
  for (const char c : resources::LoadText(id)) {
    if (c == '\n' || c == '\r' || c == ' ') {
      if (!out.empty() && out.back() != ' ') out += ' ';
    } else {
      out += c;
    }
  }
  while (!out.empty() && out.back() == ' ')
    out.pop_back();
  return out;
}

resources::Language Language() {
  return language;
}

std::string_view EnglishText(Text id) {
  return Find(id).english;
}

std::string_view JapaneseText(Text id) {
  return Find(id).japanese;
}

std::string Get(Text id) {
  return std::string(language == resources::Language::Japanese ? JapaneseText(id)
                                                               : EnglishText(id));
}

std::string Format(Text id, std::initializer_list<std::string_view> args) {
  return FillPlaceholders(Get(id), args);
}

std::string FillPlaceholders(std::string_view pattern,
                             std::initializer_list<std::string_view> args) {
  const std::vector<std::string_view> values(args);
  std::string out;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '%' && i + 1 < pattern.size() && pattern[i + 1] >= '1' &&
        pattern[i + 1] <= '9') {
      const auto k = static_cast<std::size_t>(pattern[i + 1] - '1');
      if (k < values.size()) out += values[k];
      ++i;
      continue;
    }
    out += pattern[i];
  }
  return out;
}

std::size_t DisplayWidth(std::string_view text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = toolkit::Utf8CharSize(text, i);
    width += length >= 3 ? 2 : 1;
    i += length;
  }
  return width;
}

}  // namespace qmr7ctl
