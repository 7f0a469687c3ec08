// <windows.h> for the component's Windows backend, without the macros that would rename the
// component's own members: windows.h maps CommConfigDialog to CommConfigDialogA, which is also the
// name of TComDialogService's method. The backend calls the wide functions by their own names.
#pragma once

#include <windows.h>

#undef CommConfigDialog
