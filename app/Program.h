// The program's start-up and run, from the application object until the window has closed: the
// tool's main() and the start-up benchmark run exactly this.
#pragma once

#include <functional>

#include "app/Mainform.h"

namespace app {

// Names the application after its desktop entry (the package's id), which task bars, docks and
// window lists show by the entry's Name: text 20001 in the user's language. Called by RunTool.
void NameTheApplication();

// Returns the program's exit code. `beforeShow` sees the window once it exists, before it shows.
int RunTool(int& argc, char** argv, const std::function<void(TMajorForm&)>& beforeShow = {});

}  // namespace app
