// The settings file: any value survives its escaping, and a whole store survives a save and a load.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "FuzzCheck.h"
#include "core/IniFile.h"

namespace {

// A directory of our own for the settings file, removed when the fuzzer exits.
const std::string& settingsPath() {
    static std::string strDir;
    static const std::string strPath = [] {
        strDir = (std::filesystem::temp_directory_path() / "kelvane-fuzz-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(strDir.data()) != nullptr);
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(strDir, ec);
        });
        return strDir + "/Kelvane.ini";
    }();
    return strPath;
}

bool isAsciiAlnum(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider fdp(data, size);
    CIniFile ini;
    std::map<std::string, std::string> mapModel;
    while (fdp.remaining_bytes() > 0) {
        std::string strKey = fdp.ConsumeRandomLengthString(24);
        std::erase_if(strKey, [](char ch) { return !isAsciiAlnum(ch); });
        const std::string strValue = fdp.ConsumeRandomLengthString(512);

        // One value, one line: no line break is left in what is written.
        const std::string strFormatted = CIniFile::formatValue(strValue);
        FUZZ_CHECK(strFormatted.find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(CIniFile::parseValue(strFormatted) == strValue);

        ini.set(strKey, strValue);
        mapModel.insert_or_assign(strKey, strValue);
    }

    std::string strReason;
    FUZZ_CHECK(ini.save(settingsPath(), strReason));
    CIniFile loaded;
    FUZZ_CHECK(loaded.load(settingsPath(), strReason));
    for (const auto& [strKey, strValue] : mapModel)
        FUZZ_CHECK(loaded.get(strKey) == strValue);
    return 0;
}
