/* A pseudo-terminal has no modem lines, and libserialport refuses to open a port whose lines it
 * cannot read. For the benchmark only, this answers the modem-line ioctls that a tty rejects as a
 * null-modem cable would (DTR, RTS, CTS, DSR and carrier on). Defined in the executable, it stands
 * in for the C library's ioctl for every library the benchmark loads; all other requests and all
 * real ttys go to the kernel unchanged. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

static int IsModemRequest(unsigned long request) {
  return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  const long result = syscall(SYS_ioctl, fd, request, arg);
  if (result < 0 && (errno == ENOTTY || errno == EINVAL) && IsModemRequest(request)) {
    if (request == TIOCMGET) *(int*)arg = TIOCM_DTR | TIOCM_RTS | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
    return 0;
  }
  return (int)result;
}
