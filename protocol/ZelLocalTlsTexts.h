#pragma once
// The local servers' TLS: what the SMTP and POP3 sessions share about the upgrade of a
// connection, written once. Each server's own replies for it are with its other replies.

// The whole handshake after the client was told to start it. An honest client on the same
// machine needs milliseconds; one that stops half-way must not hold the SMTP server, which
// serves one connection at a time, for the full read time-out.
inline constexpr int kLocalTlsHandshakeTimeoutMs = 10000;

// A handshake that failed ends its session only; OpenSSL's reason follows.
inline constexpr char kLocalTlsLogHandshakeFailed[] = "TLS handshake failed: %S\n";
// Written once the connection is protected; the protocol agreed follows ("TLSv1.3").
inline constexpr char kLocalTlsLogStarted[] = "TLS started: %S\n";
