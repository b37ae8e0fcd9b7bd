#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

// A UTF-8 path for the standard library, which takes narrow strings in the system's code page.
inline std::filesystem::path utf8Path(std::string_view strPath) {
    return std::u8string_view(reinterpret_cast<const char8_t*>(strPath.data()), strPath.size());
}

// A directory of the test's own, removed afterwards unless the test failed, so that a failure
// can be looked at.
class CScopedTempDir {
public:
    CScopedTempDir() {
#ifdef _WIN32
        std::random_device random;
        for (;;) {
            m_path = std::filesystem::temp_directory_path() / ("kelvane-test-" + std::to_string(random()));
            if (std::filesystem::create_directory(m_path))
                break;
        }
#else
        std::string strTemplate = (std::filesystem::temp_directory_path() / "kelvane-test-XXXXXX").string();
        m_path = ::mkdtemp(strTemplate.data());
#endif
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

    // UTF-8, as every path the product takes.
    std::string path(std::string_view name) const {
        const std::u8string str = (m_path / utf8Path(name)).u8string();
        return std::string(str.begin(), str.end());
    }
    const std::filesystem::path& dir() const {
        return m_path;
    }

private:
    std::filesystem::path m_path;
};

inline void writeFile(const std::string& strPath, std::string_view data) {
    std::ofstream out(utf8Path(strPath), std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string readFile(const std::string& strPath) {
    std::ifstream in(utf8Path(strPath), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The built-in entry, written out in full so that tests do not share the code's pieces.
inline std::string builtinEntry(std::string_view sitePath, std::string_view aliases) {
    return "<VirtualHost *>\r\n    DocumentRoot " + std::string(sitePath) + "\r\n    ServerAlias " +
           std::string(aliases) + "\r\n</VirtualHost>\r\n";
}

#ifndef _WIN32
// The read end of a pipe that a thread of its own fills with the bytes, then closes.
class CPipeFeeder {
public:
    explicit CPipeFeeder(std::string strBytes) {
        if (::pipe(m_fds) != 0)
            return;
        m_writer = std::thread([this, strBytes = std::move(strBytes)] {
            std::size_t nDone = 0;
            while (nDone < strBytes.size()) {
                const ssize_t n = ::write(m_fds[1], strBytes.data() + nDone, strBytes.size() - nDone);
                if (n <= 0)
                    break;
                nDone += static_cast<std::size_t>(n);
            }
            ::close(m_fds[1]);
        });
    }
    ~CPipeFeeder() {
        ::close(m_fds[0]);
        if (m_writer.joinable())
            m_writer.join();
    }
    CPipeFeeder(const CPipeFeeder&) = delete;
    CPipeFeeder& operator=(const CPipeFeeder&) = delete;
    int fd() const { return m_fds[0]; }

private:
    int m_fds[2] = {-1, -1};
    std::thread m_writer;
};

// A connected socket whose peer has sent the bytes and then reset the connection: reading it
// gives the bytes, then fails with "Connection reset by peer", as a device may fail mid-way.
inline int resetSocketAfter(std::string_view bytes) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    auto* pAddr = reinterpret_cast<sockaddr*>(&addr);
    if (::bind(listener, pAddr, len) != 0 || ::listen(listener, 1) != 0 ||
        ::getsockname(listener, pAddr, &len) != 0)
        return -1;
    const int peer = ::socket(AF_INET, SOCK_STREAM, 0);
    if (::connect(peer, pAddr, len) != 0)
        return -1;
    const int fd = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    if (::write(peer, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        return -1;
    // Waits until the bytes have arrived, so that the reset comes after them.
    for (int i = 0; i < 1000; ++i) {
        char ch;
        if (::recv(fd, &ch, 1, MSG_PEEK | MSG_DONTWAIT) == 1)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const linger noLinger{1, 0};
    ::setsockopt(peer, SOL_SOCKET, SO_LINGER, &noLinger, sizeof noLinger);
    ::close(peer);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return fd;
}
#endif
