#pragma once

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

// A directory of the test's own, removed afterwards unless the test failed, so that a failure
// can be looked at.
class CScopedTempDir {
public:
    CScopedTempDir() {
        std::string strTemplate = (std::filesystem::temp_directory_path() / "kelvane-test-XXXXXX").string();
        m_path = ::mkdtemp(strTemplate.data());
    }
    ~CScopedTempDir() {
        std::error_code ec;
        if (!::testing::Test::HasFailure())
            std::filesystem::remove_all(m_path, ec);
        else
            std::cerr << "kept " << m_path << '\n';
    }
    CScopedTempDir(const CScopedTempDir&) = delete;
    CScopedTempDir& operator=(const CScopedTempDir&) = delete;

    std::string path(std::string_view name) const { return (m_path / name).string(); }
    const std::filesystem::path& dir() const { return m_path; }

private:
    std::filesystem::path m_path;
};

inline void writeFile(const std::string& strPath, std::string_view data) {
    std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string readFile(const std::string& strPath) {
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The built-in entry, written out in full so that tests do not share the code's pieces.
inline std::string builtinEntry(std::string_view sitePath, std::string_view aliases) {
    return "<VirtualHost *>\r\n    DocumentRoot " + std::string(sitePath) + "\r\n    ServerAlias " +
           std::string(aliases) + "\r\n</VirtualHost>\r\n";
}
