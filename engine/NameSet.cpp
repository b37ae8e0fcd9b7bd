#include "engine/NameSet.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "core/Sys.h"

namespace {
constexpr std::uint64_t kMul = 0x9E3779B97F4A7C15ULL;
constexpr std::uint64_t kLineMask = (std::uint64_t{1} << 28) - 1;

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    h *= 0xC4CEB9FE1A85EC53ULL;
    h ^= h >> 33;
    return h;
}
} // namespace

CNameSet::CNameSet(std::int64_t nExpected) {
    std::size_t nSlots = nExpected > 0 ? kMaxSlots : kStreamSlots;
    if (nExpected > 0 && static_cast<std::uint64_t>(nExpected) < kMaxSlots / 2)
        nSlots = std::max<std::size_t>(1024, std::bit_ceil(static_cast<std::size_t>(nExpected) * 4 / 3 + 1));
    // Zeroed pages, on huge pages where the system has them: a name's slot then costs no walk
    // through the page tables.
    constexpr std::size_t kHugePage = 2 * 1024 * 1024;
    const std::size_t nBytes = nSlots * sizeof(std::uint64_t);
    m_nMapping = nBytes + kHugePage;
    m_pMapping = sys::allocPages(m_nMapping);
    if (!m_pMapping)
        throw std::bad_alloc();
    const auto nAligned = (reinterpret_cast<std::uintptr_t>(m_pMapping) + kHugePage - 1) & ~(kHugePage - 1);
    m_pSlots = reinterpret_cast<std::uint64_t*>(nAligned);
    if (nBytes >= kHugePage)
        sys::adviseHugePages(m_pSlots, nBytes);
    m_nMask = nSlots - 1;
    m_nLimit = nSlots / 4 * 3;
}

CNameSet::~CNameSet() {
    sys::freePages(m_pMapping, m_nMapping);
}

// Eight bytes at a time. Setting bit 0x20 of every byte puts ASCII letters in lower case and
// changes no other character a name may hold ('_' becomes DEL, which no name holds).
std::uint64_t CNameSet::hashNoCase(std::string_view strName) {
    constexpr std::uint64_t kCase = 0x2020202020202020ULL;
    const char* p = strName.data();
    const std::size_t n = strName.size();
    const auto load = [](const char* q) {
        std::uint64_t word;
        std::memcpy(&word, q, 8);
        return word | kCase;
    };
    const auto step = [](std::uint64_t h, std::uint64_t word) { return std::rotl((h ^ word) * kMul, 29); };
    std::uint64_t h = n * kMul;
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

std::int64_t CNameSet::insert(std::uint64_t h, std::int64_t nLine) {
    // A slot is a fingerprint of 36 bits over a line of 28; the index comes from other bits of
    // the hash. Lines count from 1, so a taken slot is never 0.
    const std::uint64_t nFingerprint = h & ~kLineMask;
    for (std::size_t i = h & m_nMask;; i = (i + 1) & m_nMask) {
        const std::uint64_t nSlot = m_pSlots[i];
        if (nSlot == 0) {
            if (m_nUsed >= m_nLimit) {
                m_bFull = true;
                return 0;
            }
            // A line past what the slot holds is kept as the last one it can tell.
            const auto nKept = static_cast<std::uint64_t>(std::clamp<std::int64_t>(nLine, 1, kLineMask));
            m_pSlots[i] = nFingerprint | nKept;
            ++m_nUsed;
            return 0;
        }
        if ((nSlot & ~kLineMask) == nFingerprint)
            return static_cast<std::int64_t>(nSlot & kLineMask);
    }
}

std::int64_t CNameSet::find(std::uint64_t h) const {
    const std::uint64_t nFingerprint = h & ~kLineMask;
    for (std::size_t i = h & m_nMask;; i = (i + 1) & m_nMask) {
        const std::uint64_t nSlot = m_pSlots[i];
        if (nSlot == 0)
            return 0;
        if ((nSlot & ~kLineMask) == nFingerprint)
            return static_cast<std::int64_t>(nSlot & kLineMask);
    }
}
