#pragma once
// Reader of the Botan-style vector files of the cipher tests: "[section]" lines, "Name = value"
// lines, '#' comments, entries separated by blank lines. Hex values are decoded on request.

#include <cstdint>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace gost_test {

struct VectorEntry {
    std::map<std::string, std::string> fields;

    bool Has(const std::string& name) const { return fields.count(name) != 0; }
    const std::string& Text(const std::string& name) const
    {
        auto it = fields.find(name);
        if (it == fields.end())
            throw std::runtime_error("vector entry lacks " + name);
        return it->second;
    }
    std::vector<uint8_t> Bytes(const std::string& name) const
    {
        const std::string& hex = Text(name);
        if (hex.size() % 2)
            throw std::runtime_error("odd hex length in " + name);
        std::vector<uint8_t> out;
        for (size_t i = 0; i < hex.size(); i += 2)
            out.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        return out;
    }
};

struct VectorSection {
    std::string name;
    std::vector<VectorEntry> entries;
};

inline std::string Trim(const std::string& s)
{
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

inline std::vector<VectorSection> ReadVectorFile(const std::string& path)
{
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot open " + path);
    std::vector<VectorSection> sections;
    VectorEntry entry;
    auto finish = [&] {
        if (!entry.fields.empty()) {
            if (sections.empty())
                throw std::runtime_error("entry before the first section in " + path);
            sections.back().entries.push_back(entry);
        }
        entry = {};
    };
    std::string line;
    while (std::getline(in, line)) {
        line = Trim(line.substr(0, line.find('#')));
        if (line.empty()) {
            finish();
        } else if (line.front() == '[') {
            finish();
            sections.push_back({line.substr(1, line.size() - 2), {}});
        } else {
            const auto eq = line.find('=');
            if (eq == std::string::npos)
                throw std::runtime_error("malformed line in " + path + ": " + line);
            entry.fields[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
        }
    }
    finish();
    return sections;
}

inline std::string DataPath(const std::string& name)
{
    return std::string(VELMO_SOURCE_DIR) + "/crypto/tests/data/" + name;
}

} // namespace gost_test
