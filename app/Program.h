// The program's start-up and run, from the application object until the window has closed: the
// tool's main() and the start-up benchmark run exactly this.
#pragma once

#include <functional>

#include "app/Mainform.h"

namespace app {

// Returns the program's exit code. `beforeShow` sees the window once it exists, before it shows.
int RunTool(int& argc, char** argv, const std::function<void(TMajorForm&)>& beforeShow = {});

}  // namespace app
