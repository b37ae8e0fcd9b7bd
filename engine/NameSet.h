#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string_view>

// The names of a run, without regard to case, to tell a name seen before. Memory is bounded
// whatever the list: a table of at most kMaxSlots slots of eight bytes, each a fingerprint of a
// name and the line it first appeared on; once three quarters of it are taken, later new names
// are no longer remembered (full() tells), while those already in it are still found.
class CNameSet {
public:
    static constexpr std::size_t kMaxSlots = std::size_t{1} << 20;

    // nExpected: how many names may come, 0 when not known.
    explicit CNameSet(std::int64_t nExpected);

    // 0 when the name is new (it is then remembered with nLine), else the line it first appeared
    // on.
    std::int64_t insert(std::string_view strName, std::int64_t nLine);
    bool full() const { return m_bFull; }

    // A hash of the name with ASCII letters in one case.
    static std::uint64_t hashNoCase(std::string_view strName);

private:
    struct tagFree {
        void operator()(std::uint64_t* p) const { std::free(p); }
    };
    // Allocated zeroed: the pages of a large table cost memory only once they are touched.
    std::unique_ptr<std::uint64_t[], tagFree> m_pSlots;
    std::size_t m_nMask = 0;
    std::size_t m_nUsed = 0;
    std::size_t m_nLimit = 0;
    bool m_bFull = false;
};
