// qmr7-tool: reads and changes the settings of a QM-R7 headset and upgrades its firmware.
#include <cstdio>
#include <cstring>

#include "app/Program.h"
#include "resources/Version.h"

int main(int argc, char** argv) {
  // For package checks and bug reports; answered before any display is needed.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("qmr7-tool %s\n", resources::kFileVersion);
    return 0;
  }
  return app::RunTool(argc, argv);
}
