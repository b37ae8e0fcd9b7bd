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
// The filter: 4 Mi bits, 3 a name; of 500,000 names, about 3 % of new ones look known and are
// looked up on disk.
constexpr std::size_t kFilterWords = (std::size_t{4} << 20) / 64;
constexpr int kFilterBits = 3;
// Slots of new names held until they are placed together, and the part of the table read at a
// time to place them: the table's size in slots is a multiple of it.
constexpr std::size_t kUnplacedMax = 16 * 1024;
constexpr std::uint64_t kChunkSlots = 8 * 1024;

// The filter's bits of a hash.
template <typename Fn> void forFilterBits(std::uint64_t nHash, Fn fn) {
    const std::uint64_t nStep = (nHash * 0x9E3779B97F4A7C15ULL) | 1;
    for (int k = 0; k < kFilterBits; ++k) {
        const std::uint64_t nBit =
            ((nHash >> 7) + static_cast<std::uint64_t>(k) * nStep) % (kFilterWords * 64);
        fn(static_cast<std::size_t>(nBit / 64), std::uint64_t{1} << (nBit % 64));
    }
}

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
    m_vecFilter.assign(kFilterWords, 0);
    m_vecUnplacedIndex.assign(kUnplacedMax * 2, 0);
    // A file of zeros: every slot empty, without writing them.
    if (sys::truncateFd(m_fdSlots, static_cast<std::int64_t>(m_nSlots * sizeof(tagSlot))) != 0)
        return fail(errno);
    return true;
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

bool CDiskNameSet::contains(std::string_view strName, std::uint64_t nHash, bool& bFound) {
    bFound = false;
    std::string strOther;
    for (std::size_t i = unplacedHome(nHash); m_vecUnplacedIndex[i] != 0;
         i = (i + 1) % m_vecUnplacedIndex.size()) {
        const tagSlot& slot = m_vecUnplaced[m_vecUnplacedIndex[i] - 1];
        if (slot.nHash != nHash)
            continue;
        if (!readName(slot.nRecord, strOther))
            return false;
        if (CNameSet::sameNoCase(strOther, strName)) {
            bFound = true;
            return true;
        }
    }
    // The probe reads a few slots at a time: the empty one that ends it is seldom further.
    std::uint64_t i = nHash & (m_nSlots - 1);
    tagSlot window[kWindow];
    for (;;) {
        std::size_t n = 0;
        if (!readSlots(i, window, n))
            return false;
        for (std::size_t k = 0; k < n; ++k, i = (i + 1) & (m_nSlots - 1)) {
            if (window[k].nHash == 0)
                return true;
            if (window[k].nHash != nHash)
                continue;
            if (!readName(window[k].nRecord, strOther))
                return false;
            if (CNameSet::sameNoCase(strOther, strName)) {
                bFound = true;
                return true;
            }
        }
    }
}

bool CDiskNameSet::insert(std::string_view strName) {
    if (failed() || (m_fdSlots < 0 && !open()) || strName.size() > 255)
        return false;
    const std::uint64_t nHash = hashOf(strName, m_nKey);
    // A name whose bits are not all set was never added: most new names go no further.
    bool bMaybe = true;
    forFilterBits(nHash, [&](std::size_t nWord, std::uint64_t nMask) {
        bMaybe = bMaybe && (m_vecFilter[nWord] & nMask) != 0;
    });
    if (bMaybe) {
        bool bFound = false;
        if (!contains(strName, nHash, bFound) || bFound)
            return false;
    }
    forFilterBits(nHash, [&](std::size_t nWord, std::uint64_t nMask) { m_vecFilter[nWord] |= nMask; });
    const std::uint64_t nRecord = m_nNamesSize + m_strPending.size();
    m_strPending += static_cast<char>(strName.size());
    m_strPending += strName;
    m_vecUnplaced.push_back({nHash, nRecord});
    std::size_t i = unplacedHome(nHash);
    while (m_vecUnplacedIndex[i] != 0)
        i = (i + 1) % m_vecUnplacedIndex.size();
    m_vecUnplacedIndex[i] = static_cast<std::uint32_t>(m_vecUnplaced.size());
    if (m_strPending.size() >= kPendingMax) {
        if (!writeAll(m_fdNames, m_strPending.data(), m_strPending.size(),
                      static_cast<std::int64_t>(m_nNamesSize)))
            return fail(errno);
        m_nNamesSize += m_strPending.size();
        m_strPending.clear();
    }
    if (m_vecUnplaced.size() >= kUnplacedMax && !placePending())
        return false;
    if (++m_nUsed * 2 > m_nSlots && !grow())
        return false;
    return true;
}

