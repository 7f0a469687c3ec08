// The window's two judgements of a firmware file that need no engine: whether the engine's
// description of the file names this product family, and whether the file's name is meant for
// the connected model. The window and qmr7ctl both judge files with these.
#pragma once

#include <string_view>

namespace dfu {

// "FARPOINT" or "FAR POINT" anywhere in the description, without regard to ASCII case.
bool HasProductFamilyMarker(std::string_view description);

// Whether the file's own name (after the last path separator) starts with `modelName` and "_",
// without regard to ASCII case. An empty model name matches names that start with "_".
bool FileNameMatchesModel(std::string_view path, std::string_view modelName);

}  // namespace dfu
