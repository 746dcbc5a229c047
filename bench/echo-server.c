#define _GNU_SOURCE
/* The baseline of the fresh-connection figures: the least a framing server can do. It serves
 * the listening socket it inherits as descriptor argv[1], one connection at a time: accepts,
 * then for each frame ("LENGTH:PAYLOAD") one read and one write of its payload and CR LF (from
 * the read buffer itself), and closes when the peer does. Nothing else happens per connection.
 * With CERT and KEY (PEM files) it speaks TLS as the agent does (1.2 or 1.3, OpenSSL's defaults,
 * no session kept), shaking hands first. Runs until killed. */
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kBuffer = 65536 };

static char in[kBuffer + 2]; /* room for the CR LF after a payload that ends the buffer */

/* One connection's reads and writes: plaintext, or TLS. */
struct io {
  long (*read)(void *conn, char *buf, size_t len);
  long (*write)(void *conn, const char *buf, size_t len);
  void *conn;
};

static long plainRead(void *conn, char *buf, size_t len) { return recv(*(int *)conn, buf, len, 0); }
static long plainWrite(void *conn, const char *buf, size_t len) {
  return send(*(int *)conn, buf, len, MSG_NOSIGNAL);
}
static long tlsRead(void *conn, char *buf, size_t len) { return SSL_read(conn, buf, (int)len); }
static long tlsWrite(void *conn, const char *buf, size_t len) { return SSL_write(conn, buf, (int)len); }

/* Answers every whole frame in in[0, *have); keeps the rest. 0 when a frame cannot be served. */
static int answer(const struct io *io, size_t *have) {
  size_t at = 0;
  for (;;) {
    const char *colon = memchr(in + at, ':', *have - at);
    if (!colon) break;
    char *end;
    unsigned long length = strtoul(in + at, &end, 10);
    if (end != colon || length > kBuffer - 32) return 0;
    const size_t start = (size_t)(colon - in) + 1;
    if (*have - start < length) break;
    /* CR LF goes after the payload in place, over what follows it for the moment. */
    char kept[2];
    memcpy(kept, in + start + length, 2);
    memcpy(in + start + length, "\r\n", 2);
    const long sent = io->write(io->conn, in + start, length + 2);
    memcpy(in + start + length, kept, 2);
    if (sent != (long)(length + 2)) return 0;
    at = start + length;
  }
  if (at > 0) memmove(in, in + at, *have - at);
  *have -= at;
  return 1;
}

static void serve(const struct io *io) {
  size_t have = 0;
  for (;;) {
    const long n = io->read(io->conn, in + have, kBuffer - have);
    if (n <= 0) return;
    have += (size_t)n;
    if (!answer(io, &have)) return;
  }
}

int main(int argc, char **argv) {
  if (argc != 2 && argc != 4) {
    fprintf(stderr, "usage: echo-server LISTENING-FD [CERT KEY]\n");
    return 2;
  }
  const int listener = atoi(argv[1]);
  SSL_CTX *ctx = NULL;
  if (argc == 4) {
    signal(SIGPIPE, SIG_IGN); /* TLS writes to a peer that left fail instead */
    ctx = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);
    if (SSL_CTX_use_certificate_chain_file(ctx, argv[2]) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, argv[3], SSL_FILETYPE_PEM) != 1) {
      fprintf(stderr, "echo-server: cannot use %s and %s\n", argv[2], argv[3]);
      return 1;
    }
  }
  for (;;) {
    int fd = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
    if (fd < 0) continue;
    if (!ctx) {
      const struct io io = {plainRead, plainWrite, &fd};
      serve(&io);
    } else {
      /* As the agent's: TLS writes small records right after each other. */
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      SSL *ssl = SSL_new(ctx);
      SSL_set_fd(ssl, fd);
      if (SSL_accept(ssl) == 1) {
        const struct io io = {tlsRead, tlsWrite, ssl};
        serve(&io);
      }
      SSL_shutdown(ssl);
      SSL_free(ssl);
    }
    close(fd);
  }
}
