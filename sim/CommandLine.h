// The qmr7-sim command line.
#pragma once

#include <string>
#include <vector>

#include "sim/DfuDevice.h"
#include "sim/Headset.h"

namespace sim {

struct CommandLine {
  std::string stateFile;  // empty: the default path
  std::string description;
  Faults faults;
  DfuDeviceConfig dfuConfig;
  DfuFaults dfuFaults;
  bool verbose = false;  // say each command line the headset takes
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. Returns an error text, empty on success.
std::string ParseCommandLine(const std::vector<std::string>& args, CommandLine& commandLine);

std::string UsageText();

}  // namespace sim
