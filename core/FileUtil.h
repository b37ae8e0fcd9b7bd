#pragma once

#include <functional>
#include <string>
#include <string_view>

// File operations that say why they failed: the reason is the system's own text.
namespace file {

std::string errorText(int nErrno);

// True only for an existing regular file (or a link to one).
bool isFileExist(const std::string& strPath);

inline constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

// Reads the whole file as it is on disk; a file larger than nMaxSize is refused unread.
bool readAll(const std::string& strPath, std::string& strOut, std::string& strReason,
             std::size_t nMaxSize = kNoLimit);

// Reads the file in pieces as they come, each handed to fnPiece, which returns false to stop
// there. A file larger than nMaxSize (or one that never ends, such as a device) is refused once
// past it. False with the reason when it cannot be read.
bool readPieces(const std::string& strPath, const std::function<bool(std::string_view)>& fnPiece,
                std::string& strReason, std::size_t nMaxSize = kNoLimit);

// Reads the whole file as UTF-8 text (see enc::decodeText).
bool readText(const std::string& strPath, std::string& strOut, std::string& strReason,
              std::size_t nMaxSize = kNoLimit);

// Writes all of data to the descriptor, through short writes and interruptions; nWritten
// tells how much reached it when this fails.
bool writeAll(int fd, std::string_view data, std::size_t& nWritten, int& nErrno);

// The file a path finally names, through symbolic links, whether or not that file exists yet.
std::string resolveLinks(const std::string& strPath);

// The path as the system finds the file, absolute, through every symbolic link and "..": two paths
// of one file give the same text. A file that does not exist gets its directory resolved so;
// a path whose directory does not exist either is given back as it is. Windows has no links to
// follow here: only "." and ".." are resolved.
std::string canonicalPath(const std::string& strPath);

// Creates a new, empty, hidden file in the directory of strTarget, with the permission bits of
// strTarget when it exists (and its owner, where the system lets us), else those a new file
// gets. Returns the descriptor, or -1 with errno set.
int createTempBeside(const std::string& strTarget, std::string& strTempPath);

// Opens /dev/null on standard input, output and error where they are closed, so that no file
// opened later takes their number and receives what is meant for them.
void guardStdFds();

// Writes the file through a temporary file in the same directory that is renamed over it, so
// that the file is always either the old or the new one, never half written.
bool replaceAtomically(const std::string& strPath, std::string_view data, std::string& strReason);

} // namespace file
