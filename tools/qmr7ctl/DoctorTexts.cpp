#include "tools/qmr7ctl/DoctorTexts.h"

#include <array>

#include "tools/qmr7ctl/Texts.h"

namespace qmr7ctl::doctor {
namespace {

struct Entry {
  Words id;
  const char* english;
  const char* japanese;
};

#define QMR7_RULES_FIX                                                                   \
  "qmr7ctl udev-rules%1 > /tmp/70-qmr7.rules && sudo install -m 644 /tmp/70-qmr7.rules " \
  "/etc/udev/rules.d/ && sudo udevadm control --reload && sudo udevadm trigger "         \
  "--subsystem-match=usb --subsystem-match=tty"

constexpr std::array<Entry, static_cast<std::size_t>(Words::kCount)> kWords = {{
    {Words::Ok, "ok", "OK"},
    {Words::Problem, "PROBLEM", "問題"},
    {Words::Note, "note", "情報"},
    {Words::Fix, "fix:", "対処:"},
    {Words::HeadsetPortFound, "The headset's serial port is %1 (USB %2).",
     "ヘッドセットのシリアルポートは %1 です（USB %2）。"},
    {Words::HeadsetPortByRule,
     "No serial port has the headset's USB ids; the tool preselects %1 (%2). If that is the "
     "headset, name its ids with --device.",
     "ヘッドセットのUSB IDを持つシリアルポートはありません。ツールは %1 を選択します（%2）。"
     "それがヘッドセットであれば、--device でIDを指定してください。"},
    {Words::PreselectsVirtual,
     "No serial port has the headset's USB ids; the tool preselects the virtual headset on %1.",
     "ヘッドセットのUSB IDを持つシリアルポートはありません。ツールは %1 の仮想ヘッドセットを"
     "選択します。"},
    {Words::NoHeadsetPort, "No serial port of the headset is present.",
     "ヘッドセットのシリアルポートがありません。"},
    {Words::FixConnectHeadset,
     "Switch the headset on and connect it with its USB cable (in DFU mode it has no serial port: "
     "see the USB check).",
     "ヘッドセットの電源を入れ、USBケーブルで接続してください（DFUモードではシリアルポートは"
     "ありません。USBの確認を参照してください）。"},
    {Words::FixConnectUsb, "Switch the headset on and connect it with its USB cable.",
     "ヘッドセットの電源を入れ、USBケーブルで接続してください。"},
    {Words::PortNotChecked, "Access not checked: no serial port of the headset.",
     "ヘッドセットのシリアルポートがないため、アクセスは確認していません。"},
    {Words::PortOpens, "You can open %1.", "%1 を開くことができます。"},
    {Words::PortHeld, "%1 is held by another program: %2.",
     "%1 は別のプログラムが使用中です: %2。"},
    {Words::PortHeldByUnknown, "%1 is held by another program.",
     "%1 は別のプログラムが使用中です。"},
    {Words::FixCloseHolder, "Close %1, which holds the port.",
     "ポートを使用している %1 を終了してください。"},
    {Words::FixStopModemManager,
     "Stop ModemManager: sudo systemctl stop ModemManager (once the udev rules are installed it "
     "leaves the headset alone).",
     "ModemManager を停止してください: sudo systemctl stop ModemManager（udevルールを"
     "インストールすると、ModemManager はヘッドセットに触れなくなります）。"},
    {Words::PortDenied,
     "You may not open %1 (owner %2, group %3, mode %4, and no entry for you in its access list).",
     "%1 を開く権限がありません（所有者 %2、グループ %3、モード %4、アクセスリストにあなたの"
     "エントリーがありません）。"},
    {Words::FixTriggerRules,
     "Apply the udev rules to it: sudo udevadm trigger --action=change %1 (or unplug the headset "
     "and plug it in again). They give access to the user of the local session at the seat.",
     "udevルールを適用してください: sudo udevadm trigger --action=change %1（またはヘッドセットを"
     "抜いて挿し直してください）。ルールはローカルセッションのユーザーにアクセスを与えます。"},
    {Words::FixJoinGroup,
     "Install the udev rules (see their check), or join the port's group: sudo usermod -aG %1 "
     "$USER, then log out and in again.",
     "udevルールをインストールするか（ルールの確認を参照）、ポートのグループに参加してください: "
     "sudo usermod -aG %1 $USER の後、ログインし直してください。"},
    {Words::FixLogInAgain,
     "You are in group %1, but this session began before you joined it: log out and in again.",
     "グループ %1 に参加していますが、このセッションは参加前に始まっています。"
     "ログインし直してください。"},
    {Words::PortDoesNotOpen, "%1 does not open: %2.", "%1 を開けません: %2。"},
    {Words::FixReplug, "Unplug the headset and plug it in again, then run the check again.",
     "ヘッドセットを抜いて挿し直し、もう一度確認してください。"},
    {Words::RulesCurrent, "The udev rules for the headset are installed and current (%1).",
     "ヘッドセットのudevルールはインストール済みで最新です（%1）。"},
    {Words::RulesMissing, "The udev rules for the headset are not installed.",
     "ヘッドセットのudevルールがインストールされていません。"},
    {Words::RulesOutdated, "The installed udev rules (%1) differ from this version's.",
     "インストールされているudevルール（%1）はこのバージョンのものと異なります。"},
    {Words::FixInstallRules,
     "Install this version's rules (qmr7-tool's package does it): " QMR7_RULES_FIX,
     "このバージョンのルールをインストールしてください（qmr7-tool "
     "のパッケージでも入ります）: " QMR7_RULES_FIX},
    {Words::RulesMasked,
     "The udev rules for the headset are switched off: %1 is empty or links to /dev/null.",
     "ヘッドセットのudevルールが無効になっています: %1 は空か /dev/null へのリンクです。"},
    {Words::FixRemoveRules,
     "Remove it, so that the package's current rules apply: sudo rm %1 && sudo udevadm control "
     "--reload && sudo udevadm trigger --subsystem-match=usb --subsystem-match=tty",
     "削除して、パッケージの最新のルールを有効にしてください: sudo rm %1 && sudo udevadm control "
     "--reload && sudo udevadm trigger --subsystem-match=usb --subsystem-match=tty"},
    {Words::RunAsRoot,
     "Run as root: every access check passes for root. Run the doctor as the user who uses the "
     "tool.",
     "rootとして実行しています。rootではアクセスの確認はすべて通ります。ツールを使うユーザーとして"
     "実行してください。"},
    {Words::ModemManagerAbsent, "ModemManager is not running.",
     "ModemManager は動作していません。"},
    {Words::ModemManagerIgnoresPort, "ModemManager is running and leaves %1 alone.",
     "ModemManager は動作していますが、%1 には触れません。"},
    {Words::ModemManagerProbesPort,
     "ModemManager is running and may probe %1, which disturbs the headset's answers.",
     "ModemManager が動作中のため %1 を調べることがあり、その場合ヘッドセットの応答が乱れます。"},
    {Words::ModemManagerNoPort, "ModemManager is running; no serial port of the headset to check.",
     "ModemManager は動作中です。確認するヘッドセットのシリアルポートはありません。"},
    {Words::UsbRuntime,
     "The headset is on USB in run-time mode (%1, bus %2 device %3); you can open it.",
     "ヘッドセットは通常モードでUSBに接続されています（%1、バス %2 デバイス %3）。"
     "開くことができます。"},
    {Words::UsbDfuMode,
     "The headset is on USB in DFU mode (%1, bus %2 device %3): an upgrade was cut short.",
     "ヘッドセットはDFUモードでUSBに接続されています（%1、バス %2 デバイス %3）。"
     "ファームウエアの更新が途中で終わっています。"},
    {Words::FixFinishUpgrade,
     "Finish the upgrade: qmr7ctl upgrade FILE, or \"Start firmware upgrade\" on the tool's "
     "\"Firmware upgrade\" page.",
     "アップグレードを完了してください: qmr7ctl upgrade FILE、またはツールの"
     "「ファームウエアアップグレード」ページの「ファームウエアアップデート開始」。"},
    {Words::UsbDenied, "The headset is on USB (%1, bus %2 device %3), but you may not open it.",
     "ヘッドセットはUSBに接続されていますが（%1、バス %2 デバイス %3）、開く権限がありません。"},
    {Words::NoHeadsetOnUsb, "The headset is not on USB.",
     "ヘッドセットはUSBに接続されていません。"},
    {Words::NoVirtualHeadset, "No virtual headset is running.",
     "仮想ヘッドセットは動作していません。"},
    {Words::VirtualHeadset,
     "A virtual headset (qmr7-sim, pid %1) is running on %2: the tool may list it beside a real "
     "headset.",
     "仮想ヘッドセット（qmr7-sim、pid %1）が %2 で動作中です。実際のヘッドセットと並んで"
     "表示されることがあります。"},
    {Words::ComPortOk, "The headset's COM port is %1 (USB %2, driver %3).",
     "ヘッドセットのCOMポートは %1 です（USB %2、ドライバー %3）。"},
    {Words::ComPortNoDriver, "The headset's COM port %1 (USB %2) has no driver installed.",
     "ヘッドセットのCOMポート %1（USB %2）にドライバーがインストールされていません。"},
    {Words::ComPortDriverProblem,
     "The headset's COM port %1 (USB %2, driver %3) has problem code %4.",
     "ヘッドセットのCOMポート %1（USB %2、ドライバー %3）に問題コード %4 があります。"},
    {Words::FixComPortDriver,
     "Open Device Manager, right-click the port and choose Update driver: Windows' own USB "
     "serial driver serves it.",
     "デバイスマネージャーでポートを右クリックし、「ドライバーの更新」を選んでください。"
     "Windows標準のUSBシリアルドライバーで動作します。"},
    {Words::NoHeadsetComPort, "No COM port of the headset is present.",
     "ヘッドセットのCOMポートがありません。"},
    {Words::UsbSerialNoDriver,
     "The headset is on USB (%1), but no driver serves its serial interface, so it has no COM "
     "port.",
     "ヘッドセットはUSBに接続されていますが（%1）、シリアルインターフェイスにドライバーがないため"
     "COMポートがありません。"},
    {Words::WinUsbOk, "The headset is on USB, and none of its DFU interfaces lacks WinUSB.",
     "ヘッドセットはUSBに接続されており、DFUインターフェイスにはWinUSBドライバーが割り当てられて"
     "います。"},
    {Words::FixWinUsb,
     "Install qmr7-dfu-winusb.inf from the tool's folder as an administrator (README, \"Windows: "
     "the USB driver\").",
     "ツールのフォルダーにある qmr7-dfu-winusb.inf を管理者としてインストールしてください"
     "（README の「Windows: the USB driver」）。"},
    {Words::Elevated,
     "The tool runs with an administrator's rights: it can reset the headset's USB port during "
     "an upgrade.",
     "管理者の権限で実行しています。アップグレード中にヘッドセットのUSBポートをリセットできます。"},
    {Words::NotElevated,
     "The tool runs without an administrator's rights: Windows refuses the USB port's reset, so "
     "during an upgrade it asks you to unplug the headset and plug it in again (or run it as an "
     "administrator).",
     "管理者の権限なしで実行しています。WindowsがUSBポートのリセットを拒否するため、アップグレード"
     "中に"
     "ヘッドセットを抜いて挿し直すよう求められます（または管理者として実行してください）。"},
}};

#undef QMR7_RULES_FIX

constexpr bool InOrder() {
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    if (static_cast<std::size_t>(kWords[i].id) != i) return false;
  }
  return true;
}
static_assert(InOrder(), "kWords must list every text in the enum's order");

}  // namespace

std::string Say(Words id, std::initializer_list<std::string_view> args) {
  const Entry& entry = kWords[static_cast<std::size_t>(id)];
  return FillPlaceholders(
      Language() == resources::Language::Japanese ? entry.japanese : entry.english, args);
}

std::string_view EnglishWords(Words id) {
  return kWords[static_cast<std::size_t>(id)].english;
}

std::string_view JapaneseWords(Words id) {
  return kWords[static_cast<std::size_t>(id)].japanese;
}

}  // namespace qmr7ctl::doctor
