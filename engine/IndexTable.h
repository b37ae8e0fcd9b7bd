#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

// An open table of 32-bit values (indices into the caller's own records) found by a hash and a
// test of the value: the table holds no key, only eight bytes a value. Hashes come from
// keyedHashNoCase, whose key is drawn anew in each process, so that names that collide cannot be
// chosen beforehand to make a lookup slow.
class CIndexTable {
public:
    static constexpr std::uint32_t kNone = UINT32_MAX;

    // The first value of that hash that fnSame accepts; kNone when there is none.
    template <class F> std::uint32_t find(std::uint64_t nHash, F&& fnSame) const {
        if (m_vecSlots.empty())
            return kNone;
        const auto nTag = static_cast<std::uint32_t>(nHash);
        const std::size_t nMask = m_vecSlots.size() - 1;
        for (std::size_t i = nTag & nMask;; i = (i + 1) & nMask) {
            const tagSlot& slot = m_vecSlots[i];
            if (slot.nValue == kNone)
                return kNone;
            if (slot.nTag == nTag && fnSame(slot.nValue))
                return slot.nValue;
        }
    }
    // A keyed hash (SipHash-1-3) of the text with ASCII letters in lower case, and of nExtra,
    // which tells apart the same text in different places (a vhost's address, say).
    static std::uint64_t hashNoCase(std::string_view str, std::uint64_t nExtra = 0);

    // Adds a value the table does not hold yet (find said so).
    void insert(std::uint64_t nHash, std::uint32_t nValue);
    void reserve(std::size_t nValues);
    // Empties the table and gives its memory back.
    void clear() {
        std::vector<tagSlot>().swap(m_vecSlots);
        m_nUsed = 0;
    }

private:
    struct tagSlot {
        std::uint32_t nValue = kNone;
        std::uint32_t nTag = 0; // the hash's low half, which also places the value
    };
    void place(std::uint32_t nTag, std::uint32_t nValue);

    std::vector<tagSlot> m_vecSlots;
    std::size_t m_nUsed = 0;
};
