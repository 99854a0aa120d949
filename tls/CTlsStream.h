#pragma once
// CTlsStream: one TLS connection run over memory buffers instead of a socket, so the caller
// keeps its own way of moving bytes (an event thread, a blocking facade, two streams wired
// together in a test). Ciphertext from the peer goes in with PutIncoming; ciphertext for the
// peer comes out of TakeOutgoing after every step. Not thread-safe: one owner drives it.

#include "tls/CTlsContext.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct ssl_st;

class CTlsStream {
public:
    enum class ERole { Server, Client };
    // What a step achieved.
    enum class EStep {
        Done,       // the handshake is complete / plaintext was produced
        NeedInput,  // more ciphertext from the peer is needed first
        Closed,     // the peer ended the TLS session cleanly
        Failed      // the session is broken; FailureReason() says why
    };

    // `serverName` is the name a client asks for and verifies (ignored for a server).
    CTlsStream(const CTlsContext& context, ERole role, const std::string& serverName = {});
    ~CTlsStream();
    CTlsStream(const CTlsStream&) = delete;
    CTlsStream& operator=(const CTlsStream&) = delete;

    void PutIncoming(std::string_view ciphertext);
    // Ciphertext waiting for the peer (empty when none); taking it empties the buffer.
    std::string TakeOutgoing();
    bool HasOutgoing() const;

    // Advances the handshake as far as the input allows.
    EStep Handshake();
    bool IsEstablished() const noexcept;

    // Decrypts what the input holds into `plaintext` (appended). Done when at least one byte
    // came out.
    EStep Read(std::string& plaintext);
    // Encrypts `plaintext` completely into the outgoing buffer.
    EStep Write(std::string_view plaintext);
    // Queues the close notification for the peer.
    void Shutdown();

    // The reason for the last failure: OpenSSL's own words, or what the stream saw.
    const std::string& FailureReason() const noexcept { return m_failure; }
    // The protocol agreed ("TLSv1.3"), empty before the handshake.
    std::string Protocol() const;

private:
    EStep Failure(int result, const char* step);

    ssl_st* m_ssl = nullptr;
    std::string m_failure;
    bool m_failed = false;
};
