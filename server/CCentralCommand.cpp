#include "server/CCentralCommand.h"

#include "foundation/CZelString.h"
#include "foundation/XTOOError.h"
#include "protocol/ZelProtocolVocabulary.h"
#include "server/CCentralHttpServer.h"
#include "server/CCentralMigration.h"
#include "server/CCentralMessages.h"
#include "server/CCentralServer.h"
#include "server/CCentralStore.h"
#include "server/CPostgresDb.h"
#include "tls/CTlsContext.h"

#include <charconv>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>
#include <vector>

namespace {

bool TakeValue(int argc, const char* const* argv, int& i, std::string& value, CCentralCommandLine& line)
{
    if (i + 1 >= argc) {
        line.error = std::string(argv[i]) + " needs a value";
        return false;
    }
    value = argv[++i];
    return true;
}

// A whole number from 1 to `most`.
template <typename Number>
bool TakeCount(int argc, const char* const* argv, int& i, Number& value, CCentralCommandLine& line,
               long long most = 1LL << 40)
{
    std::string text;
    if (!TakeValue(argc, argv, i, text, line))
        return false;
    long long parsed = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
    if (ec != std::errc() || end != text.data() + text.size() || parsed < 1 || parsed > most) {
        line.error = std::string(argv[i - 1]) + " wants a whole number from 1 to " + std::to_string(most) + ", not " + text;
        return false;
    }
    value = static_cast<Number>(parsed);
    return true;
}

// The HTTP limits; false when `arg` is none of them.
bool TakeLimit(const std::string& arg, int argc, const char* const* argv, int& i, CCentralCommandLine& line)
{
    constexpr long long kDay = 24 * 3600;
    constexpr long long kMaxInt = 1LL << 30;
    CCentralHttpOptions& http = line.http;
    if (arg == "--header-timeout")
        TakeCount(argc, argv, i, http.headerTimeoutSeconds, line, kDay);
    else if (arg == "--keep-alive")
        TakeCount(argc, argv, i, http.keepAliveSeconds, line, kDay);
    else if (arg == "--drain")
        TakeCount(argc, argv, i, http.drainSeconds, line, kDay);
    else if (arg == "--transfer-floor")
        TakeCount(argc, argv, i, http.transferFloorBytesPerSecond, line);
    else if (arg == "--transfer-window")
        TakeCount(argc, argv, i, http.transferWindowSeconds, line, kDay);
    else if (arg == "--max-body")
        TakeCount(argc, argv, i, http.maxBodyBytes, line);
    else if (arg == "--max-connections")
        TakeCount(argc, argv, i, http.maxConnections, line, kMaxInt);
    else if (arg == "--max-connections-per-address")
        TakeCount(argc, argv, i, http.maxConnectionsPerAddress, line, kMaxInt);
    else if (arg == "--workers")
        TakeCount(argc, argv, i, http.workers, line, 1024);
    else
        return false;
    return true;
}

std::string LimitsUsage()
{
    const CCentralHttpOptions d;
    auto n = [](auto value) { return std::to_string(value); };
    return "limits (defaults in brackets):\n"
           "  --header-timeout SECONDS [" + n(d.headerTimeoutSeconds) + "]  --keep-alive SECONDS [" +
           n(d.keepAliveSeconds) + "]  --drain SECONDS [" + n(d.drainSeconds) + "]\n"
           "  --transfer-floor BYTES_PER_SECOND [" + n(d.transferFloorBytesPerSecond) + "] over --transfer-window SECONDS [" +
           n(d.transferWindowSeconds) + "]\n"
           "  --max-body BYTES [" + n(d.maxBodyBytes) + "]  --max-connections N [" + n(d.maxConnections) +
           "]  --max-connections-per-address N [" + n(d.maxConnectionsPerAddress) + "]\n"
           "  --workers N [one per core]\n";
}

bool IsLevel(const std::string& level)
{
    for (const char* known : {kLevelAdministrator, kLevelAuthorized, kLevelRestricted, kLevelDisabled})
        if (level == known)
            return true;
    return false;
}

int SetLevel(const CCentralCommandLine& line, std::ostream& out, std::ostream& err)
{
    CCentralStore store(line.db);
    CCentralStore::Transaction transaction(store);
    const auto account = store.FindAccountByEmail(CZelString(line.email));
    if (!account) {
        err << "velmo-central: " << kErrNoSuchUser << ": " << line.email << "\n";
        return kCentralExitFailure;
    }
    const char* operated = line.level == kLevelDisabled ? kOperatedDisabled : kOperatedNormal;
    store.SetStanding(account->id, CZelString(line.level), operated);
    transaction.Commit();
    out << line.email << " (" << account->id << "): " << line.level << "\n";
    return kCentralExitOk;
}

int Migrate(const CCentralCommandLine& line, std::ostream& out, std::ostream& err)
{
    try {
        for (const CCentralMigratedTable& table : MigrateCentralStore(line.from, line.to))
            out << table.name << ": " << table.rows << " rows, " << table.bytes << " bytes\n";
    } catch (const XCentralMigrationRefused& refusal) {
        err << "velmo-central: migrate refused: " << refusal.what() << "\n";
        return kCentralExitFailure;
    }
    out << "migrated " << line.from << " to the PostgreSQL database" << std::endl;
    return kCentralExitOk;
}

// The migrate command's own words; the error is set when they do not fit.
void CheckMigrateLine(CCentralCommandLine& line)
{
    if (line.from.empty() || line.to.empty())
        line.error = "migrate needs --from FILE and --to postgresql://...";
    else if (!CPostgresDb::IsLocation(line.to))
        line.error = "--to wants a PostgreSQL URI (postgresql://...), not " + line.to;
    else if (CPostgresDb::IsLocation(line.from))
        line.error = "--from wants an SQLite file, not " + line.from;
    else
        line.migrate = true;
}

int Serve(const CCentralCommandLine& line, std::ostream& out, std::ostream& err,
          const std::function<void()>& waitForStop)
{
    std::string host;
    int port = 0;
    SplitListenAddress(line.listen, host, port);
    // Before the database: a server that cannot start leaves nothing behind.
    std::optional<CTlsContext> tls;
    if (!line.tlsCertificate.empty()) {
        try {
            tls = CTlsContext::Server(line.tlsCertificate, line.tlsKey);
        } catch (const XTOOBaseError& failure) {
            err << "velmo-central: cannot serve HTTPS: " << failure.what() << "\n";
            return kCentralExitFailure;
        }
    }
    CCentralStore store(line.db);
    std::mutex logLock;
    CCentralServer server(store, [&](const CZelString& text) {
        std::lock_guard lock(logLock);
        err << "velmo-central: " << text.View() << std::endl;
    });
    RegisterMessageRequests(server);
    CCentralHttpServer http(server, line.http);
    if (tls)
        http.UseTls(*tls);
    std::string error;
    const int bound = http.Start(host, port, &error);
    if (bound < 0) {
        err << "velmo-central: " << error << "\n";
        return kCentralExitFailure;
    }
    out << kCentralListeningLine << host << ":" << bound << (tls ? " (HTTPS)" : "") << std::endl;
    waitForStop();
    http.Stop();
    out << "velmo-central stopped" << std::endl;
    return kCentralExitOk;
}

} // namespace

