#include "engine/DiskNameSet.h"

#include <algorithm>
#include <cerrno>
#include <random>
#include <vector>

#include "core/FileUtil.h"
#include "core/Sys.h"
#include "engine/NameSet.h"

namespace {
constexpr std::uint64_t kFirstSlots = 1 << 16;
constexpr std::size_t kPendingMax = 64 * 1024;
// Slots read at a time: a probe seldom goes further.
constexpr std::size_t kWindow = 8;

std::uint64_t hashOf(std::string_view strName, std::uint64_t nKey) {
    std::uint64_t h = nKey ^ 0xCBF29CE484222325ULL;
    for (const char c : strName) {
        h ^= static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        h *= 0x100000001B3ULL;
    }
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 32;
    return h | 1; // never 0, which marks an empty slot
}

bool readAll(int fd, void* pData, std::size_t n, std::int64_t nOffset) {
    auto* p = static_cast<char*>(pData);
    while (n > 0) {
        const std::int64_t nRead = sys::readAt(fd, p, n, nOffset);
        if (nRead < 0 && errno == EINTR)
            continue;
        if (nRead <= 0) {
            if (nRead == 0)
                errno = EIO;
            return false;
        }
        p += nRead;
        n -= static_cast<std::size_t>(nRead);
        nOffset += nRead;
    }
    return true;
}

bool writeAll(int fd, const void* pData, std::size_t n, std::int64_t nOffset) {
    const auto* p = static_cast<const char*>(pData);
    while (n > 0) {
        const std::int64_t nWritten = sys::writeAt(fd, p, n, nOffset);
        if (nWritten < 0 && errno == EINTR)
            continue;
        if (nWritten <= 0) {
            if (nWritten == 0)
                errno = ENOSPC;
            return false;
        }
        p += nWritten;
        n -= static_cast<std::size_t>(nWritten);
        nOffset += nWritten;
    }
    return true;
}
} // namespace

CDiskNameSet::CDiskNameSet(std::uint64_t nExpected) : m_nFirstSlots(kFirstSlots) {
    // At most half full: probes stay short.
    while (m_nFirstSlots < nExpected * 2)
        m_nFirstSlots *= 2;
    std::random_device random;
    m_nKey = (static_cast<std::uint64_t>(random()) << 32) ^ random();
}

CDiskNameSet::~CDiskNameSet() {
    for (const int fd : {m_fdSlots, m_fdNames})
        if (fd >= 0)
            sys::closeFd(fd);
}

bool CDiskNameSet::fail(int nErrno) {
    if (m_nErrno == 0)
        m_nErrno = nErrno != 0 ? nErrno : EIO;
    return false;
}

bool CDiskNameSet::open() {
    m_fdSlots = file::createTempFile();
    if (m_fdSlots < 0)
        return fail(errno);
    m_fdNames = file::createTempFile();
    if (m_fdNames < 0)
        return fail(errno);
    m_nSlots = m_nFirstSlots;
    // A file of zeros: every slot empty, without writing them.
    if (sys::truncateFd(m_fdSlots, static_cast<std::int64_t>(m_nSlots * sizeof(tagSlot))) != 0)
        return fail(errno);
    return true;
}

bool CDiskNameSet::readSlot(int fd, std::uint64_t i, tagSlot& slot) {
    return readAll(fd, &slot, sizeof slot, static_cast<std::int64_t>(i * sizeof slot)) || fail(errno);
}

bool CDiskNameSet::writeSlot(int fd, std::uint64_t i, const tagSlot& slot) {
    return writeAll(fd, &slot, sizeof slot, static_cast<std::int64_t>(i * sizeof slot)) || fail(errno);
}

bool CDiskNameSet::readSlots(std::uint64_t i, tagSlot* pSlots, std::size_t& n) {
    n = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, m_nSlots - i));
    return readAll(m_fdSlots, pSlots, n * sizeof(tagSlot), static_cast<std::int64_t>(i * sizeof(tagSlot))) ||
           fail(errno);
}

