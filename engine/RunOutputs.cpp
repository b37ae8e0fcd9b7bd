#include "engine/RunOutputs.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "core/Sys.h"
#include "engine/GenRequest.h"

namespace {
// Pieces of a certbot file or a split file are small: a line, or one entry.
constexpr std::size_t kSmallPieceSize = 64 * 1024;
constexpr std::string_view kSplitSuffix = ".conf";
// Names taken from the staging directory at a time, so that memory stays small with a million.
constexpr std::size_t kNamesAtATime = 4096;

constexpr char kSeparator = sys::kPathSeparator;

file::tagFileId identifyOutput(const std::string& strPath) {
    return strPath == kStdOutPath ? file::identifyFd(sys::kStdOut) : file::identify(strPath);
}
} // namespace

CRunOutputs::CRunOutputs(std::string strOutFile, std::string strCertbotFile, std::string strSplitDir,
                         std::string strHashConfFile)
    : m_strOutFile(std::move(strOutFile)), m_strSplitDir(std::move(strSplitDir)) {
    m_sides[kCertbot].strPath = std::move(strCertbotFile);
    m_sides[kHashConf].strPath = std::move(strHashConfFile);
}

CRunOutputs::~CRunOutputs() {
    discard();
}

bool CRunOutputs::check(std::string& strPath, std::string& strOther) {
    const auto clash = [&](const std::string& strOne, const std::string& strTwo) {
        strPath = strOne;
        strOther = strTwo;
        return false;
    };
    for (tagSide& side : m_sides)
        if (!side.strPath.empty())
            side.id = identifyOutput(side.strPath);
    const tagSide& certbot = m_sides[kCertbot];
    const tagSide& hashConf = m_sides[kHashConf];
    if (!certbot.strPath.empty() && !hashConf.strPath.empty() && certbot.id.same(hashConf.id))
        return clash(certbot.strPath, hashConf.strPath);
    if (m_strSplitDir.empty()) {
        const file::tagFileId outId = identifyOutput(m_strOutFile);
        for (const tagSide& side : m_sides)
            if (!side.strPath.empty() && outId.same(side.id))
                return clash(m_strOutFile, side.strPath);
        return true;
    }
    m_strSplitCanonical = file::canonicalPath(m_strSplitDir);
    if (m_strSplitCanonical.empty() || m_strSplitCanonical.back() != kSeparator)
        m_strSplitCanonical += kSeparator;
    return true;
}

bool CRunOutputs::open(std::string& strPath, std::string& strReason) {
    const auto fail = [&](const std::string& strFile, int nErrno) {
        strPath = strFile;
        strReason = file::errorText(nErrno);
        discard();
        return false;
    };
    if (m_bDry) {
        if (m_strSplitDir.empty())
            m_output.emplace().openNull(m_strOutFile == kStdOutPath);
        return true;
    }
    if (m_strSplitDir.empty()) {
        m_output.emplace();
        if (!m_output->open(m_strOutFile, strReason)) {
            strPath = m_strOutFile;
            m_output.reset();
            return false;
        }
    } else {
        sys::tagFileInfo info;
        if (!sys::statPath(m_strSplitDir, info))
            return fail(m_strSplitDir, errno);
        if (!info.bDir)
            return fail(m_strSplitDir, ENOTDIR);
        m_strStaging = file::createDirBeside(m_strSplitDir + kSeparator + "kelvane");
        if (m_strStaging.empty())
            return fail(m_strSplitDir, errno);
    }
    for (tagSide& side : m_sides) {
        if (side.strPath.empty())
            continue;
        side.out.emplace();
        side.out->setPieceSize(kSmallPieceSize);
        if (!side.out->open(side.strPath, strReason)) {
            strPath = side.strPath;
            side.out.reset();
            discard();
            return false;
        }
    }
    return true;
}

bool CRunOutputs::failed() const {
    return (m_output && m_output->failed()) ||
           std::any_of(m_sides.begin(), m_sides.end(),
                       [](const tagSide& side) { return side.out && side.out->failed(); });
}

CRunOutputs::ESplitFile CRunOutputs::openSplitFile(std::string_view strName, COutFile& out,
                                                   std::string& strPath, std::string& strReason) {
    const std::string strFile = std::string(strName) + std::string(kSplitSuffix);
    strPath = m_strSplitDir + kSeparator + strFile;
    if (m_bDry) {
        out.openNull(false);
        return ESplitFile::Opened;
    }
    if (!m_strUnchangedDir.empty()) {
        // Held whole, to be compared with the file it would replace.
        if (!m_setSplitNames.insert(strFile).second)
            return ESplitFile::NamedBefore;
        out.openNull(false);
        out.setPieceSize(static_cast<std::size_t>(-1));
        m_strOpenSplit = strFile;
        return ESplitFile::Opened;
    }
    for (const tagSide& side : m_sides) {
        if (side.strPath.empty())
            continue;
        // A side file is the entry's file when it resolves to it, or is that very file under
        // another name; a link there is replaced itself, so it is no clash.
        sys::tagFileInfo info;
        const bool bSameFile = side.id.bExists && sys::lstatPath(strPath, info) && !info.bLink &&
                               info.nInode != 0 && info.nDevice == side.id.nDevice &&
                               info.nInode == side.id.nInode;
        if (bSameFile || file::samePath(m_strSplitCanonical + strFile, side.id.strPath)) {
            strReason = side.strPath;
            return ESplitFile::Clash;
        }
    }
    sys::tagFileInfo info;
    if (sys::lstatPath(strPath, info) && info.bDir) {
        strReason = file::errorText(EISDIR);
        return ESplitFile::Failed;
    }
    out.setPieceSize(kSmallPieceSize);
    out.setSynchronous();
    bool bExists = false;
    if (out.openStaged(m_strStaging + kSeparator + strFile, strPath, strReason, bExists))
        return ESplitFile::Opened;
    return bExists ? ESplitFile::NamedBefore : ESplitFile::Failed;
}

