// qmr7ctl: the QM-R7 headset's settings from scripts and terminals.
#include <cstdlib>
#include <exception>
#include <iostream>
#include <thread>

#include "platform/UiLanguage.h"
#include "tools/Arguments.h"
#include "tools/Console.h"
#include "tools/qmr7ctl/Commands.h"
#include "tools/qmr7ctl/Failure.h"
#include "tools/qmr7ctl/SerialLink.h"
#include "tools/qmr7ctl/System.h"
#include "tools/qmr7ctl/Texts.h"

int main(int argc, char** argv) {
  // The window asks Qt for the system locale last; without Qt the system decides alone: the
  // environment on Linux, as it does for Qt there, the user's display language on Windows.
  qmr7ctl::SetLanguage(platform::SystemUiLanguage(""));
  // Its messages are in the user's language, Japanese too, whatever the console's code page.
  const tools::Utf8Console console;
  try {
    const std::unique_ptr<platform::PortEnumerator> ports = qmr7ctl::system::MachinePorts();
    qmr7ctl::Environment env{std::cout, std::cerr, *ports,
                             [](const std::string& port) -> std::unique_ptr<qmr7ctl::DeviceLink> {
                               return std::make_unique<qmr7ctl::SerialLink>(
                                   port, [](std::uint32_t ms) {
                                     std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                                   });
                             }};
    qmr7ctl::UpgradeSystem upgrade = qmr7ctl::UpgradeSystem::Real(
        &qmr7ctl::system::CatchInterrupts, &qmr7ctl::system::InterruptPresses,
        qmr7ctl::system::ErrorsGoToTerminal());
    env.upgrade = &upgrade;
    env.doctor = &qmr7ctl::doctor::SystemFindings;
    // In UTF-8 on every system: Windows' ANSI arguments would lose names outside its code page.
    const int code = qmr7ctl::Run(tools::Utf8Arguments(argc, argv), env);
    std::cout.flush();
    return std::cout.good() ? code : static_cast<int>(qmr7ctl::Exit::Failure);
  } catch (const std::exception& e) {
    std::cerr << "qmr7ctl: " << qmr7ctl::Printable(e.what()) << "\n";
    return static_cast<int>(qmr7ctl::Exit::Failure);
  }
}
