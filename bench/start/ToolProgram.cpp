// The tool as the start-up benchmark runs it: the program's own start-up, with the ready report on
// the window.
#include "ReadyReport.h"
#include "app/Program.h"

int main(int argc, char** argv) {
  const int fd = bench::ReadyReport::FdFromArguments(argc, argv);
  // The descriptor's argument is the benchmark's, not Qt's.
  int qtArgc = 1;
  return app::RunTool(qtArgc, argv, [fd](app::TMajorForm& form) {
    // Owned by the window, so it goes with it.
    (new bench::ReadyReport(form, fd))->setParent(&form);
  });
}
