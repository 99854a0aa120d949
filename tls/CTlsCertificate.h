#pragma once
// CTlsCertificate: the certificate and private key the local servers present. On first start
// the gateway makes its own pair (EC P-256, self-signed, for localhost, 127.0.0.1 and the host
// name); the user trusts it by comparing its SHA-256 fingerprint, or configures a pair of
// their own instead.

#include <string>
#include <string_view>

struct x509_st;

class CTlsCertificate {
public:
    // The validity of a certificate the gateway makes for itself.
    static constexpr long kSelfSignedValidDays = 3650;

    // A new self-signed pair valid for localhost, 127.0.0.1 and `hostName` (left out when
    // empty or "localhost").
    static CTlsCertificate MakeSelfSigned(const std::string& hostName);
    // Reads a pair from PEM files; throws XTOOErrMsg when a file cannot be read.
    static CTlsCertificate Load(const std::string& certificateFile, const std::string& keyFile);
    // Makes and saves a self-signed pair unless both files are there already. True when it
    // made one.
    static bool EnsureSelfSigned(const std::string& certificateFile, const std::string& keyFile,
                                 const std::string& hostName);
    // The fingerprint of the PEM certificate in `certificateFile`.
    static std::string FileFingerprint(const std::string& certificateFile);

    // SHA-256 over the certificate's DER form, as upper-case hex pairs joined by ':'.
    // Throws XTOOErrMsg when the text holds no certificate.
    static std::string Fingerprint(const std::string& certificatePem);
    static std::string Fingerprint(x509_st* certificate);
    // A fingerprint as a user may write it (hex digits in either case, with or without ':'
    // between the pairs) in the form Fingerprint gives; empty when it is not 32 bytes of hex.
    static std::string NormalFingerprint(std::string_view text);

    // Writes both files, each atomically; the key file is readable by its owner only (0600),
    // and written first, so a certificate on disk always has its key.
    void Save(const std::string& certificateFile, const std::string& keyFile) const;

    const std::string& CertificatePem() const noexcept { return m_certificatePem; }
    const std::string& KeyPem() const noexcept { return m_keyPem; }

private:
    CTlsCertificate(std::string certificatePem, std::string keyPem)
        : m_certificatePem(std::move(certificatePem)), m_keyPem(std::move(keyPem)) {}

    std::string m_certificatePem;
    std::string m_keyPem;
};
