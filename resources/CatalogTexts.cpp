// The text catalogue: every caption, label, note and message of the window, in English and
// Japanese, by text id. The texts are stored exactly as shown to the user: trailing and double
// spaces, straight and typographic quotes and the inverted exclamation marks are all intended.
// "\n" is a line feed; no text holds a carriage return.
#include <algorithm>

#include "resources/TextCatalog.h"

namespace resources {

constexpr std::array<CatalogEntry, kCatalogSize> kCatalog = {{
    {20000, "English", "Japanese"},
    {20001, "QM-R7 Tool Program", "QM-R7設定ツール"},
    {20101, "Select COM Port", "COMポートを選択"},
    {20102, "Open COM Port", "COMポートを開く"},
    {20103, "Close COM Port", "COMポートを閉じる"},
    {20104, "Unable to open the selected COM Port. Please select again!",
     "指定されたCOMポートを開くことができません。もう一度選択してください！"},
    {20105, "Time out for the device to respond. Please start over again!",
     "タイムアウトしました。もう一度やり直してください。"},
    {20106, "Please select COM Port and open COM Port.", "COMポートを選択してから開いてください。"},
    {20107, "Save successfully.", "保存されました。"},
    {20108, "To restore default settings.", "リセットされました。"},
    {20109, "Are you sure to restore the default settings?", "リセットしますか？"},
    {20201, "Speed dial setting", "スピードダイヤル設定"},
    {20202, "A2DP music setting", "A2DP音量設定"},
    {20203, "GPS audio setting", "GPS音量設定"},
    {20205, "Firmware upgrade", "ファームウエアアップグレード"},
    {20301, "Speed dial 1 ", "スピードダイヤル1"},
    {20302, "Speed dial 2 ", "スピードダイヤル2"},
    {20303, "Speed dial 3 ", "スピードダイヤル3"},
    {20304, "The percentage of A2DP music volume among the mixed audio", "A2DPの音量調整比率"},
    {20305, "The percentage of GPS audio volume among the mixed audio", "GPSの音量調整比率"},
    {20306, "GPS audio sharing ", "GPS共有"},
    {20308, "Yes", "はい"},
    {20309, "No", "いいえ"},
    {20311, "Low", "低"},
    {20312, "Middle", "中"},
    {20313, "High", "高"},
    {20314, "Firmware version:", "ファームウエアバージョン"},
    {20315, "Device communication in progress.", "通信中"},
    {20316, "The settings had been changed. Are you sure to exit?",
     "設定が変更されました。画面を閉じてもよろしいですか？"},
    {20317, "The allowed input number is from 0 to 9.", "数字のみ入力してください。"},
    {20318, "Exceed the allowed number of digits.", "許容文字数を超えました。"},
    {20319,
     "Note: \n\n To input numbers only  (0 to 9) and the maximum allowed input numbers are 16 "
     "digits.",
     "注意：\n\n 入力できる数字は0…9の最大16桁です。"},
    {20320,
     "Note: \n\n To input with 20 means 20% of A2DP audio volume will be heard in the mixed audio.",
     "注意：\n\n 数字の20を入力した場合、A2DPオーディオの音量が音声の20％で聞こえます。"},
    {20321,
     "Note: \n\n1. This setting supports mono Bluetooth HFP device. \n\n2. To input with 20 means "
     "20% of GPS audio volume will be heard in the mixed audio.  \n\n3. If \"GPS Audio Sharing\" "
     "Setting is\"Yes\", then other headsets in Intercom mode will hear GPS too.",
     "注意：\n\n1. この設定はHFPプロファイル（モノラル）のデバイス用です。\n\n2. "
     "数字の20を入力した場合、HFPデバイスの音量が音声の20％で聞こえます。\n\n3. "
     "GPS音声共有設定を“はい”にする場合は、全てのデバイスの設定を“はい”にして使用ください。"},
    // Not among the original texts: what a screen reader says of controls whose caption alone
    // does not say it, and of what the window announces. They are never shown.
    {20401, "%s: note", "%s：注意事項"},
    {20402, "Pages", "ページ"},
    {20403, "From %s to %s percent; the Up and Down keys change it", "%s～%s％（上下キーで変更）"},
    {20404, "Yes or No; the Up and Down keys change it",
     "「はい」または「いいえ」（上下キーで変更）"},
    {20405, "USB device", "USBデバイス"},
    {20406, "Device configuration", "デバイス構成"},
    {20407, "Upgrade progress", "アップデートの進行状況"},
    {20408, "Device information", "デバイス情報"},
    {20409, "Information", "情報"},
    {20410, "The device's settings have been read.", "デバイスの設定を読み込みました。"},
    {30101, "Select firmware file...", "ファームウエアファイル選択"},
    {30102, "Start firmware upgrade", "ファームウエアアップデート開始"},
    {30103, "Save", "保存"},
    {30104, "Restore default settings", "リセット"},
    {30105, "Exit", "閉じる"},
    {30201, "Reconfigure in progress... ", "リセット中"},
    {30202, "Download in progress...", "ダウンロード中"},
    {30203, "Verifying in progress.", "検証中"},
    {30204, "Note", "注意"},
    {30205, "Error", "エラー"},
    {30206,
     "Your computer is not connected to a Bluetooth device. \n\n Please check if your device is "
     "correctly connected to the computer.",
     "Bluetoothデバイスがコンピューターに接続されていません。デバイスがコンピューターに正しく接続さ"
     "れているかご確認ください。"},
    {30207, "Incorrect firmware file.", "不適切なファームウエアファイルです。"},
    {30208, "An error occurs during firmware upgrade.",
     "ファームウエアのアップデート中に問題が発生しました。"},
    {30209,
     "An error occurs during firmware upgrade. Result = %s, Operation = %s, SubOperation = %s",
     "ファームウエアのアップデート中に問題が発生Result = %s, Operation = %s, SubOperation = %s"},
    {30210, "The firmware file selected cannot work with  Corvane Bluetooth device.",
     "このファームウエアファイルは、QM－07専用ではありません。"},
    {30211, "Firmware upgrade completes.", "ファームウエアのアップグレード完了。"},
    {30212, "Firmware upgrade in progress.", "ファームウエアのアップグレード中"},
    {30213, "Firmware upgrade is almost completed, please wait.... ¡]You need to wait a moment.¡^",
     "間もなく完了しますのでお待ちください。…（しばらく時間がかかります。）"},
    {30214,
     "The firmware file selected cannot match with your device model. \n Please select the "
     "required firmware file for your device again.",
     "選択したファームウエアファイルがデバイスモデルと一致しません。デバイスに合ったファームウエア"
     "ファイルを再度選択してください。"},
    // Not among the original texts: a file too large to be firmware for the headset is refused
    // before it is read (upgrade/DfuFile.h, kMaxFileSize).
    {30215,
     "The firmware file selected is too large. \n A firmware file for your device is at most 16 "
     "MB.",
     "選択したファームウエアファイルが大きすぎます。デバイスのファームウエアファイルは16MB以下です"
     "。"},
    // Not among the original texts either: a headset left in DFU mode by an upgrade cut short,
    // and a USB reset the system refuses, which the user's hands must then do.
    {30216,
     "The device waits in DFU mode: choose its firmware file and start the upgrade to finish it.",
     "デバイスはDFUモードで待機中です。ファームウエアファイルを選択してアップデートを開始し、完了さ"
     "せ"
     "てください。"},
    {30217, "Please unplug the device and plug it in again; the upgrade waits up to 60 seconds.",
     "デバイスを抜いて差し直してください。アップデートは最大60秒待ちます。"},
    {30218,
     "The device did not come back in DFU mode. \n No firmware was written; the device keeps its "
     "firmware. Please plug it in again and start the upgrade again.",
     "デバイスがDFUモードで戻りませんでした。ファームウエアは書き込まれていません。デバイスを差し直"
     "し"
     "て、もう一度アップデートを開始してください。"},
    {30219,
     "The new firmware was written and manifested, but the device did not come back. \n Please "
     "unplug it and plug it in again; if it stays in DFU mode, start the upgrade again.",
     "新しいファームウエアは書き込まれ適用されましたが、デバイスが戻りませんでした。デバイスを抜い"
     "て"
     "差し直してください。DFUモードのままなら、もう一度アップデートを開始してください。"},
    // Not among the original texts: the headset is on USB, but Windows gives its DFU interface no
    // usable WinUSB driver (upgrade/WinUsbRules.h); %s is its USB ids.
    {30220,
     "The device is connected over USB (USB ID %s), but Windows has no working WinUSB "
     "driver for its DFU interface, which the firmware upgrade needs. \n\n Please install the "
     "WinUSB driver for the device as README describes under \"Windows: the USB driver\", and "
     "try again.",
     "デバイスはUSBで接続されています（USB ID "
     "%s）が、ファームウエアのアップデートに必要なW"
     "inUSBドライバーがDFUインターフェースで動作していません。READMEの「Windows: the USB "
     "driver」の手順でWinUSBドライバーをインストールしてから、もう一度やり直してください。"},
    {30231, "Firmware file", "ファームウエアファイル"},
    {30232, "psr file", "PSRファイル"},
    {30233, "Device address", "デバイスアドレス"},
    {30234, "Elapsed", "経過s"},
}};

// Looking a text up is a binary search: the ids must rise strictly.
static_assert(std::adjacent_find(kCatalog.begin(), kCatalog.end(),
                                 [](const CatalogEntry& a, const CatalogEntry& b) {
                                   return a.id >= b.id;
                                 }) == kCatalog.end());
static_assert(std::all_of(kCatalog.begin(), kCatalog.end(), [](const CatalogEntry& e) {
  return e.english != nullptr && *e.english != '\0' && e.japanese != nullptr && *e.japanese != '\0';
}));

}  // namespace resources
