#include "engine/NameSet.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

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
    std::size_t nSlots = kMaxSlots;
    if (nExpected > 0 && static_cast<std::uint64_t>(nExpected) < kMaxSlots / 2)
        nSlots = std::max<std::size_t>(1024, std::bit_ceil(static_cast<std::size_t>(nExpected) * 4 / 3 + 1));
    m_pSlots.reset(static_cast<std::uint64_t*>(std::calloc(nSlots, sizeof(std::uint64_t))));
    if (!m_pSlots)
        throw std::bad_alloc();
    m_nMask = nSlots - 1;
    m_nLimit = nSlots / 4 * 3;
}

// Eight bytes at a time. Setting bit 0x20 of every byte puts ASCII letters in lower case and
// changes no other character a name may hold ('_' becomes DEL, which no name holds).
std::uint64_t CNameSet::hashNoCase(std::string_view strName) {
    constexpr std::uint64_t kCase = 0x2020202020202020ULL;
    std::uint64_t h = strName.size() * kMul;
    const char* p = strName.data();
    std::size_t n = strName.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = std::rotl((h ^ (word | kCase)) * kMul, 29);
    }
    if (n > 0) {
        std::uint64_t word = 0;
        std::memcpy(&word, p, n);
        h = std::rotl((h ^ (word | (kCase >> (8 * (8 - n))))) * kMul, 29);
    }
    return mix(h);
}

std::int64_t CNameSet::insert(std::string_view strName, std::int64_t nLine) {
    const std::uint64_t h = hashNoCase(strName);
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
