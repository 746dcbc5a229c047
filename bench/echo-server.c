#define _GNU_SOURCE
/* The baseline of the fresh-connection figure: the least a framing server can do. It serves
 * the listening socket it inherits as descriptor argv[1], one connection at a time: reads frames
 * ("LENGTH:PAYLOAD") with one recv into a buffer, answers each whole frame with its payload and
 * CR LF in one send, and closes when the peer does. Runs until killed. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kBuffer = 65536 };

static char in[kBuffer], out[kBuffer + 2];

/* Answers every whole frame in in[0, *have); keeps the rest. 0 when a frame cannot be served. */
static int answer(int fd, size_t *have) {
  size_t at = 0;
  for (;;) {
    const char *colon = memchr(in + at, ':', *have - at);
    if (!colon) break;
    char *end;
    unsigned long length = strtoul(in + at, &end, 10);
    if (end != colon || length > kBuffer - 32) return 0;
    const size_t start = (size_t)(colon - in) + 1;
    if (*have - start < length) break;
    memcpy(out, in + start, length);
    memcpy(out + length, "\r\n", 2);
    if (send(fd, out, length + 2, MSG_NOSIGNAL) != (ssize_t)(length + 2)) return 0;
    at = start + length;
  }
  memmove(in, in + at, *have - at);
  *have -= at;
  return 1;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: echo-server LISTENING-FD\n");
    return 2;
  }
  const int listener = atoi(argv[1]);
  for (;;) {
    const int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) continue;
    size_t have = 0;
    for (;;) {
      const ssize_t n = recv(fd, in + have, kBuffer - have, 0);
      if (n <= 0) break;
      have += (size_t)n;
      if (!answer(fd, &have)) break;
    }
    close(fd);
  }
}
