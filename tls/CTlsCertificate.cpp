#include "tls/CTlsCertificate.h"

#include "foundation/CZelFile.h"
#include "foundation/XTOOError.h"
#include "tls/CTlsContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cctype>
#include <memory>

namespace {

struct FreeKey { void operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); } };
struct FreeCert { void operator()(X509* cert) const noexcept { X509_free(cert); } };
struct FreeBio { void operator()(BIO* bio) const noexcept { BIO_free(bio); } };
struct FreeExt { void operator()(X509_EXTENSION* ext) const noexcept { X509_EXTENSION_free(ext); } };
using KeyPtr = std::unique_ptr<EVP_PKEY, FreeKey>;
using CertPtr = std::unique_ptr<X509, FreeCert>;
using BioPtr = std::unique_ptr<BIO, FreeBio>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, FreeExt>;

[[noreturn]] void ThrowCertificateFailure(const std::string& step)
{
    const std::string reason = TakeTlsErrorReason();
    throw XTOOErrMsg(CZelString(std::string_view(reason.empty() ? step : step + ": " + reason)));
}

void Require(bool ok, const char* step)
{
    if (!ok)
        ThrowCertificateFailure(step);
}

std::string BioText(BIO* bio)
{
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(length));
}

std::string SubjectAltNames(const std::string& hostName)
{
    std::string names = "DNS:localhost,IP:127.0.0.1";
    // A name with a comma would smuggle in further entries; such a name is no host name.
    if (!hostName.empty() && hostName != "localhost" && hostName.find_first_of(",:") == std::string::npos)
        names += ",DNS:" + hostName;
    return names;
}

void AddExtension(X509* cert, int nid, const std::string& value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    Require(ext != nullptr, "certificate extension");
    Require(X509_add_ext(cert, ext.get(), -1) == 1, "certificate extension");
}

void SetRandomSerial(X509* cert)
{
    unsigned char bytes[16];
    Require(RAND_bytes(bytes, sizeof bytes) == 1, "certificate serial");
    bytes[0] &= 0x7F;  // a serial is a positive number
    bytes[0] |= 0x01;  // and never shorter than its 16 bytes
    BIGNUM* number = BN_bin2bn(bytes, sizeof bytes, nullptr);
    Require(number != nullptr, "certificate serial");
    const bool ok = BN_to_ASN1_INTEGER(number, X509_get_serialNumber(cert)) != nullptr;
    BN_free(number);
    Require(ok, "certificate serial");
}

CertPtr MakeCertificate(EVP_PKEY* key, const std::string& hostName)
{
    CertPtr cert(X509_new());
    Require(cert != nullptr, "certificate");
    Require(X509_set_version(cert.get(), 2) == 1, "certificate version");
    SetRandomSerial(cert.get());
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), CTlsCertificate::kSelfSignedValidDays * 86400L);
    Require(X509_set_pubkey(cert.get(), key) == 1, "certificate key");
    X509_NAME* name = X509_get_subject_name(cert.get());
    const auto* common = reinterpret_cast<const unsigned char*>("Velmo local gateway");
    Require(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, common, -1, -1, 0) == 1, "certificate name");
    Require(X509_set_issuer_name(cert.get(), name) == 1, "certificate issuer");
    AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), NID_key_usage, "critical,digitalSignature,keyCertSign");
    AddExtension(cert.get(), NID_ext_key_usage, "serverAuth");
    AddExtension(cert.get(), NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), NID_subject_alt_name, SubjectAltNames(hostName));
    Require(X509_sign(cert.get(), key, EVP_sha256()) > 0, "certificate signature");
    return cert;
}

CertPtr ParseCertificate(const std::string& pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Require(bio != nullptr, "certificate");
    CertPtr cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    Require(cert != nullptr, "certificate");
    return cert;
}

std::string LoadText(const std::string& file)
{
    CZelString bytes;
    XTOOError error;
    if (!CZelFile::LoadWholeFile(CZelString(std::string_view(file)), bytes, 1 << 20,
                                 EErrorMode::ReturnCodes, &error))
        throw XTOOErrMsg(CZelString(std::string_view("cannot read " + file + ": " + error.Text())));
    return bytes.ToStd();
}

void SaveText(const std::string& file, const std::string& text)
{
    CZelFile::SaveWholeFile(CZelString(std::string_view(file)), std::string_view(text), EErrorMode::Throw);
}

} // namespace

CTlsCertificate CTlsCertificate::MakeSelfSigned(const std::string& hostName)
{
    ERR_clear_error();
    KeyPtr key(EVP_EC_gen("P-256"));
    Require(key != nullptr, "certificate key");
    CertPtr cert = MakeCertificate(key.get(), hostName);

    BioPtr certBio(BIO_new(BIO_s_mem()));
    BioPtr keyBio(BIO_new(BIO_s_mem()));
    Require(certBio && keyBio, "certificate");
    Require(PEM_write_bio_X509(certBio.get(), cert.get()) == 1, "certificate text");
    Require(PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
            "key text");
    return CTlsCertificate(BioText(certBio.get()), BioText(keyBio.get()));
}

CTlsCertificate CTlsCertificate::Load(const std::string& certificateFile, const std::string& keyFile)
{
    return CTlsCertificate(LoadText(certificateFile), LoadText(keyFile));
}

bool CTlsCertificate::EnsureSelfSigned(const std::string& certificateFile, const std::string& keyFile,
                                       const std::string& hostName)
{
    if (CZelFile::IsFile(CZelString(std::string_view(certificateFile))) &&
        CZelFile::IsFile(CZelString(std::string_view(keyFile))))
        return false;
    MakeSelfSigned(hostName).Save(certificateFile, keyFile);
    return true;
}

std::string CTlsCertificate::FileFingerprint(const std::string& certificateFile)
{
    return Fingerprint(LoadText(certificateFile));
}

std::string CTlsCertificate::Fingerprint(const std::string& certificatePem)
{
    ERR_clear_error();
    CertPtr cert = ParseCertificate(certificatePem);
    return Fingerprint(cert.get());
}

std::string CTlsCertificate::NormalFingerprint(std::string_view text)
{
    constexpr size_t kDigestBytes = 32;
    std::string normal;
    std::string pair;
    for (const char c : text) {
        if (c == ':' && pair.empty())
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        pair += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (pair.size() == 2) {
            normal += (normal.empty() ? "" : ":") + pair;
            pair.clear();
        }
    }
    if (!pair.empty() || normal.size() != kDigestBytes * 3 - 1)
        return {};
    return normal;
}

std::string CTlsCertificate::Fingerprint(x509_st* certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    Require(X509_digest(certificate, EVP_sha256(), digest, &length) == 1, "certificate fingerprint");
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i)
            text += ':';
        text += kHex[digest[i] >> 4];
        text += kHex[digest[i] & 0x0F];
    }
    return text;
}

void CTlsCertificate::Save(const std::string& certificateFile, const std::string& keyFile) const
{
    // A key file left from an earlier pair may be readable by others; remove it so the new
    // one is created private rather than inheriting those bits.
    CZelFile::DeleteFile(CZelString(std::string_view(keyFile)));
    SaveText(keyFile, m_keyPem);
    SaveText(certificateFile, m_certificatePem);
}
