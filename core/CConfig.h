#pragma once
// The gateway's configuration: eight named text values, held process-wide and kept in
// "config.xml" as attributes of the root element. Values stay text; each reader parses what it
// needs when it uses it, so a value changed at run time takes effect at its next use.
//
// Every read and write copies one whole value under the string library's global lock, so
// servers, transfer loops and the config command may use it from any thread.

#include "foundation/CZelString.h"

#include <array>
#include <cstdint>
#include <string_view>

class CConfig {
public:
    static constexpr const char* kFileName = "config.xml";
    static constexpr const char* kDoctype = "Config";
    static constexpr const char* kRootName = "Config";

    static constexpr const char* kServer = "Server";
    static constexpr const char* kUrl = "Url";
    static constexpr const char* kSmtpServerPort = "SmtpServerPort";
    static constexpr const char* kPop3ServerPort = "Pop3ServerPort";
    static constexpr const char* kBlockSize = "BlockSize";
    // The local servers' own certificate and key files; both empty: the gateway's own pair.
    static constexpr const char* kTlsCertificate = "TlsCertificate";
    static constexpr const char* kTlsKey = "TlsKey";
    // With an "https://" Server: the SHA-256 fingerprint of its one certificate; empty: the
    // system's certificate authorities.
    static constexpr const char* kServerFingerprint = "ServerFingerprint";
    static constexpr int kKeyCount = 8;

    static constexpr int32_t kDefaultSmtpPort = 25;
    static constexpr int32_t kDefaultPop3Port = 110;
    static constexpr int32_t kDefaultBlockSizeKb = 100;
    static constexpr int32_t kMaxBlockSizeKb = 5000;

    // The keys in the order they are read and written.
    static const std::array<const char*, kKeyCount>& Keys();
    static bool IsKey(std::string_view key);
    static bool IsNumberKey(std::string_view key);  // numbers: the config command takes nothing else
    static CZelString DefaultOf(std::string_view key);

    // The process-wide configuration.
    static CConfig& Global();

    CConfig();  // the built-in defaults

    CZelString Get(std::string_view key) const;               // "" for an unknown key
    bool Set(std::string_view key, const CZelString& value);  // false for an unknown key
    void ResetToDefaults();

    struct LoadResult {
        enum Status { Loaded, Missing, Broken };
        Status status = Missing;
        CZelString error;  // the parser's text for a broken file
        int line = 0;
        int column = 0;
    };
    // The defaults, then every non-empty value of the file. A missing, unreadable or broken
    // file leaves the defaults in place; the result only says which case it was.
    LoadResult Load(const CZelString& fileName = kFileName);

    // Writes the values into the file, keeping everything else the file holds. A file
    // that exists but does not parse is kept beside it as "<name>.broken-<time>" before the
    // new one replaces it (its name goes to `keptAs`). False when the file could not be written.
    bool Save(const CZelString& fileName = kFileName, CZelString* keptAs = nullptr) const;

    // The values as their readers take them.
    int32_t SmtpServerPort() const;
    int32_t Pop3ServerPort() const;
    int32_t BlockSizeKb() const;

    // A leading decimal number (blanks and a sign allowed before the digits); `fallback` when
    // the text does not start with one. Values beyond 32 bits stop at the nearest limit.
    static int32_t ReadLeadingNumber(std::string_view text, int32_t fallback);
    // Below 1 gives the default, above the maximum gives the maximum.
    static int32_t ClampBlockSize(int32_t kb);

private:
    static int IndexOf(std::string_view key);

    std::array<CZelString, kKeyCount> m_values;
};
