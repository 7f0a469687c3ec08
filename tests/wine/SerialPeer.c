/* The far end of a COM port under wine: a pseudo-terminal whose master echoes every byte back, a
 * loopback plug on the Linux side of the port.
 *
 *   qmr7-serial-peer LINK CABLE
 *
 * Makes the pty, points the symbolic link LINK at its slave (wine's port mapping names LINK), and
 * creates CABLE, the null-modem shim's shared file, wired as a loopback plug. Prints "ready" once
 * both are in place; runs until its standard input closes or it is terminated. It keeps the slave
 * open itself, so that the master never sees a hang-up between two opens of the port. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

static int WriteAll(int fd, const char* data, ssize_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, (size_t)size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      struct pollfd out = {fd, POLLOUT, 0};
      poll(&out, 1, -1);
      continue;
    }
    if (n <= 0) return -1;
    data += n;
    size -= n;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s LINK CABLE\n", argv[0]);
    return 2;
  }
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    perror("qmr7-serial-peer: pty");
    return 1;
  }
  const char* slaveName = ptsname(master);
  const int slave = open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios raw;
  if (slave < 0 || tcgetattr(slave, &raw) != 0) {
    perror("qmr7-serial-peer: slave");
    return 1;
  }
  cfmakeraw(&raw);
  tcsetattr(slave, TCSANOW, &raw);

  const uint32_t loopback[4] = {0, 0, 0, 1};
  FILE* cable = fopen(argv[2], "wb");
  if (cable == NULL || fwrite(loopback, sizeof loopback, 1, cable) != 1 || fclose(cable) != 0) {
    perror("qmr7-serial-peer: cable");
    return 1;
  }
  unlink(argv[1]);
  if (symlink(slaveName, argv[1]) != 0) {
    perror("qmr7-serial-peer: link");
    return 1;
  }
  printf("ready %s\n", slaveName);
  fflush(stdout);

  struct pollfd fds[2] = {{master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  char buffer[4096];
  for (;;) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return 1;
    }
    if (fds[1].revents != 0) {
      if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
    if (fds[0].revents & POLLIN) {
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0 && WriteAll(master, buffer, n) != 0) return 1;
    }
  }
  unlink(argv[1]);
  return 0;
}
