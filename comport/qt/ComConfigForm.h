// The line-settings dialog on Qt: rate, data bits, parity, stop bits and flow control, with OK,
// Cancel and Restore Defaults.
#pragma once

#include <QComboBox>
#include <QDialog>
#include <QPointer>
#include <QPushButton>
#include <string>

#include "comport/ComConfigDialog.h"

namespace comport::qt {

// The flow-control choices, as the dialog offers them.
enum class TFlowChoice { None, XOnXOff, Hardware };

class TComConfigForm final : public QDialog {
 public:
  TComConfigForm(const std::string& portName, QWidget* parent = nullptr);

  // Shows `dcb`'s settings; a value the lists do not hold is added to its list.
  void Load(const TDcb& dcb);
  // Writes the choices into `dcb`, leaving the fields the dialog does not show alone.
  void Store(TDcb& dcb) const;

  QComboBox* RateBox = nullptr;
  QComboBox* DataBitsBox = nullptr;
  QComboBox* ParityBox = nullptr;
  QComboBox* StopBitsBox = nullptr;
  QComboBox* FlowControlBox = nullptr;
  QPushButton* RestoreDefaultsButton = nullptr;

 private:
  // A rate of 0 is kept only when it is the port's own; typed, it would fail the next open.
  std::uint32_t loadedRate_ = 0;
};

// Hardware flow control on Linux is RTS/CTS; DTR handshaking and DSR flow do not exist there.
TFlowChoice FlowChoiceOf(const TDcb& dcb);
void ApplyFlowChoice(TFlowChoice choice, TDcb& dcb);

class QtComDialogService final : public TComDialogService {
 public:
  // The dialogs are owned by `owner` (the main window, once it exists).
  void SetOwner(QWidget* owner) { owner_ = owner; }
  bool ShowConfigDialog(const std::string& name, TCommConfig& config) override;

 private:
  QPointer<QWidget> owner_;
};

}  // namespace comport::qt