bool SplitListenAddress(const std::string& text, std::string& host, int& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        return false;
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    int value = -1;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || value < 0 || value > 65535)
        return false;
    host = text.substr(0, colon);
    port = value;
    return true;
}

CCentralCommandLine ParseCentralCommandLine(int argc, const char* const* argv)
{
    CCentralCommandLine line;
    std::vector<std::string> words;
    for (int i = 1; i < argc && line.error.empty(); ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            line.help = true;
        else if (arg == "--listen")
            TakeValue(argc, argv, i, line.listen, line);
        else if (arg == "--db")
            TakeValue(argc, argv, i, line.db, line);
        else if (arg == "--tls-cert")
            TakeValue(argc, argv, i, line.tlsCertificate, line);
        else if (arg == "--tls-key")
            TakeValue(argc, argv, i, line.tlsKey, line);
        else if (arg == "--from")
            TakeValue(argc, argv, i, line.from, line);
        else if (arg == "--to")
            TakeValue(argc, argv, i, line.to, line);
        else if (TakeLimit(arg, argc, argv, i, line))
            continue;
        else if (arg.rfind("--", 0) == 0)
            line.error = "unknown option " + arg;
        else
            words.push_back(arg);
    }
    if (!line.error.empty() || line.help)
        return line;
    std::string host;
    int port = 0;
    if (!SplitListenAddress(line.listen, host, port))
        line.error = "--listen wants ADDR:PORT, not " + line.listen;
    else if (line.tlsCertificate.empty() != line.tlsKey.empty())
        line.error = "--tls-cert and --tls-key go together";
    else if (words.size() == 1 && words[0] == "migrate")
        CheckMigrateLine(line);
    else if (!line.from.empty() || !line.to.empty())
        line.error = "--from and --to belong to migrate";
    else if (!words.empty()) {
        if (words.size() != 4 || words[0] != "admin" || words[1] != "set-level")
            line.error = "unknown command";
        else if (!IsLevel(words[3]))
            line.error = "unknown level " + words[3];
        else {
            line.setLevel = true;
            line.email = words[2];
            line.level = words[3];
        }
    }
    return line;
}

std::string CentralUsage()
{
    return "usage: velmo-central [--listen ADDR:PORT] [--db FILE|postgresql://...] [--tls-cert FILE --tls-key FILE]"
           " [limits]\n"
           "       velmo-central admin set-level EMAIL LEVEL --db FILE|postgresql://...\n"
           "       velmo-central migrate --from FILE --to postgresql://...\n"
           "LEVEL is Administrator, Authorized, Restricted or Disabled.\n"
           "migrate copies the deployment in the SQLite FILE into a new PostgreSQL database.\n"
           "With --tls-cert (PEM certificate, its chain after it) and --tls-key it serves HTTPS only.\n" +
           LimitsUsage();
}

int RunCentralCommand(const CCentralCommandLine& line, std::ostream& out, std::ostream& err,
                      const std::function<void()>& waitForStop)
{
    if (!line.error.empty()) {
        err << "velmo-central: " << line.error << "\n" << CentralUsage();
        return kCentralExitUsage;
    }
    if (line.help) {
        out << CentralUsage();
        return kCentralExitOk;
    }
    try {
        if (line.migrate)
            return Migrate(line, out, err);
        return line.setLevel ? SetLevel(line, out, err) : Serve(line, out, err, waitForStop);
    } catch (const std::exception& error) {
        err << "velmo-central: " << error.what() << "\n";
    }
    return kCentralExitFailure;
}