bool CRunOutputs::finishSplitFile(COutFile& out, std::string& strReason) {
    if (!m_strOpenSplit.empty()) {
        const std::string strFile = std::move(m_strOpenSplit);
        m_strOpenSplit.clear();
        const std::string_view bytes = out.buffer().view();
        const std::string strOld = m_strUnchangedDir + kSeparator + strFile;
        sys::tagFileInfo info;
        std::string strOldBytes, strIgnored;
        if (sys::lstatPath(strOld, info) && info.bRegular && !info.bLink &&
            info.nSize == static_cast<std::int64_t>(bytes.size()) &&
            file::readAll(strOld, strOldBytes, strIgnored) && strOldBytes == bytes) {
            m_vecUnchanged.push_back(strFile);
            return true;
        }
        const std::string strStaged = m_strStaging + kSeparator + strFile;
        const int fd = file::createExclusive(strStaged, m_strSplitDir + kSeparator + strFile);
        std::size_t nWritten = 0;
        int nErrno = 0;
        // On the disk before it may take a place: the file of a live server's configuration.
        const bool bOk = fd >= 0 && file::writeAll(fd, bytes, nWritten, nErrno) &&
                         (sys::syncFd(fd) == 0 || (nErrno = errno, false));
        if (fd < 0)
            nErrno = errno;
        if (fd >= 0 && sys::closeFd(fd) != 0 && bOk)
            nErrno = errno;
        if (!bOk || nErrno != 0) {
            strReason = file::errorText(nErrno != 0 ? nErrno : EIO);
            return false;
        }
        ++m_nSplitFiles;
        return true;
    }
    if (!out.finish(strReason)) {
        out.discard();
        return false;
    }
    out.release();
    ++m_nSplitFiles;
    return true;
}

bool CRunOutputs::commit(std::string& strPath, std::string& strReason) {
    // The entries' output is finished first, so that a stream keeps what it was given when a side
    // file fails, and takes its place last, as the one a reader waits for.
    using tagOut = std::pair<std::optional<COutFile>*, const std::string*>;
    const tagOut output{&m_output, &m_strOutFile};
    const tagOut certbot{&m_sides[kCertbot].out, &m_sides[kCertbot].strPath};
    const tagOut hashConf{&m_sides[kHashConf].out, &m_sides[kHashConf].strPath};
    for (auto [pOut, pPath] : {output, certbot, hashConf}) {
        if (*pOut && !(*pOut)->finish(strReason)) {
            strPath = *pPath;
            discard();
            return false;
        }
    }
    if (!m_strStaging.empty() && !commitSplitFiles(strPath, strReason)) {
        discard();
        return false;
    }
    for (auto [pOut, pPath] : {certbot, hashConf, output}) {
        if (*pOut && !(*pOut)->commit(strReason)) {
            strPath = *pPath;
            discard();
            return false;
        }
    }
    return true;
}

void CRunOutputs::abandon() {
    for (auto* pOut : {&m_output, &m_sides[kCertbot].out, &m_sides[kHashConf].out}) {
        std::string strReason;
        if (*pOut && (*pOut)->isStream())
            (void)(*pOut)->finish(strReason);
        else if (*pOut)
            (*pOut)->discard();
    }
    removeStaging();
}

bool CRunOutputs::commitSplitFiles(std::string& strPath, std::string& strReason) {
    std::vector<std::string> vecNames;
    for (;;) {
        if (!file::listNames(m_strStaging, kNamesAtATime, vecNames)) {
            strPath = m_strSplitDir;
            strReason = file::errorText(errno);
            return false;
        }
        if (vecNames.empty())
            break;
        for (const std::string& strName : vecNames) {
            const std::string strTarget = m_strSplitDir + kSeparator + strName;
            if (sys::renameOver(m_strStaging + kSeparator + strName, strTarget) != 0) {
                strPath = strTarget;
                strReason = file::errorText(errno);
                return false;
            }
        }
    }
    sys::removeDir(m_strStaging);
    m_strStaging.clear();
    return true;
}

void CRunOutputs::removeStaging() {
    if (m_strStaging.empty())
        return;
    std::vector<std::string> vecNames;
    while (file::listNames(m_strStaging, kNamesAtATime, vecNames) && !vecNames.empty())
        for (const std::string& strName : vecNames)
            if (sys::removeFile(m_strStaging + kSeparator + strName) != 0)
                return;
    sys::removeDir(m_strStaging);
    m_strStaging.clear();
}

void CRunOutputs::discard() {
    if (m_output)
        m_output->discard();
    m_output.reset();
    for (tagSide& side : m_sides) {
        if (side.out)
            side.out->discard();
        side.out.reset();
    }
    removeStaging();
}
