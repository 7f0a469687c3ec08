// Arbitrary bytes from the device into the window's receive path: the line store, the status-line
// parser and the chain handling, with the command pending and the OK flag taken from the input.
// The window's port is open on a pseudo-terminal, so chain links that send really write.
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <QApplication>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "app/Mainform.h"
#include "platform/DeviceNotifier.h"
#include "platform/PortEnumerator.h"
#include "toolkit/Application.h"
#include "toolkit/Dispatcher.h"
#include "toolkit/testing/ManualClock.h"
#include "toolkit/testing/ScriptedUiServices.h"

namespace {

struct World {
  toolkit::testing::ManualClock clock;
  toolkit::testing::ScriptedUiServices ui;
  toolkit::DispatchQueue dispatcher;
  platform::FixedPortEnumerator ports;
  platform::ManualDeviceNotifier notifier;
  std::unique_ptr<app::TMajorForm> form;
  int master = -1;
};

World* gWorld = nullptr;

constexpr int kCodes[] = {
    7, 8, 9, 10, 1, 2, 3, 4, 5, 21, 22, 23, 24, 25, 27, 20, app::kIdleCommand};

void Drain(int fd) {
  char buf[4096];
  while (::read(fd, buf, sizeof buf) > 0) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  new QApplication(*argc, *argv);
  toolkit::SetExceptionHandler([](const std::string&) {});
  auto* w = new World;
  int slave = -1;
  char name[256];
  if (::openpty(&w->master, &slave, name, nullptr, nullptr) != 0) std::abort();
  ::fcntl(w->master, F_SETFL, O_NONBLOCK);
  w->ports.ports = {{name, "USB Serial Device (fuzz)"}};
  w->form = std::make_unique<app::TMajorForm>(app::MajorFormServices{w->clock,
                                                                     w->ui,
                                                                     w->dispatcher,
                                                                     w->ports,
                                                                     w->notifier,
                                                                     "fuzz",
                                                                     "/nonexistent",
                                                                     nullptr,
                                                                     {},
                                                                     {}});
  if (!w->form->OpenComPort(name)) std::abort();
  gWorld = w;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = *gWorld;
  app::TMajorForm& form = *w.form;
  if (size < 2) return 0;
  form.PendingCommand = kCodes[data[0] % std::size(kCodes)];
  form.OkReceived = (data[1] & 1) != 0;
  form.RxBuffer.Clear();
  // The bytes arrive in pieces, as receive events deliver them.
  const std::size_t piece = 1 + data[1] % 64;
  for (std::size_t at = 2; at < size; at += piece) {
    const std::size_t n = std::min(piece, size - at);
    form.RxBuffer.Append(std::string_view(reinterpret_cast<const char*>(data + at), n));
    form.HandleReceivedLines();
  }
  form.UartRespTimeoutTimer->Stop();
  form.DFUCloseComPortTimer->Stop();
  form.StartDFUTimer->Stop();
  w.ui.boxes.clear();
  Drain(w.master);
  return 0;
}
