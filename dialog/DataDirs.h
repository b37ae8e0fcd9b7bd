#pragma once

#include <string>
#include <string_view>

// Where the dialog keeps its files: "Kelvane.ini" in the config directory, "节点模版.txt" and
// "_out.txt" in the data directory. Both end in the system's separator.
struct tagDataDirs {
    std::string strConfigDir;
    std::string strDataDir;
};

// A program that carries this file beside itself is portable (the build tree, a zip): it keeps
// its files there. An installed program has none, and never writes beside itself.
inline constexpr std::string_view kPortableMarker = "Kelvane.portable";

// The program's directory for a portable program that may write there; else the per-user
// folders, made when missing. On Windows every program is portable.
tagDataDirs chooseDataDirs(const std::string& strExeDir);

// The per-user folders: $XDG_CONFIG_HOME/Kelvane/ (or ~/.config/Kelvane/) and
// $XDG_DATA_HOME/Kelvane/ (or ~/.local/share/Kelvane/); on Windows both are %APPDATA%\Kelvane\.
tagDataDirs userDataDirs();

// The user's home directory, which "~/" at the start of a list file's path names: $HOME (or the
// user database's entry); on Windows %USERPROFILE%. Empty when none is known.
std::string homeDir();
