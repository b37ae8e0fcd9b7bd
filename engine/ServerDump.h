#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "engine/ServerConfig.h"

class CApacheConfig;

// What `apache2ctl -S` prints, read in pieces as they come into a CApacheConfig: each vhost with
// its address, name, file and line, and the aliases Apache lists for it. Lines outside the vhost
// section (warnings, the server's other settings) and lines of a kind it does not know are passed
// over; a vhost's line broken by a line break in its file's name is joined again.
class CServerDump {
public:
    static constexpr std::string_view kSectionHead = "VirtualHost configuration:";
    // A longer line is passed over; a vhost's line is joined up to this length.
    static constexpr std::size_t kMaxLine = 64 * 1024;

    explicit CServerDump(CApacheConfig& config) : m_config(config) {}

    void feed(std::string_view piece);
    // The end of the text. False when it had no vhost section; strReason then says so.
    bool finish(std::string& strReason);

private:
    // Before the section only its head counts: it is looked for as text, not line by line, so
    // that a command that prints anything else goes by fast. Returns what follows the head.
    std::string_view skipToSection(std::string_view piece);
    void line(std::string_view line);
    // A line of the section; false when it is a vhost's line whose place is not complete.
    bool sectionLine(std::string_view line);

    CApacheConfig& m_config;
    std::string m_strLine; // the start of a line the last piece ended in
    bool m_bLineTooLong = false;
    std::string m_strJoined; // a vhost's line broken by line breaks in its file's name, so far
    bool m_bInSection = false;
    bool m_bEnded = false;
    bool m_bInGroup = false;      // the lines that follow belong to a shared address
    bool m_bTakesAliases = false; // the alias lines that follow are the last vhost's
    tagAddress m_groupAddr;
};
