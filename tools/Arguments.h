// A program's command-line arguments in UTF-8, the encoding every path and text of ours is in.
// Windows hands main() its arguments in the ANSI code page, which cannot hold every file name; they
// are read again there in UTF-16.
#pragma once

#include <string>
#include <vector>

namespace tools {

// The arguments after the program's name.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

}  // namespace tools
