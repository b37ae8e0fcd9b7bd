#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/ByteBuffer.h"

// The names of a run, without regard to case, to tell a name seen before. Memory is bounded
// whatever the list: a table of at most kMaxSlots slots of eight bytes, each a fingerprint of a
// name and the line it first appeared on; once three quarters of it are taken, later new names
// are no longer remembered (full() tells), while those already in it are still found.
//
// A large table lies far from the processor's caches, and looking a name up there waits on
// memory. So names go in through a short queue: a name's slot is fetched while the next few lines
// are built, and looked at only when the name leaves the queue.
class CNameSet {
public:
    static constexpr std::size_t kMaxSlots = std::size_t{1} << 20;
    // A list read from a stream is not counted beforehand: its table is smaller, so that memory
    // stays bounded with no growing.
    static constexpr std::size_t kStreamSlots = std::size_t{1} << 19;

    // nExpected: how many names may come, 0 when not known.
    explicit CNameSet(std::int64_t nExpected);
    ~CNameSet();
    CNameSet(const CNameSet&) = delete;
    CNameSet& operator=(const CNameSet&) = delete;

    // Adds the name of line nLine. fnDuplicate(nLine, nFirstLine, strText, bCut) is called, in
    // line order and perhaps a few names later, for each name seen before; strText is the line
    // given here, or its first kText bytes (bCut).
    template <class F>
    void add(std::string_view strName, std::string_view strText, std::int64_t nLine, F&& fnDuplicate) {
        if (m_nQueued == kQueue)
            take(fnDuplicate);
        tagQueued& queued = m_queue[(m_nFirst + m_nQueued++) % kQueue];
        queued.nHash = hashNoCase(strName);
        queued.nLine = nLine;
        queued.nText = static_cast<std::uint8_t>(std::min(strText.size(), kText));
        queued.bCut = strText.size() > kText;
        copyBytes(queued.szText, strText.data(), queued.nText);
        __builtin_prefetch(&m_pSlots[queued.nHash & m_nMask], 1);
    }
    // Looks up every name still queued.
    template <class F> void flush(F&& fnDuplicate) {
        while (m_nQueued > 0)
            take(fnDuplicate);
    }

    // 0 when the hash is new (it is then remembered with nLine), else the line it first appeared
    // on.
    std::int64_t insert(std::uint64_t nHash, std::int64_t nLine);
    // The line the hash first appeared on, 0 when it has not; nothing is remembered.
    std::int64_t find(std::uint64_t nHash) const;
    // Fetches the slot of a hash that insert or find will look at soon.
    void prefetch(std::uint64_t nHash) const { __builtin_prefetch(&m_pSlots[nHash & m_nMask], 1); }
    bool full() const { return m_bFull; }

    // A hash of the name with ASCII letters in one case.
    static std::uint64_t hashNoCase(std::string_view strName);

private:
    static constexpr std::size_t kQueue = 16;
    static constexpr std::size_t kText = 64; // what a report shows of a line, and a little more
    struct tagQueued {
        std::uint64_t nHash;
        std::int64_t nLine;
        std::uint8_t nText;
        bool bCut;
        char szText[kText];
    };
    template <class F> void take(F& fnDuplicate) {
        const tagQueued& queued = m_queue[m_nFirst];
        m_nFirst = (m_nFirst + 1) % kQueue;
        --m_nQueued;
        if (const std::int64_t nFirstLine = insert(queued.nHash, queued.nLine))
            fnDuplicate(queued.nLine, nFirstLine, std::string_view(queued.szText, queued.nText), queued.bCut);
    }

    std::uint64_t* m_pSlots = nullptr;
    void* m_pMapping = nullptr;
    std::size_t m_nMapping = 0;
    std::size_t m_nMask = 0;
    std::size_t m_nUsed = 0;
    std::size_t m_nLimit = 0;
    bool m_bFull = false;
    std::array<tagQueued, kQueue> m_queue{};
    std::size_t m_nFirst = 0;
    std::size_t m_nQueued = 0;
};
