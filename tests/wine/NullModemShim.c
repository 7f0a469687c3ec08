/* Modem lines for pseudo-terminals under wine, as a null-modem cable would carry them.
 *
 * Wine's serial calls read and set the modem lines with TIOCMGET, TIOCMSET, TIOCMBIS and TIOCMBIC;
 * a pty has none, so those calls fail and, with them, EscapeCommFunction, GetCommModemStatus and
 * every overlapped WaitCommEvent. Preloaded into wine (LD_PRELOAD), this answers the modem-line
 * requests that a tty refuses and leaves every other request, and every real tty, to the kernel.
 *
 * The cable: the Windows end's DTR shows at the far end as DSR and carrier, its RTS as CTS, and the
 * far end's lines come back the same way. QMR7_NULL_MODEM names a small file both ends map: word 0
 * holds this end's DTR and RTS, word 1 the far end's, word 2 counts changes (a futex, so that
 * TIOCMIWAIT sleeps until a line moves), word 3 is 1 for a loopback plug (the far end's lines are
 * this end's own). Without the file the far end keeps DTR and RTS on. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

enum { kOwn, kFar, kChanges, kLoopback, kWords };

static uint32_t localCable[kWords] = {TIOCM_DTR | TIOCM_RTS, TIOCM_DTR | TIOCM_RTS, 0, 0};
static uint32_t* cable;

static uint32_t* Cable(void) {
  uint32_t* c = __atomic_load_n(&cable, __ATOMIC_ACQUIRE);
  if (c != NULL) return c;
  c = localCable;
  const char* path = getenv("QMR7_NULL_MODEM");
  if (path != NULL && *path != '\0') {
    const int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      void* map = mmap(NULL, kWords * sizeof(uint32_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      close(fd);
      if (map != MAP_FAILED) c = map;
    }
  }
  __atomic_store_n(&cable, c, __ATOMIC_RELEASE);
  return c;
}

/* The lines as this end reads them. */
static int Lines(uint32_t* c) {
  const uint32_t own = __atomic_load_n(&c[kOwn], __ATOMIC_ACQUIRE);
  const uint32_t far =
      __atomic_load_n(&c[kLoopback], __ATOMIC_ACQUIRE) ? own : __atomic_load_n(&c[kFar], __ATOMIC_ACQUIRE);
  int lines = (int)(own & (TIOCM_DTR | TIOCM_RTS));
  if (far & TIOCM_DTR) lines |= TIOCM_DSR | TIOCM_CAR;
  if (far & TIOCM_RTS) lines |= TIOCM_CTS;
  return lines;
}

static void SetOwn(uint32_t* c, uint32_t lines) {
  __atomic_store_n(&c[kOwn], lines & (TIOCM_DTR | TIOCM_RTS), __ATOMIC_RELEASE);
  __atomic_add_fetch(&c[kChanges], 1, __ATOMIC_ACQ_REL);
  syscall(SYS_futex, &c[kChanges], FUTEX_WAKE, 0x7fffffff, NULL, NULL, 0);
}

/* Until one of `watched` changes. */
static int WaitForLines(uint32_t* c, int watched) {
  const int before = Lines(c);
  for (;;) {
    const uint32_t changes = __atomic_load_n(&c[kChanges], __ATOMIC_ACQUIRE);
    if (((Lines(c) ^ before) & watched) != 0) return 0;
    if (syscall(SYS_futex, &c[kChanges], FUTEX_WAIT, changes, NULL, NULL, 0) != 0 &&
        errno == EINTR) {
      return -1;
    }
  }
}

static int IsModemRequest(unsigned long request) {
  return request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
         request == TIOCMBIC || request == TIOCMIWAIT;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  const long result = syscall(SYS_ioctl, fd, request, arg);
  if (result >= 0 || !IsModemRequest(request) || (errno != ENOTTY && errno != EINVAL) ||
      !isatty(fd)) {
    return (int)result;
  }
  uint32_t* c = Cable();
  const uint32_t own = __atomic_load_n(&c[kOwn], __ATOMIC_ACQUIRE);
  switch (request) {
    case TIOCMGET:
      *(int*)arg = Lines(c);
      return 0;
    case TIOCMSET:
      SetOwn(c, (uint32_t)*(const int*)arg);
      return 0;
    case TIOCMBIS:
      SetOwn(c, own | (uint32_t)*(const int*)arg);
      return 0;
    case TIOCMBIC:
      SetOwn(c, own & ~(uint32_t)*(const int*)arg);
      return 0;
    default:
      /* TIOCMIWAIT takes the lines by value. */
      if (WaitForLines(c, (int)(intptr_t)arg) == 0) return 0;
      errno = EINTR;
      return -1;
  }
}