bool CDiskNameSet::readName(std::uint64_t nRecord, std::string& strName) {
    // A record: its length in one byte, then the name.
    if (nRecord >= m_nNamesSize) {
        const std::size_t nAt = static_cast<std::size_t>(nRecord - m_nNamesSize);
        const auto n = static_cast<unsigned char>(m_strPending[nAt]);
        strName.assign(m_strPending, nAt + 1, n);
        return true;
    }
    unsigned char n = 0;
    if (!readAll(m_fdNames, &n, 1, static_cast<std::int64_t>(nRecord)))
        return fail(errno);
    strName.resize(n);
    return readAll(m_fdNames, strName.data(), n, static_cast<std::int64_t>(nRecord + 1)) || fail(errno);
}

bool CDiskNameSet::insert(std::string_view strName) {
    if (failed() || (m_fdSlots < 0 && !open()) || strName.size() > 255)
        return false;
    const std::uint64_t nHash = hashOf(strName, m_nKey);
    std::string strOther;
    // The probe reads a few slots at a time: the empty one that ends it is seldom further.
    std::uint64_t i = nHash & (m_nSlots - 1);
    tagSlot window[kWindow];
    for (bool bEnd = false; !bEnd;) {
        std::size_t n = 0;
        if (!readSlots(i, window, n))
            return false;
        for (std::size_t k = 0; k < n; ++k, i = (i + 1) & (m_nSlots - 1)) {
            if (window[k].nHash == 0) {
                bEnd = true;
                break;
            }
            if (window[k].nHash == nHash && readName(window[k].nRecord, strOther) &&
                CNameSet::sameNoCase(strOther, strName))
                return false;
            if (failed())
                return false;
        }
    }
    const std::uint64_t nRecord = m_nNamesSize + m_strPending.size();
    m_strPending += static_cast<char>(strName.size());
    m_strPending += strName;
    if (!writeSlot(m_fdSlots, i, {nHash, nRecord}))
        return false;
    if (m_strPending.size() >= kPendingMax) {
        if (!writeAll(m_fdNames, m_strPending.data(), m_strPending.size(),
                      static_cast<std::int64_t>(m_nNamesSize)))
            return fail(errno);
        m_nNamesSize += m_strPending.size();
        m_strPending.clear();
    }
    if (++m_nUsed * 2 > m_nSlots && !grow())
        return false;
    return true;
}

// Doubles the table into a new file, reading the old one in large pieces.
bool CDiskNameSet::grow() {
    const int fdNew = file::createTempFile();
    if (fdNew < 0)
        return fail(errno);
    const std::uint64_t nSlots = m_nSlots * 2;
    if (sys::truncateFd(fdNew, static_cast<std::int64_t>(nSlots * sizeof(tagSlot))) != 0) {
        sys::closeFd(fdNew);
        return fail(errno);
    }
    std::vector<tagSlot> vecPiece(4096);
    for (std::uint64_t nFirst = 0; nFirst < m_nSlots; nFirst += vecPiece.size()) {
        if (!readAll(m_fdSlots, vecPiece.data(), vecPiece.size() * sizeof(tagSlot),
                     static_cast<std::int64_t>(nFirst * sizeof(tagSlot)))) {
            sys::closeFd(fdNew);
            return fail(errno);
        }
        for (const tagSlot& slot : vecPiece) {
            if (slot.nHash == 0)
                continue;
            tagSlot other;
            std::uint64_t i = slot.nHash & (nSlots - 1);
            for (;; i = (i + 1) & (nSlots - 1)) {
                if (!readSlot(fdNew, i, other)) {
                    sys::closeFd(fdNew);
                    return false;
                }
                if (other.nHash == 0)
                    break;
            }
            if (!writeSlot(fdNew, i, slot)) {
                sys::closeFd(fdNew);
                return false;
            }
        }
    }
    sys::closeFd(m_fdSlots);
    m_fdSlots = fdNew;
    m_nSlots = nSlots;
    return true;
}
