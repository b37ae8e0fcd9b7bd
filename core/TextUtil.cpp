#include "core/TextUtil.h"

#include <algorithm>
#include <cstring>

namespace text {

std::string_view trimmed(std::string_view str, std::string_view chars) {
    const auto first = str.find_first_not_of(chars);
    if (first == std::string_view::npos)
        return str.substr(0, 0);
    const auto last = str.find_last_not_of(chars);
    return str.substr(first, last - first + 1);
}

void trimStr(std::string& str) {
    const auto first = str.find_first_not_of(kBlanks);
    if (first == std::string::npos) {
        str.clear();
        return;
    }
    str.erase(str.find_last_not_of(kBlanks) + 1);
    str.erase(0, first);
}

std::string replaceAll(std::string_view str, std::string_view what, std::string_view with) {
    if (what.empty())
        return std::string(str);
    std::string out;
    out.reserve(str.size());
    std::size_t pos = 0;
    for (auto hit = str.find(what); hit != std::string_view::npos; hit = str.find(what, pos)) {
        out.append(str, pos, hit - pos).append(with);
        pos = hit + what.size();
    }
    out.append(str.substr(pos));
    return out;
}

bool sameNoCase(std::string_view a, std::string_view b) {
    const auto lower = [](char ch) {
        return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
    };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

bool isAscii(std::string_view str) {
    // Eight bytes at a time: a list is almost all ASCII and this runs for every line.
    std::size_t i = 0;
    for (; i + 8 <= str.size(); i += 8) {
        std::uint64_t word;
        std::memcpy(&word, str.data() + i, 8);
        if (word & 0x8080808080808080ULL)
            return false;
    }
    for (; i < str.size(); ++i)
        if (static_cast<unsigned char>(str[i]) & 0x80)
            return false;
    return true;
}

std::string shellWord(std::string_view str) {
    const bool bPlain = !str.empty() && std::all_of(str.begin(), str.end(), [](char ch) {
        return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
               ch == '.' || ch == '-' || ch == '_' || ch == '/';
    });
    if (bPlain)
        return std::string(str);
    return "'" + replaceAll(str, "'", "'\\''") + "'";
}

} // namespace text
