// How qmr7ctl ends: its exit codes, and the failure that carries one to main with its message.
#pragma once

#include <stdexcept>
#include <string>

namespace qmr7ctl {

// Documented in the man page and in `qmr7ctl --help`; scripts rely on them.
enum class Exit : int {
  Ok = 0,
  Failure = 1,      // anything else: a file that cannot be written, an unexpected error
  Usage = 2,        // the command line is wrong; nothing was sent
  NoDevice = 3,     // no headset port, the port would not open, or the headset went away
  Refused = 4,      // the port answered, but not as a QM-R7 headset, or refused a command
  Timeout = 5,      // the headset did not answer a command within its time
  FileInvalid = 6,  // a backup or firmware file that cannot be used; nothing was sent
  UpgradeFailed = 7,
};

// Thrown where a command cannot go on; main prints the message and exits with the code.
class Failure : public std::runtime_error {
 public:
  Failure(Exit exit, const std::string& message) : std::runtime_error(message), exit_(exit) {}
  Exit Code() const { return exit_; }

 private:
  Exit exit_;
};

}  // namespace qmr7ctl
