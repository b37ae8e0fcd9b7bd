#pragma once

#include <string>
#include <string_view>

// File operations that say why they failed: the reason is the system's own text.
namespace file {

std::string errorText(int nErrno);

// True only for an existing regular file (or a link to one).
bool isFileExist(const std::string& strPath);

// Both paths name the same existing file (through links too).
bool isSameFile(const std::string& strPath1, const std::string& strPath2);

// Reads the whole file as it is on disk.
bool readAll(const std::string& strPath, std::string& strOut, std::string& strReason);

// Reads the whole file as UTF-8 text (see enc::decodeText).
bool readText(const std::string& strPath, std::string& strOut, std::string& strReason);

// Creates the file, or empties it when it exists.
bool createEmpty(const std::string& strPath, std::string& strReason);

// Appends the bytes in one write of the whole text, creating the file when missing.
bool append(const std::string& strPath, std::string_view data, std::string& strReason);

// Writes all of data to the descriptor, through short writes and interruptions; nWritten
// tells how much reached it when this fails.
bool writeAll(int fd, std::string_view data, std::size_t& nWritten, int& nErrno);

// Writes the file through a temporary file in the same directory that is renamed over it, so
// that the file is always either the old or the new one, never half written.
bool replaceAtomically(const std::string& strPath, std::string_view data, std::string& strReason);

} // namespace file
