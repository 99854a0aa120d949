#include "app/CCommandTable.h"

#include <ostream>

void CCommandTable::Add(std::string name, std::string usage, Handler handler)
{
    m_entries.push_back({std::move(name), std::move(usage), std::move(handler)});
}

bool CCommandTable::Has(const std::string& name) const
{
    for (const Entry& entry : m_entries)
        if (entry.name == name)
            return true;
    return false;
}

int CCommandTable::Dispatch(const CCommandLine& line, std::ostream& out, std::ostream& err) const
{
    const std::string name = line.Command();
    for (const Entry& entry : m_entries) {
        if (entry.name != name)
            continue;
        CCommandContext context{line, {}, out, err};
        bool afterName = false;
        for (const std::string& word : line.words) {
            if (afterName)
                context.args.push_back(word);
            else if (word == name)
                afterName = true;
        }
        return entry.handler(context);
    }
    err << "velmo: unknown command '" << name << "'\n" << Usage();
    return kExitUsage;
}

std::string CCommandTable::Usage() const
{
    std::string text = "usage: velmo [--home DIR] [--headless] [--listen-any] [/firststart] [/convert]\n";
    for (const Entry& entry : m_entries)
        text += "       velmo [--home DIR] " + entry.usage + "\n";
    return text;
}