CDiskNameSet::tagSlot* CDiskNameSet::chunkSlot(int fd, std::uint64_t nSlots, std::uint64_t i) {
    const std::uint64_t nFirst = i - i % kChunkSlots;
    if (!m_bChunkLoaded || nFirst != m_nChunkFirst) {
        if (!writeChunk(fd))
            return nullptr;
        m_vecChunk.resize(static_cast<std::size_t>(std::min(kChunkSlots, nSlots - nFirst)));
        if (!readAll(fd, m_vecChunk.data(), m_vecChunk.size() * sizeof(tagSlot),
                     static_cast<std::int64_t>(nFirst * sizeof(tagSlot)))) {
            fail(errno);
            return nullptr;
        }
        m_nChunkFirst = nFirst;
        m_bChunkLoaded = true;
    }
    return &m_vecChunk[static_cast<std::size_t>(i - nFirst)];
}

bool CDiskNameSet::writeChunk(int fd) {
    if (!m_bChunkLoaded || !m_bChunkDirty)
        return true;
    m_bChunkDirty = false;
    return writeAll(fd, m_vecChunk.data(), m_vecChunk.size() * sizeof(tagSlot),
                    static_cast<std::int64_t>(m_nChunkFirst * sizeof(tagSlot))) ||
           fail(errno);
}

// Each slot goes to the first empty one from its place on: in the order of their places, the
// table is read and written once, a part at a time.
bool CDiskNameSet::placeSlots(std::vector<tagSlot>& vecSlots, int fd, std::uint64_t nSlots) {
    const std::uint64_t nMask = nSlots - 1;
    std::sort(vecSlots.begin(), vecSlots.end(),
              [nMask](const tagSlot& a, const tagSlot& b) { return (a.nHash & nMask) < (b.nHash & nMask); });
    for (const tagSlot& slot : vecSlots) {
        for (std::uint64_t i = slot.nHash & nMask;; i = (i + 1) & nMask) {
            tagSlot* pSlot = chunkSlot(fd, nSlots, i);
            if (!pSlot)
                return false;
            if (pSlot->nHash == 0) {
                *pSlot = slot;
                m_bChunkDirty = true;
                break;
            }
        }
    }
    return writeChunk(fd);
}

bool CDiskNameSet::placePending() {
    const bool bPlaced = placeSlots(m_vecUnplaced, m_fdSlots, m_nSlots);
    m_bChunkLoaded = false;
    m_vecUnplaced.clear();
    std::fill(m_vecUnplacedIndex.begin(), m_vecUnplacedIndex.end(), 0);
    return bPlaced;
}

// Doubles the table into a new file, reading the old one in large pieces and placing its slots a
// piece at a time.
bool CDiskNameSet::grow() {
    if (!placePending())
        return false;
    const int fdNew = file::createTempFile();
    if (fdNew < 0)
        return fail(errno);
    const std::uint64_t nSlots = m_nSlots * 2;
    if (sys::truncateFd(fdNew, static_cast<std::int64_t>(nSlots * sizeof(tagSlot))) != 0) {
        sys::closeFd(fdNew);
        return fail(errno);
    }
    std::vector<tagSlot> vecPiece(static_cast<std::size_t>(kChunkSlots));
    bool bOk = true;
    for (std::uint64_t nFirst = 0; bOk && nFirst < m_nSlots; nFirst += vecPiece.size()) {
        if (!readAll(m_fdSlots, vecPiece.data(), vecPiece.size() * sizeof(tagSlot),
                     static_cast<std::int64_t>(nFirst * sizeof(tagSlot)))) {
            bOk = fail(errno);
            break;
        }
        std::erase_if(vecPiece, [](const tagSlot& slot) { return slot.nHash == 0; });
        bOk = placeSlots(vecPiece, fdNew, nSlots);
        vecPiece.resize(static_cast<std::size_t>(kChunkSlots));
    }
    m_bChunkLoaded = false;
    m_bChunkDirty = false;
    if (!bOk) {
        sys::closeFd(fdNew);
        return false;
    }
    sys::closeFd(m_fdSlots);
    m_fdSlots = fdNew;
    m_nSlots = nSlots;
    return true;
}
