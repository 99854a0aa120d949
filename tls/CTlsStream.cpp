#include "tls/CTlsStream.h"

#include "foundation/XTOOError.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <climits>

CTlsStream::CTlsStream(const CTlsContext& context, ERole role, const std::string& serverName)
{
    ERR_clear_error();
    m_ssl = SSL_new(context.Handle());
    BIO* incoming = BIO_new(BIO_s_mem());
    BIO* outgoing = BIO_new(BIO_s_mem());
    if (!m_ssl || !incoming || !outgoing) {
        BIO_free(incoming);
        BIO_free(outgoing);
        SSL_free(m_ssl);
        throw XTOOErrMsg(CZelString(std::string_view("TLS session: " + TakeTlsErrorReason())));
    }
    // An empty memory buffer means "wait for more", not the end of the stream.
    BIO_set_mem_eof_return(incoming, -1);
    SSL_set_bio(m_ssl, incoming, outgoing);
    if (role == ERole::Server) {
        SSL_set_accept_state(m_ssl);
    } else {
        SSL_set_connect_state(m_ssl);
        if (!serverName.empty()) {
            SSL_set_tlsext_host_name(m_ssl, serverName.c_str());
            SSL_set1_host(m_ssl, serverName.c_str());
        }
    }
}

CTlsStream::~CTlsStream()
{
    SSL_free(m_ssl);  // frees both buffers too
}

void CTlsStream::PutIncoming(std::string_view ciphertext)
{
    while (!ciphertext.empty()) {
        const int piece = static_cast<int>(std::min<size_t>(ciphertext.size(), INT_MAX));
        const int written = BIO_write(SSL_get_rbio(m_ssl), ciphertext.data(), piece);
        if (written <= 0)
            ThrowMemoryAllocationError();
        ciphertext.remove_prefix(static_cast<size_t>(written));
    }
}

std::string CTlsStream::TakeOutgoing()
{
    BIO* outgoing = SSL_get_wbio(m_ssl);
    char* data = nullptr;
    const long length = BIO_get_mem_data(outgoing, &data);
    std::string bytes(data, static_cast<size_t>(length > 0 ? length : 0));
    (void)BIO_reset(outgoing);
    return bytes;
}

bool CTlsStream::HasOutgoing() const
{
    return BIO_ctrl_pending(SSL_get_wbio(m_ssl)) > 0;
}

CTlsStream::EStep CTlsStream::Handshake()
{
    if (m_failed)
        return EStep::Failed;
    ERR_clear_error();
    const int result = SSL_do_handshake(m_ssl);
    return result == 1 ? EStep::Done : Failure(result, "TLS handshake");
}

bool CTlsStream::IsEstablished() const noexcept
{
    return !m_failed && SSL_is_init_finished(m_ssl);
}

CTlsStream::EStep CTlsStream::Read(std::string& plaintext)
{
    if (m_failed)
        return EStep::Failed;
    bool any = false;
    char buffer[16384];
    for (;;) {
        ERR_clear_error();
        size_t got = 0;
        const int result = SSL_read_ex(m_ssl, buffer, sizeof buffer, &got);
        if (result != 1) {
            const EStep step = Failure(result, "TLS read");
            // Plaintext already decrypted is delivered first; a close or failure behind it
            // shows on the next call.
            return any ? EStep::Done : step;
        }
        plaintext.append(buffer, got);
        any = true;
    }
}

CTlsStream::EStep CTlsStream::Write(std::string_view plaintext)
{
    if (m_failed)
        return EStep::Failed;
    while (!plaintext.empty()) {
        ERR_clear_error();
        size_t written = 0;
        const int result = SSL_write_ex(m_ssl, plaintext.data(), plaintext.size(), &written);
        if (result != 1)
            return Failure(result, "TLS write");
        plaintext.remove_prefix(written);
    }
    return EStep::Done;
}

void CTlsStream::Shutdown()
{
    if (!m_failed && SSL_is_init_finished(m_ssl)) {
        ERR_clear_error();
        SSL_shutdown(m_ssl);
        ERR_clear_error();
    }
}

std::string CTlsStream::Protocol() const
{
    return IsEstablished() ? SSL_get_version(m_ssl) : std::string();
}

CTlsStream::EStep CTlsStream::Failure(int result, const char* step)
{
    switch (SSL_get_error(m_ssl, result)) {
    case SSL_ERROR_WANT_READ:
        return EStep::NeedInput;
    case SSL_ERROR_ZERO_RETURN:
        return EStep::Closed;
    default: {
        std::string reason = TakeTlsErrorReason();
        m_failure = std::string(step) + ": " + (reason.empty() ? "connection broken" : reason);
        // "certificate verify failed" alone does not tell the user what to fix.
        const long verified = SSL_get_verify_result(m_ssl);
        if (verified != X509_V_OK)
            m_failure += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
        m_failed = true;
        return EStep::Failed;
    }
    }
}
