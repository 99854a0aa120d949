#pragma once
// CTlsContext: the settings every TLS connection of one side shares. The local servers use a
// server context built from a certificate and key file; clients (the tests, the benchmarks)
// use a client context that trusts one certificate file. Both speak TLS 1.2 and 1.3 only,
// with no compression and no renegotiation.

#include <memory>
#include <string>

struct ssl_ctx_st;

class CTlsContext {
public:
    // Loads the pair and checks that the key belongs to the certificate; throws XTOOErrMsg
    // with OpenSSL's reason when either file is missing, unreadable or the two do not match.
    static CTlsContext Server(const std::string& certificateFile, const std::string& keyFile);
    // A client that verifies the server against `trustedCertificateFile` (its only authority).
    static CTlsContext Client(const std::string& trustedCertificateFile);
    // A client that verifies the server against the system's certificate authorities.
    static CTlsContext ClientOfSystemAuthorities();
    // A client that trusts exactly the server certificate with this SHA-256 fingerprint (as
    // CTlsCertificate::Fingerprint writes it), whoever signed it and whatever names it bears:
    // the user compared the fingerprint, which says more than any authority. Anything else is
    // refused with "certificate rejected".
    static CTlsContext ClientPinned(const std::string& fingerprint);
    // Takes ownership of a context made elsewhere (tests make deliberately outdated clients).
    static CTlsContext Adopt(ssl_ctx_st* context);

    ssl_ctx_st* Handle() const noexcept { return m_context.get(); }

private:
    struct Free {
        void operator()(ssl_ctx_st* context) const noexcept;
    };
    explicit CTlsContext(ssl_ctx_st* context) : m_context(context, Free{}) {}

    std::shared_ptr<ssl_ctx_st> m_context;
};

// The last OpenSSL failure of this thread as one line ("" when there is none); empties the
// thread's error queue, so an old failure is never blamed on a later step.
std::string TakeTlsErrorReason();
