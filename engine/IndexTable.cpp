#include "engine/IndexTable.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <random>

namespace {

// Eight bytes with their ASCII capitals in lower case, the others as they are.
std::uint64_t lowerWord(std::uint64_t nWord) {
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const std::uint64_t nSeven = nWord & ~kHigh;
    const std::uint64_t nAboveZ = nSeven + 0x2525252525252525ULL; // high bit: above 'Z'
    const std::uint64_t nFromA = nSeven + 0x3F3F3F3F3F3F3F3FULL;  // high bit: 'A' or above
    const std::uint64_t nUpper = ~nWord & kHigh & (nFromA ^ nAboveZ);
    return nWord | (nUpper >> 2);
}

struct tagSipKey {
    std::uint64_t n0, n1;
};

const tagSipKey& sipKey() {
    static const tagSipKey key = [] {
        std::random_device random;
        const auto draw = [&random] { return (std::uint64_t{random()} << 32) ^ random(); };
        return tagSipKey{draw(), draw()};
    }();
    return key;
}

class CSip {
public:
    explicit CSip(const tagSipKey& key)
        : m_v0(key.n0 ^ 0x736f6d6570736575ULL), m_v1(key.n1 ^ 0x646f72616e646f6dULL),
          m_v2(key.n0 ^ 0x6c7967656e657261ULL), m_v3(key.n1 ^ 0x7465646279746573ULL) {}
    void add(std::uint64_t nWord) {
        m_v3 ^= nWord;
        round();
        m_v0 ^= nWord;
    }
    std::uint64_t end(std::uint64_t nLast) {
        add(nLast);
        m_v2 ^= 0xFF;
        round();
        round();
        round();
        return m_v0 ^ m_v1 ^ m_v2 ^ m_v3;
    }

private:
    void round() {
        m_v0 += m_v1;
        m_v1 = std::rotl(m_v1, 13) ^ m_v0;
        m_v0 = std::rotl(m_v0, 32);
        m_v2 += m_v3;
        m_v3 = std::rotl(m_v3, 16) ^ m_v2;
        m_v0 += m_v3;
        m_v3 = std::rotl(m_v3, 21) ^ m_v0;
        m_v2 += m_v1;
        m_v1 = std::rotl(m_v1, 17) ^ m_v2;
        m_v2 = std::rotl(m_v2, 32);
    }
    std::uint64_t m_v0, m_v1, m_v2, m_v3;
};

} // namespace

std::uint64_t CIndexTable::hashNoCase(std::string_view str, std::uint64_t nExtra) {
    CSip sip(sipKey());
    sip.add(nExtra);
    const char* p = str.data();
    std::size_t n = str.size();
    for (; n >= 8; p += 8, n -= 8) {
        std::uint64_t nWord;
        std::memcpy(&nWord, p, 8);
        sip.add(lowerWord(nWord));
    }
    std::uint64_t nLast = 0;
    if (n > 0)
        std::memcpy(&nLast, p, n);
    nLast = lowerWord(nLast) & ((std::uint64_t{1} << (8 * n)) - 1);
    return sip.end(nLast | (std::uint64_t{(str.size() + 8) & 0xFF} << 56));
}

void CIndexTable::reserve(std::size_t nValues) {
    const std::size_t nSlots = std::bit_ceil(std::max<std::size_t>(nValues * 2, 16));
    if (nSlots <= m_vecSlots.size())
        return;
    std::vector<tagSlot> vecOld = std::move(m_vecSlots);
    m_vecSlots.assign(nSlots, tagSlot{});
    for (const tagSlot& slot : vecOld)
        if (slot.nValue != kNone)
            place(slot.nTag, slot.nValue);
}

void CIndexTable::insert(std::uint64_t nHash, std::uint32_t nValue) {
    if ((m_nUsed + 1) * 2 > m_vecSlots.size())
        reserve(std::max<std::size_t>(m_nUsed + 1, m_vecSlots.size()));
    place(static_cast<std::uint32_t>(nHash), nValue);
    ++m_nUsed;
}

void CIndexTable::place(std::uint32_t nTag, std::uint32_t nValue) {
    const std::size_t nMask = m_vecSlots.size() - 1;
    std::size_t i = nTag & nMask;
    while (m_vecSlots[i].nValue != kNone)
        i = (i + 1) & nMask;
    m_vecSlots[i] = {nValue, nTag};
}
