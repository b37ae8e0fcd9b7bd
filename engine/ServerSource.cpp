#include "engine/ServerSource.h"

#include "core/FileUtil.h"
#include "core/Process.h"

namespace {

std::string sizeText(std::size_t nBytes) {
    return nBytes % (std::size_t{1} << 20) == 0 ? std::to_string(nBytes >> 20) + " MiB"
                                                : std::to_string(nBytes) + " bytes";
}

std::string timeText(std::chrono::milliseconds time) {
    return time.count() % 1000 == 0 ? std::to_string(time.count() / 1000) + " s"
                                    : std::to_string(time.count()) + " ms";
}

} // namespace

bool readServerSource(const tagServerSource& source, std::size_t nMaxDumpFile, std::string_view strWhat,
                      const std::function<void(std::string_view)>& fnPiece, std::string& strSource,
                      std::string& strError) {
    std::string strReason;
    if (!source.strDumpFile.empty()) {
        strSource = "'" + source.strDumpFile + "'";
        const auto fnFilePiece = [&fnPiece](std::string_view piece) {
            fnPiece(piece);
            return true;
        };
        if (!file::readPieces(source.strDumpFile, fnFilePiece, strReason, nMaxDumpFile)) {
            strError = "cannot read " + strSource + ": " + strReason;
            return false;
        }
        return true;
    }
    strSource = "the output of " + source.strCommand;
    sys::tagCommandResult result;
    sys::runCommand(source.strCommand, {source.nMaxOutput, source.timeout}, fnPiece, result);
    std::string strErr = result.strErr;
    while (!strErr.empty() && (strErr.back() == '\n' || strErr.back() == '\r'))
        strErr.pop_back();
    const std::string strHead = "the server command '" + source.strCommand + "' ";
    const std::string strTail = strErr.empty() ? std::string() : ":\n" + strErr;
    switch (result.eEnd) {
    case sys::ECommandEnd::Exited:
        if (result.nCode == 0)
            return true;
        strError = strHead + "failed: exit status " + std::to_string(result.nCode) + strTail;
        return false;
    case sys::ECommandEnd::Signalled:
        strError = strHead + "failed: ended by signal " + std::to_string(result.nCode) + strTail;
        return false;
    case sys::ECommandEnd::TooLarge:
        strError = strHead + "printed more than " + sizeText(source.nMaxOutput) + ", far more than " +
                   std::string(strWhat) + ": it was stopped";
        return false;
    case sys::ECommandEnd::TooLong:
        strError = strHead + "did not end within " + timeText(source.timeout) + ": it was stopped";
        return false;
    case sys::ECommandEnd::NotRun:
        strError = strHead + "failed: " + result.strReason;
        return false;
    }
    return false;
}
