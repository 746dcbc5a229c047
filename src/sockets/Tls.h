// The listening port's optional TLS transport: the server context, made once at start-up from
// the settings, and the parts of Connection (sockets/Tls.cpp) that shake hands, read, write and
// close through TLS. The frames inside TLS are byte for byte those of the plaintext wire.
//
// A TLS connection's descriptor is non-blocking: every wait is a poll, bounded by the
// connection's deadline while one is set; without one a read waits as long as it takes and a
// write at most the stall time the listener set (SO_SNDTIMEO), as a plaintext write does.
#ifndef KADREL_SOCKETS_TLS_H
#define KADREL_SOCKETS_TLS_H

#include <openssl/ssl.h>

#include <string>

// A server context for the PEM files `cert` (the certificate, then any intermediate ones) and
// `key`; with `clientCa` not empty, a peer must present a certificate that CA signed. TLS 1.2
// and 1.3, OpenSSL's default ciphers. nullptr, with `failure` naming the file and the reason,
// when one of them cannot be used; an encrypted key is unusable (no pass phrase is asked for).
SSL_CTX* MakeServerTls(const std::string& cert, const std::string& key, const std::string& clientCa,
                       std::string& failure);

// With "tls" on, makes the agent's context from tlscert, tlskey and tlsclientca; a file that
// cannot be used ends start-up (Log_err). Nothing while TLS is off.
void LoadTls();

// The agent's TLS context; nullptr while TLS is off (the port speaks plaintext).
SSL_CTX* ServerTls();

// Why the last OpenSSL call of this thread failed, in OpenSSL's words (its error queue is
// emptied); `fallback` when it queued no reason.
std::string TlsFailure(const std::string& fallback);

#endif
