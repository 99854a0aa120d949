#include "tls/CTlsContext.h"

#include "foundation/XTOOError.h"
#include "tls/CTlsCertificate.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <memory>

namespace {

[[noreturn]] void ThrowTlsFailure(const std::string& step)
{
    const std::string reason = TakeTlsErrorReason();
    throw XTOOErrMsg(CZelString(std::string_view(reason.empty() ? step : step + ": " + reason)));
}

SSL_CTX* NewModernContext(const SSL_METHOD* method)
{
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(method);
    if (!context)
        ThrowTlsFailure("TLS context");
    // Older versions have known weaknesses; compression leaks secrets (CRIME) and a
    // renegotiation started by the client is a cheap way to burn server time.
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
    SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    // The sockets are driven through memory buffers; a partial write must not be retried
    // with the very same buffer address.
    SSL_CTX_set_mode(context, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
    return context;
}

// Where a pinned client context keeps its fingerprint; freed with the context.
int PinIndex()
{
    static const int index = SSL_CTX_get_ex_new_index(
        0, nullptr, nullptr, nullptr, [](void*, void* pin, CRYPTO_EX_DATA*, int, long, void*) {
            delete static_cast<std::string*>(pin);
        });
    return index;
}

// The leaf certificate decides alone: it is accepted when its fingerprint is the pinned one,
// refused otherwise; what the chain or the names would say does not count.
int VerifyPinned(int, X509_STORE_CTX* store)
{
    if (X509_STORE_CTX_get_error_depth(store) > 0)
        return 1;
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    const auto* pin = static_cast<const std::string*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), PinIndex()));
    X509* leaf = X509_STORE_CTX_get_current_cert(store);
    bool matches = false;
    try {
        matches = pin && leaf && CTlsCertificate::Fingerprint(leaf) == *pin;
    } catch (const XTOOBaseError&) {
    }
    X509_STORE_CTX_set_error(store, matches ? X509_V_OK : X509_V_ERR_CERT_REJECTED);
    return matches ? 1 : 0;
}

} // namespace

std::string TakeTlsErrorReason()
{
    std::string reason;
    while (const unsigned long code = ERR_get_error()) {
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        if (!reason.empty())
            reason += "; ";
        reason += text;
    }
    return reason;
}

void CTlsContext::Free::operator()(ssl_ctx_st* context) const noexcept
{
    SSL_CTX_free(context);
}

CTlsContext CTlsContext::Adopt(ssl_ctx_st* context)
{
    if (!context)
        throw XTOOErrMsg("TLS context missing");
    return CTlsContext(context);
}

CTlsContext CTlsContext::Server(const std::string& certificateFile, const std::string& keyFile)
{
    CTlsContext result = Adopt(NewModernContext(TLS_server_method()));
    SSL_CTX* context = result.Handle();
    if (SSL_CTX_use_certificate_chain_file(context, certificateFile.c_str()) != 1)
        ThrowTlsFailure("TLS certificate " + certificateFile);
    if (SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        ThrowTlsFailure("TLS key " + keyFile);
    if (SSL_CTX_check_private_key(context) != 1)
        ThrowTlsFailure("TLS key " + keyFile + " does not match " + certificateFile);
    return result;
}

CTlsContext CTlsContext::Client(const std::string& trustedCertificateFile)
{
    CTlsContext result = Adopt(NewModernContext(TLS_client_method()));
    SSL_CTX* context = result.Handle();
    if (SSL_CTX_load_verify_locations(context, trustedCertificateFile.c_str(), nullptr) != 1)
        ThrowTlsFailure("TLS trusted certificate " + trustedCertificateFile);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    return result;
}

CTlsContext CTlsContext::ClientOfSystemAuthorities()
{
    CTlsContext result = Adopt(NewModernContext(TLS_client_method()));
    if (SSL_CTX_set_default_verify_paths(result.Handle()) != 1)
        ThrowTlsFailure("TLS system certificate authorities");
    SSL_CTX_set_verify(result.Handle(), SSL_VERIFY_PEER, nullptr);
    return result;
}

CTlsContext CTlsContext::ClientPinned(const std::string& fingerprint)
{
    CTlsContext result = Adopt(NewModernContext(TLS_client_method()));
    auto pin = std::make_unique<std::string>(fingerprint);
    if (SSL_CTX_set_ex_data(result.Handle(), PinIndex(), pin.get()) != 1)
        ThrowTlsFailure("TLS pinned fingerprint");
    pin.release();
    SSL_CTX_set_verify(result.Handle(), SSL_VERIFY_PEER, VerifyPinned);
    return result;
}
