#include "engine/NameSet.h"

#include <algorithm>
#include <bit>
#include <random>

namespace {
constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
constexpr std::size_t kFirstSlots = 1024;
constexpr std::uint32_t kOffsetMask = (std::uint32_t{1} << 24) - 1;

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}

std::uint32_t tagOf(std::uint64_t nHash) {
    return static_cast<std::uint32_t>(nHash >> 56) << 24;
}
} // namespace

CNameSet::CNameSet(ERecordKind eKind, std::int64_t nExpected, std::size_t nBudget)
    : m_eKind(eKind), m_nBudget(nBudget) {
    std::random_device random;
    m_nKey = (static_cast<std::uint64_t>(random()) << 32) ^ random();
    // Room for the names expected, as far as a quarter of the budget goes.
    std::size_t nSlots = kFirstSlots;
    const auto nWanted = static_cast<std::size_t>(std::max<std::int64_t>(nExpected, 0)) * 4 / 3 + 1;
    while (nSlots < nWanted && nSlots * 2 * sizeof(std::uint32_t) <= m_nBudget / 4)
        nSlots *= 2;
    m_vecSlots.assign(nSlots, 0);
    m_nMask = nSlots - 1;
}

CNameSet::~CNameSet() = default;

// Eight bytes at a time. Setting bit 0x20 of every byte puts ASCII letters in lower case; the hash
// only finds candidates, which are then told apart by their text.
std::uint64_t CNameSet::hashWithKey(std::string_view strName, std::uint64_t nKey) {
    constexpr std::uint64_t kCase = 0x2020202020202020ULL;
    const char* p = strName.data();
    const std::size_t n = strName.size();
    const auto load = [](const char* q) {
        std::uint64_t word;
        std::memcpy(&word, q, 8);
        return word | kCase;
    };
    const auto step = [](std::uint64_t h, std::uint64_t word) { return std::rotl((h ^ word) * kMul, 29); };
    std::uint64_t h = (n * kMul) ^ nKey;
    if (n >= 8) {
        std::size_t i = 0;
        for (; i + 8 < n; i += 8)
            h = step(h, load(p + i));
        // The last eight bytes, which may overlap the ones before: the length is in h already.
        h = step(h, load(p + n - 8));
    } else {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < n; ++i)
            word |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i]) | 0x20) << (8 * i);
        h = step(h, word);
    }
    return mix(h);
}

bool CNameSet::sameNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z')
            x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

CNameSet::CRecord CNameSet::find(std::string_view strName, std::uint64_t nHash) const {
    const std::uint32_t nTag = tagOf(nHash);
    for (std::size_t i = nHash & m_nMask;; i = (i + 1) & m_nMask) {
        const std::uint32_t nSlot = m_vecSlots[i];
        if (nSlot == 0)
            return CRecord();
        if ((nSlot & ~kOffsetMask) == nTag) {
            char* pRecord = recordAt((nSlot & kOffsetMask) - 1);
            if (sameNoCase(nameOf(pRecord), strName))
                return CRecord(pRecord);
        }
    }
}

CNameSet::CRecord CNameSet::insert(std::string_view strName, std::uint64_t nHash, std::int64_t nLine,
                                   bool& bAdded) {
    bAdded = false;
    const std::uint32_t nTag = tagOf(nHash);
    std::size_t i = nHash & m_nMask;
    for (;; i = (i + 1) & m_nMask) {
        const std::uint32_t nSlot = m_vecSlots[i];
        if (nSlot == 0)
            break;
        if ((nSlot & ~kOffsetMask) == nTag) {
            char* pRecord = recordAt((nSlot & kOffsetMask) - 1);
            if (sameNoCase(nameOf(pRecord), strName))
                return CRecord(pRecord);
        }
    }
    if (m_bFull || strName.size() > 255)
        return CRecord();
    if ((m_nUsed + 1) * 4 > m_vecSlots.size() * 3) {
        if (!grow())
            return CRecord();
        // The slots moved: find the empty one again.
        for (i = nHash & m_nMask; m_vecSlots[i] != 0; i = (i + 1) & m_nMask) {
        }
    }
    const std::size_t nHeader = headerSize();
    const std::int64_t nOffset = allocate(nHeader + strName.size());
    if (nOffset < 0)
        return CRecord();
    char* pRecord = recordAt(static_cast<std::uint32_t>(nOffset));
    CRecord record(pRecord);
    record.set(0, nLine);
    if (m_eKind == Full) {
        record.set(4, 0);
        record.set(8, 0);
        pRecord[12] = 0;
    }
    pRecord[nHeader - 1] = static_cast<char>(strName.size());
    copyBytes(pRecord + nHeader, strName.data(), strName.size());
    m_vecSlots[i] = nTag | static_cast<std::uint32_t>(nOffset + 1);
    ++m_nUsed;
    bAdded = true;
    return record;
}

std::int64_t CNameSet::allocate(std::size_t n) {
    if (m_vecChunks.empty() || m_nArenaUsed + n > kChunk) {
        const std::size_t nArena = (m_vecChunks.size() + 1) * kChunk;
        if (nArena > kMaxArena + 1 || nArena + m_vecSlots.size() * sizeof(std::uint32_t) > m_nBudget) {
            m_bFull = true;
            return -1;
        }
        m_vecChunks.push_back(std::make_unique_for_overwrite<char[]>(kChunk));
        m_nArenaUsed = 0;
    }
    const std::size_t nOffset = (m_vecChunks.size() - 1) * kChunk + m_nArenaUsed;
    m_nArenaUsed += n;
    return static_cast<std::int64_t>(nOffset);
}

bool CNameSet::grow() {
    const std::size_t nSlots = m_vecSlots.size() * 2;
    if (m_vecChunks.size() * kChunk + nSlots * sizeof(std::uint32_t) > m_nBudget) {
        m_bFull = true;
        return false;
    }
    std::vector<std::uint32_t> vecOld(nSlots, 0);
    vecOld.swap(m_vecSlots);
    m_nMask = nSlots - 1;
    for (const std::uint32_t nSlot : vecOld) {
        if (nSlot == 0)
            continue;
        const std::uint64_t nHash = hash(nameOf(recordAt((nSlot & kOffsetMask) - 1)));
        std::size_t i = nHash & m_nMask;
        while (m_vecSlots[i] != 0)
            i = (i + 1) & m_nMask;
        m_vecSlots[i] = nSlot;
    }
    return true;
}
