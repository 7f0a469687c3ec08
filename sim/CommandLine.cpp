#include "sim/CommandLine.h"

#include "sim/VirtualHeadset.h"

namespace sim {

std::string UsageText() {
  return std::string(
             "Usage: qmr7-sim [OPTION]...\n"
             "A virtual QM-R7 headset on a pseudo-terminal, listed by the QM-R7 tool as\n"
             "\"") +
         kDefaultDescription +
         "\". Runs until interrupted (Ctrl+C).\n"
         "\n"
         "  --state FILE        where the settings are kept between runs\n"
         "                      (default: $XDG_STATE_HOME/qmr7-sim/state,\n"
         "                      else ~/.local/state/qmr7-sim/state)\n"
         "  --description TEXT  the port description the tool shows\n"
         "  --fault FAULT       misbehave; repeat or separate by commas to combine:\n"
         "      silent          read commands, never answer\n"
         "      ok-only         answer OK but no status line\n"
         "      wrong-identity  report another identity to command 7\n"
         "      split           write every line in three pieces with short pauses\n"
         "      noise           echo commands and add lines the tool must ignore\n"
         "      slow=MS         wait MS milliseconds before each answer\n"
         "      unplug-after=N  disappear after N command lines, as if unplugged\n"
         "  --dfu OPTION        the USB DFU side; repeat or separate by commas:\n"
         "      transfer-size=N wTransferSize (default 1024)\n"
         "      poll=MS         bwPollTimeout after each block and in manifestation (5)\n"
         "      not-tolerant    not manifestation tolerant: waits for a reset after it\n"
         "      will-detach     detaches itself on DFU_DETACH and after manifestation,\n"
         "                      without a reset\n"
         "      strict-detach   refuses DFU_DETACH in DFU mode (only in appIDLE)\n"
         "      sync-while-writing  report dfuDNLOAD-SYNC, not dfuDNBUSY, while writing\n"
         "      poll-always     give bwPollTimeout in every status, dfuDNLOAD-IDLE too\n"
         "      loader-strings  in DFU mode name the boot loader (its own strings and\n"
         "                      product id 7208), not the firmware\n"
         "      reset-refused   the system refuses every USB reset with its access error;\n"
         "                      the headset is replugged 1 s after each refusal, as asked\n"
         "      no-start        the new firmware does not start: back in DFU mode\n"
         "      status=S@B      report DFU error status S (1 to 15) after block B\n"
         "      stall@B         stall the download of block B\n"
         "      disconnect@B    drop off the bus at block B (back with the old firmware)\n"
         "      no-return       never come back after manifestation\n"
         "      (status, stall and disconnect happen once, in the first download reaching B)\n"
         "  --verbose           say each command line the headset takes\n"
         "  --help              show this text\n"
         "  --version           show the version\n"
         "\n"
         "Command 20 (firmware upgrade) takes the port away; the headset then shows up as\n"
         "a USB DFU device (blocks count from 0) and takes a firmware file. Once it runs\n"
         "the new firmware, or when no upgrade comes within two minutes, it comes back on\n"
         "a new port. Ports and the DFU device are registered in $XDG_RUNTIME_DIR/qmr7/\n"
         "(else qmr7-<uid>/ in $TMPDIR or /tmp) while they exist.\n";
}

std::string ParseCommandLine(const std::vector<std::string>& args, CommandLine& commandLine) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::string value;
    bool hasValue = false;
    if (const auto eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = option.substr(eq + 1);
      option.resize(eq);
      hasValue = true;
    }
    if (option == "--help" || option == "-h") {
      commandLine.help = true;
      continue;
    }
    if (option == "--version") {
      commandLine.version = true;
      continue;
    }
    if (option == "--verbose") {
      if (hasValue) return "--verbose takes no value";
      commandLine.verbose = true;
      continue;
    }
    if (option != "--state" && option != "--description" && option != "--fault" &&
        option != "--dfu") {
      return "unknown option '" + args[i] + "'";
    }
    if (!hasValue) {
      if (i + 1 >= args.size()) return option + " needs a value";
      value = args[++i];
    }
    if (option == "--state") {
      if (value.empty()) return "--state needs a file name";
      commandLine.stateFile = value;
    } else if (option == "--description") {
      if (value.find_first_of("\r\n") != std::string::npos) return "--description: one line only";
      commandLine.description = value;
    } else {
      std::size_t start = 0;
      for (;;) {
        const auto comma = value.find(',', start);
        const auto item = std::string_view(value).substr(start, comma - start);
        const std::string error =
            option == "--dfu" ? AddDfuOption(item, commandLine.dfuConfig, commandLine.dfuFaults)
                              : AddFault(item, commandLine.faults);
        if (!error.empty()) return error;
        if (comma == std::string::npos) break;
        start = comma + 1;
      }
    }
  }
  return {};
}

}  // namespace sim
