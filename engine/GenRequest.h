#pragma once

#include <string>
#include <string_view>

// Where the list of a run comes from, said by the front end, never guessed from the text.
enum class EListSource { Text, File, StdIn };

inline constexpr std::string_view kStdOutPath = "-";
inline constexpr std::string_view kStdInName = "-";

// Everything a run needs, handed to it as a value: the engine reads no program-wide setting.
struct tagGenRequest {
    EListSource eList = EListSource::Text;
    std::string strList;        // Text: the list itself; File: its path
    std::string strSitePath;    // the document root of every entry
    std::string strPrefix;      // an extra host label, as typed; empty means none
    bool bWww = false;          // also the "www." form of each name
    std::string strTemplateFile; // empty, or a missing file: the built-in block
    std::string strOutFile;     // "-" is standard output
    bool bStrict = false;       // a refused line fails the run and leaves the output untouched
};
