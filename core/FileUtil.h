#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// What a path names, to tell two outputs that are one file: the file itself when it exists
// (through its links), else the place it would be created at.
struct tagFileId {
    bool bExists = false;
    bool bRegular = false;
    std::uint64_t nDevice = 0;
    std::uint64_t nInode = 0;
    std::string strPath; // canonicalPath of the file, through its links

    bool same(const tagFileId& other) const;
};
tagFileId identify(const std::string& strPath);
// Whether two canonical paths name one place: byte for byte, or without regard to case where
// names ignore it.
bool samePath(const std::string& a, const std::string& b);
tagFileId identifyFd(int fd);

// Creates a new, empty file at exactly strPath, for writing; fails with EEXIST when anything is
// there. When strModel is a regular file (not followed if a link), the new file gets its permission
// bits (and its owner, where the system lets us). Returns the descriptor, or -1 with errno set.
int createExclusive(const std::string& strPath, const std::string& strModel);

// A new directory of the user's own beside strBeside: ".NAME.XXXXXXXX" in strBeside's directory.
// Returns its path, or empty with errno set.
std::string createDirBeside(const std::string& strBeside);

// An anonymous temporary file for reading and writing, gone once closed; -1 with errno set.
int createTempFile();

// Up to nMax names of a directory (without "." and ".."); false with errno set when it cannot be
// read.
bool listNames(const std::string& strDir, std::size_t nMax, std::vector<std::string>& vecNames);

// Opens /dev/null on standard input, output and error where they are closed, so that no file
// opened later takes their number and receives what is meant for them.
void guardStdFds();

// Writes the file through a temporary file in the same directory that is renamed over it, so
// that the file is always either the old or the new one, never half written.
bool replaceAtomically(const std::string& strPath, std::string_view data, std::string& strReason);

} // namespace file
