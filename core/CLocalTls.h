#pragma once
// CLocalTls: the certificate and key the local SMTP and POP3 servers present for STARTTLS and
// STLS. The configuration may name the user's own pair (TlsCertificate, TlsKey); otherwise
// the gateway uses a self-signed pair of its own in the home, made on its first start. The
// server context is loaded once when the gateway starts and shared by every connection.

#include <memory>
#include <string>

class CConfig;
class CTlsContext;

class CLocalTls {
public:
    // The gateway's own pair, in the home.
    static constexpr const char* kCertificateFile = "local-tls.crt";
    static constexpr const char* kKeyFile = "local-tls.key";

    struct CPair {
        std::string certificateFile;
        std::string keyFile;
        bool own = true;   // the gateway's own pair, not one the user configured
    };

    // The pair the configuration names, or the gateway's own. Empty `problem` when usable;
    // naming only one of the two files is a mistake the user hears of.
    static CPair PairInUse(const CConfig& config, std::string& problem);
    // The gateway's own pair is made when it is the one in use and is not there yet; a pair
    // the user configured is never touched. True when the files are there afterwards.
    static bool EnsurePair(const CPair& pair, std::string& problem);

    // Loads the server context from the pair in use (making the own pair first if needed) and
    // shares it with the local servers. On failure the servers run without TLS and `problem`
    // says why.
    static bool Install(const CConfig& config, std::string& problem);

    // What the local servers upgrade connections with; null when TLS is off.
    static std::shared_ptr<const CTlsContext> ServerContext();
    static void SetServerContext(std::shared_ptr<const CTlsContext> context);
};
