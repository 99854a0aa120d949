#pragma once
// A fresh temporary folder as the working directory of one test, removed afterwards.

#include "foundation/CZelFile.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace accountstest {

class TestHome : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_previous = std::filesystem::current_path();
        char pattern[] = "/tmp/velmo-accounts-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_home = pattern;
        std::filesystem::current_path(m_home);
    }
    void TearDown() override
    {
        std::filesystem::current_path(m_previous);
        std::error_code ignored;
        std::filesystem::remove_all(m_home, ignored);
    }

    static void WriteText(const std::string& name, const std::string& text)
    {
        std::ofstream(name, std::ios::binary) << text;
    }
    static std::string ReadText(const std::string& name)
    {
        std::ifstream in(name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static bool Exists(const std::string& name) { return std::filesystem::exists(name); }

    std::filesystem::path m_home;
    std::filesystem::path m_previous;
};

} // namespace accountstest
