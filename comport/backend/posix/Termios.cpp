// termios2 lives in the kernel's headers, which clash with the C library's <termios.h>: this file
// includes only the kernel's.
#include "comport/backend/posix/Termios.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <iterator>

namespace comport::posix {
namespace {

struct RateCode {
  std::uint32_t rate;
  tcflag_t code;
};

// The rates with a code of their own read back as that code; every other rate goes as BOTHER.
constexpr RateCode kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

int Get(int fd, termios2& t) {
  return ioctl(fd, TCGETS2, &t) == 0 ? 0 : errno;
}
int Set(int fd, const termios2& t) {
  return ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno;
}

std::uint32_t RateOf(const termios2& t) {
  const tcflag_t code = t.c_cflag & CBAUD;
  if (code == BOTHER) return t.c_ospeed;
  for (const auto& r : kRates) {
    if (r.code == code) return r.rate;
  }
  return 0;
}

void PutRate(termios2& t, std::uint32_t rate) {
  tcflag_t code = BOTHER;
  for (const auto& r : kRates) {
    if (r.rate == rate) code = r.code;
  }
  // The input rate follows the output rate (no IBSHIFT part).
  t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= code;
  t.c_ispeed = t.c_ospeed = rate;
}

std::uint8_t ByteSizeOf(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

std::uint8_t ParityOf(tcflag_t cflag) {
  if ((cflag & PARENB) == 0) return 0;
  const bool odd = (cflag & PARODD) != 0;
  if ((cflag & CMSPAR) != 0) return odd ? 3 : 4;
  return odd ? 1 : 2;
}

void PutFrame(termios2& t, const TDcb& dcb) {
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
  t.c_cflag |= kSizes[dcb.ByteSize - 5];
  static constexpr tcflag_t kParity[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                         PARENB | CMSPAR};
  t.c_cflag |= kParity[dcb.Parity];
  if (dcb.StopBits == 2) t.c_cflag |= CSTOPB;
}

void PutFlow(termios2& t, const TDcb& dcb) {
  const bool rtsCts = (dcb.Flags & dcb::fOutxCtsFlow) != 0 ||
                      (dcb.Flags & dcb::fRtsControlMask) == dcb::RtsHandshake;
  t.c_cflag = rtsCts ? (t.c_cflag | CRTSCTS) : (t.c_cflag & ~CRTSCTS);
  t.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
  if ((dcb.Flags & dcb::fOutX) != 0) t.c_iflag |= IXON;
  if ((dcb.Flags & dcb::fInX) != 0) t.c_iflag |= IXOFF;
  if ((dcb.Flags & dcb::fParity) != 0) t.c_iflag |= INPCK;
  t.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  t.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
}

}  // namespace

bool CanCarryOut(const TDcb& dcb) {
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > 4 || (dcb.StopBits != 0 && dcb.StopBits != 2)) return false;
  if ((dcb.Flags & dcb::fDtrControlMask) == dcb::DtrHandshake) return false;
  if ((dcb.Flags & dcb::fRtsControlMask) == dcb::RtsToggle) return false;
  constexpr std::uint32_t kUnsupported =
      dcb::fOutxDsrFlow | dcb::fDsrSensitivity | dcb::fNull | dcb::fErrorChar;
  return (dcb.Flags & kUnsupported) == 0;
}

int MakeRaw(int fd) {
  termios2 t{};
  if (int e = Get(fd, t)) return e;
  t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag |= CREAD | CLOCAL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  return Set(fd, t);
}

int ReadDcb(int fd, TDcb& dcb) {
  termios2 t{};
  if (int e = Get(fd, t)) return e;
  dcb.BaudRate = RateOf(t);
  dcb.ByteSize = ByteSizeOf(t.c_cflag);
  dcb.Parity = ParityOf(t.c_cflag);
  dcb.StopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 0;
  dcb.XonChar = static_cast<char>(t.c_cc[VSTART]);
  dcb.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
  auto flag = [&](bool on, std::uint32_t bit) {
    dcb.Flags = on ? (dcb.Flags | bit) : (dcb.Flags & ~bit);
  };
  flag((t.c_iflag & INPCK) != 0, dcb::fParity);
  flag((t.c_iflag & IXON) != 0, dcb::fOutX);
  flag((t.c_iflag & IXOFF) != 0, dcb::fInX);
  const bool rtsCts = (t.c_cflag & CRTSCTS) != 0;
  flag(rtsCts, dcb::fOutxCtsFlow);
  if (rtsCts) {
    dcb.Flags = (dcb.Flags & ~dcb::fRtsControlMask) | dcb::RtsHandshake;
  } else if ((dcb.Flags & dcb::fRtsControlMask) == dcb::RtsHandshake) {
    dcb.Flags = (dcb.Flags & ~dcb::fRtsControlMask) | dcb::RtsEnable;
  }
  dcb.Flags |= dcb::fBinary;
  return 0;
}

int WriteDcb(int fd, const TDcb& dcb) {
  if (!CanCarryOut(dcb)) return EINVAL;
  termios2 t{};
  if (int e = Get(fd, t)) return e;
  if (dcb.BaudRate == 0) return EINVAL;
  PutRate(t, dcb.BaudRate);
  PutFrame(t, dcb);
  PutFlow(t, dcb);
  return Set(fd, t);
}

}  // namespace comport::posix
