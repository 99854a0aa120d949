#include "app/ConfigCommand.h"

#include "app/CCommandTable.h"
#include "core/CConfig.h"
#include "core/CVelmoApp.h"
#include "tls/CTlsCertificate.h"

#include <cstdint>
#include <ostream>
#include <string>

namespace {

constexpr int64_t kLargestPort = 65535;
constexpr int64_t kLargestNumber = 4294967295;  // the largest number value the file keeps

std::string KeyList()
{
    std::string list;
    for (const char* key : CConfig::Keys())
        list += (list.empty() ? "" : ", ") + std::string(key);
    return list;
}

bool EnterHome(CCommandContext& context)
{
    CZelString problem;
    if (CVelmoApp::EnterHome(CVelmoApp::ResolveHome(context.line.home), &problem))
        return true;
    context.err << "velmo: " << problem.View() << "\n";
    return false;
}

bool CheckKey(CCommandContext& context, const std::string& key)
{
    if (CConfig::IsKey(key))
        return true;
    context.err << "velmo: unknown configuration key '" << key << "' (keys: " << KeyList() << ")\n";
    return false;
}

void WarnIfBroken(CCommandContext& context, const CConfig::LoadResult& loaded)
{
    if (loaded.status != CConfig::LoadResult::Broken)
        return;
    context.err << "velmo: " << CConfig::kFileName << " does not parse (line " << loaded.line << ", column "
                << loaded.column << ": " << loaded.error.View() << "); the defaults stand\n";
}

// A number row keeps an unsigned decimal; ports must also be ports. Empty `normal` on error.
bool NormaliseNumber(CCommandContext& context, const std::string& key, const std::string& value,
                     std::string& normal)
{
    const bool port = key == CConfig::kSmtpServerPort || key == CConfig::kPop3ServerPort;
    const int64_t largest = port ? kLargestPort : kLargestNumber;
    int64_t number = 0;
    bool ok = !value.empty() && value.size() <= 10;
    for (char c : value)
        ok = ok && c >= '0' && c <= '9';
    if (ok) {
        number = std::stoll(value);
        ok = number <= largest && (!port || number >= 1);
    }
    if (!ok) {
        context.err << "velmo: " << key << " takes a whole number from " << (port ? 1 : 0) << " to " << largest
                    << ", not '" << value << "'\n";
        return false;
    }
    normal = std::to_string(number);
    return true;
}

// A fingerprint is kept in the form `velmo tls fingerprint` and openssl print it; empty
// clears the pin.
bool NormaliseFingerprint(CCommandContext& context, std::string& value)
{
    if (value.empty())
        return true;
    const std::string normal = CTlsCertificate::NormalFingerprint(value);
    if (normal.empty()) {
        context.err << "velmo: " << CConfig::kServerFingerprint
                    << " takes a SHA-256 fingerprint (32 hex pairs, ':' between them optional), not '" << value << "'\n";
        return false;
    }
    value = normal;
    return true;
}

int ConfigGet(CCommandContext& context)
{
    if (context.args.size() > 2) {
        context.err << "velmo: config get takes one key\n";
        return kExitUsage;
    }
    if (context.args.size() == 2 && !CheckKey(context, context.args[1]))
        return kExitUsage;
    if (!EnterHome(context))
        return kExitFailed;
    CConfig& config = CConfig::Global();
    WarnIfBroken(context, config.Load());
    if (context.args.size() == 2) {
        context.out << config.Get(context.args[1]).View() << "\n";
        return kExitOk;
    }
    for (const char* key : CConfig::Keys())
        context.out << key << "=" << config.Get(key).View() << "\n";
    return kExitOk;
}

int ConfigSet(CCommandContext& context)
{
    if (context.args.size() != 3) {
        context.err << "velmo: config set takes a key and a value\n";
        return kExitUsage;
    }
    const std::string& key = context.args[1];
    std::string value = context.args[2];
    if (!CheckKey(context, key))
        return kExitUsage;
    if (CConfig::IsNumberKey(key) && !NormaliseNumber(context, key, context.args[2], value))
        return kExitUsage;
    if (key == CConfig::kServerFingerprint && !NormaliseFingerprint(context, value))
        return kExitUsage;
    if (!EnterHome(context))
        return kExitFailed;
    CConfig& config = CConfig::Global();
    WarnIfBroken(context, config.Load());
    config.Set(key, CZelString(value));
    CZelString keptAs;
    if (!config.Save(CConfig::kFileName, &keptAs)) {
        context.err << "velmo: cannot write " << CConfig::kFileName << "\n";
        return kExitFailed;
    }
    if (!keptAs.IsEmpty())
        context.err << "velmo: the unreadable old file is kept as " << keptAs.View() << "\n";
    return kExitOk;
}

int ConfigCommand(CCommandContext& context)
{
    const std::string action = context.args.empty() ? std::string() : context.args[0];
    if (action == "get")
        return ConfigGet(context);
    if (action == "set")
        return ConfigSet(context);
    context.err << "velmo: config needs 'get [KEY]' or 'set KEY VALUE'\n";
    return kExitUsage;
}

} // namespace

void AddConfigCommand(CCommandTable& table)
{
    table.Add("config", "config get [KEY] | config set KEY VALUE", ConfigCommand);
}
