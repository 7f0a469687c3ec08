#include "comport/qt/ComConfigForm.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QIntValidator>
#include <QVBoxLayout>

#include "toolkit/qt/Text.h"

namespace comport::qt {
namespace {

constexpr int kRates[] = {110,   300,   600,    1200,   2400,   4800,   9600,   14400, 19200,
                          38400, 57600, 115200, 128000, 230400, 256000, 460800, 921600};
constexpr int kMaxRate = 4'000'000;

// Selects the item whose data is `value`, adding one when there is none.
void Select(QComboBox* box, int value, const QString& text) {
  int index = box->findData(value);
  if (index < 0) {
    box->addItem(text, value);
    index = box->count() - 1;
  }
  box->setCurrentIndex(index);
}

}  // namespace

TFlowChoice FlowChoiceOf(const TDcb& dcb) {
  const bool rtsCts = (dcb.Flags & dcb::fOutxCtsFlow) != 0 &&
                      (dcb.Flags & dcb::fRtsControlMask) == dcb::RtsHandshake;
  if (rtsCts) return TFlowChoice::Hardware;
  if ((dcb.Flags & (dcb::fInX | dcb::fOutX)) != 0) return TFlowChoice::XOnXOff;
  return TFlowChoice::None;
}

void ApplyFlowChoice(TFlowChoice choice, TDcb& dcb) {
  std::uint32_t flags =
      dcb.Flags & ~(dcb::fOutxCtsFlow | dcb::fOutxDsrFlow | dcb::fInX | dcb::fOutX);
  if ((flags & dcb::fDtrControlMask) == dcb::DtrHandshake) {
    flags = (flags & ~dcb::fDtrControlMask) | dcb::DtrEnable;
  }
  const bool rtsHandshake = (flags & dcb::fRtsControlMask) == dcb::RtsHandshake;
  if (choice == TFlowChoice::Hardware) {
    flags = (flags & ~dcb::fRtsControlMask) | dcb::RtsHandshake | dcb::fOutxCtsFlow;
  } else if (rtsHandshake) {
    flags = (flags & ~dcb::fRtsControlMask) | dcb::RtsEnable;
  }
  if (choice == TFlowChoice::XOnXOff) flags |= dcb::fInX | dcb::fOutX;
  dcb.Flags = flags;
}

TComConfigForm::TComConfigForm(const std::string& portName, QWidget* parent) : QDialog(parent) {
  setWindowTitle(toolkit::qt::Q(portName) + QStringLiteral(" Properties"));

  RateBox = new QComboBox(this);
  RateBox->setEditable(true);
  RateBox->setValidator(new QIntValidator(1, kMaxRate, RateBox));
  for (int rate : kRates)
    RateBox->addItem(QString::number(rate), rate);

  DataBitsBox = new QComboBox(this);
  for (int bits = 5; bits <= 8; ++bits)
    DataBitsBox->addItem(QString::number(bits), bits);

  ParityBox = new QComboBox(this);
  const char* parities[] = {"None", "Odd", "Even", "Mark", "Space"};
  for (int i = 0; i < 5; ++i)
    ParityBox->addItem(QString::fromLatin1(parities[i]), i);

  StopBitsBox = new QComboBox(this);
  StopBitsBox->addItem(QStringLiteral("1"), 0);
  StopBitsBox->addItem(QStringLiteral("1.5"), 1);
  StopBitsBox->addItem(QStringLiteral("2"), 2);

  FlowControlBox = new QComboBox(this);
  FlowControlBox->addItem(QStringLiteral("None"), static_cast<int>(TFlowChoice::None));
  FlowControlBox->addItem(QStringLiteral("Xon / Xoff"), static_cast<int>(TFlowChoice::XOnXOff));
  FlowControlBox->addItem(QStringLiteral("Hardware"), static_cast<int>(TFlowChoice::Hardware));

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("Bits per second:"), RateBox);
  form->addRow(QStringLiteral("Data bits:"), DataBitsBox);
  form->addRow(QStringLiteral("Parity:"), ParityBox);
  form->addRow(QStringLiteral("Stop bits:"), StopBitsBox);
  form->addRow(QStringLiteral("Flow control:"), FlowControlBox);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  RestoreDefaultsButton =
      buttons->addButton(QStringLiteral("Restore Defaults"), QDialogButtonBox::ResetRole);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(RestoreDefaultsButton, &QPushButton::clicked, this,
          [this] { Load(BuiltInDefaultDcb()); });

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  setSizeGripEnabled(false);
}

void TComConfigForm::Load(const TDcb& dcb) {
  // The port's own rate, even one outside what can be typed: OK without an edit keeps it.
  loadedRate_ = dcb.BaudRate;
  const QString rate = QString::number(dcb.BaudRate);
  int index = RateBox->findText(rate);
  if (index < 0) {
    RateBox->addItem(rate);
    index = RateBox->count() - 1;
  }
  RateBox->setCurrentIndex(index);
  Select(DataBitsBox, dcb.ByteSize, QString::number(dcb.ByteSize));
  Select(ParityBox, dcb.Parity, QString::number(dcb.Parity));
  Select(StopBitsBox, dcb.StopBits, QString::number(dcb.StopBits));
  FlowControlBox->setCurrentIndex(FlowControlBox->findData(static_cast<int>(FlowChoiceOf(dcb))));
}

void TComConfigForm::Store(TDcb& dcb) const {
  bool ok = false;
  const uint rate = RateBox->currentText().toUInt(&ok);
  if (ok && (rate > 0 || rate == loadedRate_)) dcb.BaudRate = rate;
  dcb.ByteSize = static_cast<std::uint8_t>(DataBitsBox->currentData().toInt());
  dcb.Parity = static_cast<std::uint8_t>(ParityBox->currentData().toInt());
  dcb.StopBits = static_cast<std::uint8_t>(StopBitsBox->currentData().toInt());
  ApplyFlowChoice(static_cast<TFlowChoice>(FlowControlBox->currentData().toInt()), dcb);
}

bool QtComDialogService::ShowConfigDialog(const std::string& name, TCommConfig& config) {
  TComConfigForm form(name, owner_);
  form.Load(config.dcb);
  if (form.exec() != QDialog::Accepted) return false;
  form.Store(config.dcb);
  return true;
}

}  // namespace comport::qt
