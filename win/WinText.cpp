#include "win/WinText.h"

#include <windows.h>

std::wstring widen(std::string_view str) {
    if (str.empty())
        return {};
    const int nLength = static_cast<int>(str.size());
    const int nWide = MultiByteToWideChar(CP_UTF8, 0, str.data(), nLength, nullptr, 0);
    std::wstring strWide(static_cast<std::size_t>(nWide), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, str.data(), nLength, strWide.data(), nWide);
    return strWide;
}

std::string narrow(std::wstring_view str) {
    if (str.empty())
        return {};
    const int nLength = static_cast<int>(str.size());
    const int nBytes = WideCharToMultiByte(CP_UTF8, 0, str.data(), nLength, nullptr, 0, nullptr, nullptr);
    std::string strNarrow(static_cast<std::size_t>(nBytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, str.data(), nLength, strNarrow.data(), nBytes, nullptr, nullptr);
    return strNarrow;
}
