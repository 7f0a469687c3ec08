// The libusb transport with the call that starts libusb given by the caller, so that tests can make
// a start fail. MakeLibusbTransport() (DfuTransport.h) starts it with libusb_init.
#pragma once

#include <memory>

#include "upgrade/DfuTransport.h"

struct libusb_context;

namespace dfu {

using LibusbStart = int (*)(libusb_context** context);

std::shared_ptr<DfuTransport> MakeLibusbTransport(LibusbStart start);

}  // namespace dfu
