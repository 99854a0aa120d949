#pragma once
// The `velmo-central` command line:
//   velmo-central [--listen ADDR:PORT] [--db FILE|postgresql://...] [--tls-cert FILE --tls-key FILE] [limits]
//       serves from the SQLite file, or from the PostgreSQL database a libpq URI names (several
//       instances may serve one such database at once), until the stop request; prints "velmo-central listening on ADDR:PORT" (the real
//       port when 0 was asked for; " (HTTPS)" follows when it serves TLS) once it accepts
//       connections. With the certificate (PEM, the chain after it) and its key it serves
//       HTTPS only, TLS 1.2 and 1.3; a pair that does not load stops it before it listens. On the stop request it takes no
//       new connections, lets the requests in hand finish (within --drain seconds) and exits 0.
//       The limits (see CCentralHttpOptions for their defaults):
//         --header-timeout SECONDS   --keep-alive SECONDS     --drain SECONDS
//         --transfer-floor BYTES_PER_SECOND --transfer-window SECONDS
//         --max-body BYTES           --max-connections N      --max-connections-per-address N
//         --workers N
//   velmo-central admin set-level EMAIL LEVEL --db FILE|postgresql://...
//       changes a user's level offline ("Administrator", "Authorized", "Restricted",
//       "Disabled"; "Disabled" also disables the user's logins)
//   velmo-central migrate --from FILE --to postgresql://...
//       copies a deployment from its SQLite file into a new PostgreSQL database (one that holds
//       no deployment yet), prints the rows copied per table and exits 0; the file is left as
//       it was, and a server may keep running on it meanwhile (the copy is of one moment).
//       Instances started with --db postgresql://... then serve the same users and mail.

#include "server/CCentralHttpLimits.h"

#include <functional>
#include <iosfwd>
#include <string>

inline constexpr char kCentralDefaultListen[] = "127.0.0.1:8080";
inline constexpr char kCentralDefaultDb[] = "velmo-central.sqlite3";
inline constexpr char kCentralListeningLine[] = "velmo-central listening on ";

struct CCentralCommandLine {
    bool help = false;
    bool setLevel = false;
    bool migrate = false;
    std::string from;        // migrate: the SQLite file
    std::string to;          // migrate: the PostgreSQL URI
    std::string listen = kCentralDefaultListen;
    std::string db = kCentralDefaultDb;
    std::string tlsCertificate;   // both or neither
    std::string tlsKey;
    std::string email;
    std::string level;
    CCentralHttpOptions http;
    std::string error;       // non-empty when the line is not understood
};

CCentralCommandLine ParseCentralCommandLine(int argc, const char* const* argv);
std::string CentralUsage();

// "host:port" with a port of 0 to 65535. False for anything else.
bool SplitListenAddress(const std::string& text, std::string& host, int& port);

// Exit codes.
inline constexpr int kCentralExitOk = 0;
inline constexpr int kCentralExitFailure = 1;
inline constexpr int kCentralExitUsage = 2;

// Runs the parsed command. `waitForStop` blocks until the server is to stop.
int RunCentralCommand(const CCentralCommandLine& line, std::ostream& out, std::ostream& err,
                      const std::function<void()>& waitForStop);
