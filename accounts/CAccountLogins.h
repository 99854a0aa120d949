#pragma once
// The login table a local SMTP or POP3 connection builds once at its start: login -> account
// id for every registered account file whose `Id` matches the number in its name, the first
// file in directory order winning a login that two files share.

#include "foundation/CZelString.h"

#include <cstdint>
#include <functional>
#include <map>

class CAccountLogins {
public:
    static constexpr char kAllowedUserLine[] = "Allowed user Id=%08D, login: %S";

    // Receives each "Allowed user ..." line (the session writes it to its log).
    using LogSink = std::function<void(const CZelString& line)>;

    // Scans the working directory.
    void Build(const LogSink& log = {});
    // The account id of a login (byte-exact), or -1.
    int64_t Find(const CZelString& login) const;
    size_t Size() const { return m_ids.size(); }

    // Reloads "%08D.xml" of the id and accepts only when its `Login` and `Password` equal the
    // given ones byte for byte.
    static bool Authenticate(int64_t id, const CZelString& login, const CZelString& password);

private:
    std::map<CZelString, int64_t> m_ids;
};
