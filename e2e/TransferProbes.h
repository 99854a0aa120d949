#pragma once
// What a test can see of a transfer in progress from outside the processes doing it: the
// central server's database for an upload, the gateway's log for a download.

#include "e2e/MailClients.h"

#include <cstdint>
#include <regex>
#include <string>
#include <vector>

namespace e2e {

// What the central server's database says of the upload in progress: bytes received and
// whether it is complete ("received|complete"); "" while none has begun.
inline std::string UploadProgress(const MailWorld& world)
{
    const RunResult run = accountstest::RunProgram(
        "/usr/bin/sqlite3",
        {"-readonly", (world.Root() / "central.sqlite3").string(),
         "SELECT u.received || '|' || m.complete FROM message_uploads u JOIN messages m ON m.id = u.message;"},
        world.Root().string());
    return Trimmed(run.out);
}

// The bytes held of every download progress line in `log` ("Receiving e-mail: 1,234 of
// 5,678 bytes ...").
inline std::vector<int64_t> HeldInProgressLines(const std::string& log)
{
    static const std::regex progress("Receiving e-mail: ([0-9,]+) of ([0-9,]+) bytes");
    std::vector<int64_t> held;
    for (auto it = std::sregex_iterator(log.begin(), log.end(), progress); it != std::sregex_iterator(); ++it) {
        std::string digits;
        for (char c : (*it)[1].str())
            if (c != ',')
                digits += c;
        held.push_back(std::stoll(digits));
    }
    return held;
}

}
