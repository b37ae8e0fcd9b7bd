#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Where what a server loaded comes from: a saved dump of it, or the command that prints it, with
// the limits on that command.
struct tagServerSource {
    static constexpr std::size_t kMaxCommandOutput = std::size_t{256} << 20;
    static constexpr std::chrono::seconds kCommandTimeout{120};

    std::string strDumpFile; // a saved dump; empty: what strCommand prints
    std::string strCommand;
    std::size_t nMaxOutput = kMaxCommandOutput;
    std::chrono::milliseconds timeout = kCommandTimeout;
};

// Hands the dump or the command's standard output to fnPiece as it comes. strSource names it for
// a message ("'FILE'", "the output of CMD"). False with the whole message when the file cannot be
// read or is larger than nMaxDumpFile, or the command fails or passes its limits; strWhat says
// what the command should have printed ("a listing of vhosts").
bool readServerSource(const tagServerSource& source, std::size_t nMaxDumpFile, std::string_view strWhat,
                      const std::function<void(std::string_view)>& fnPiece, std::string& strSource,
                      std::string& strError);
