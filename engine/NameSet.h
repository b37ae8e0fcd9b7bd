#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/ByteBuffer.h"

// The names of a run, without regard to ASCII case: two names are the same only when their texts
// are; a hash only finds the candidates. Each name has a record: the line it first came on and
// what the run made of it. Memory is bounded whatever the list: once the budget is spent, new
// names are no longer remembered (full() tells), while those already in it are still found.
class CNameSet {
public:
    static constexpr std::size_t kDefaultBudget = 8 * 1024 * 1024 + 512 * 1024;

    // What a record holds besides the name. Line numbers past what a record keeps are kept as the
    // last one it can tell.
    enum ERecordKind {
        LineOnly, // the line the name first came on
        Full,     // also the line it first came on as a domain, its last entry and flags
    };
    enum EFlag : std::uint8_t {
        kNamed = 1, // it named an entry (a certificate)
    };

    // A record in the set, read and written in place; empty when there is none.
    class CRecord {
    public:
        CRecord() = default;
        explicit operator bool() const { return m_p != nullptr; }
        std::int64_t line() const { return get(0); }
        // Full records only.
        std::int64_t domainLine() const { return get(4); }
        void setDomainLine(std::int64_t nLine) { set(4, nLine); }
        std::int64_t entry() const { return get(8); }
        void setEntry(std::int64_t nEntry) { set(8, nEntry); }
        std::uint8_t flags() const { return static_cast<std::uint8_t>(m_p[12]); }
        void addFlags(std::uint8_t nFlags) { m_p[12] = static_cast<char>(flags() | nFlags); }

    private:
        friend class CNameSet;
        explicit CRecord(char* p) : m_p(p) {}
        std::int64_t get(std::size_t nAt) const {
            std::uint32_t n;
            std::memcpy(&n, m_p + nAt, 4);
            return n;
        }
        void set(std::size_t nAt, std::int64_t n) {
            const auto nKept = static_cast<std::uint32_t>(std::clamp<std::int64_t>(n, 0, UINT32_MAX));
            std::memcpy(m_p + nAt, &nKept, 4);
        }
        char* m_p = nullptr;
    };

    // nExpected: how many names may come (0: not known), so that the table need not grow.
    explicit CNameSet(ERecordKind eKind = LineOnly, std::int64_t nExpected = 0,
                      std::size_t nBudget = kDefaultBudget);
    ~CNameSet();
    CNameSet(const CNameSet&) = delete;
    CNameSet& operator=(const CNameSet&) = delete;

    // A hash of the name with ASCII letters in one case, keyed by this set's own random key, so
    // that no list can be made whose names all land in one place.
    std::uint64_t hash(std::string_view strName) const { return hashWithKey(strName, m_nKey); }
    static std::uint64_t hashWithKey(std::string_view strName, std::uint64_t nKey);

    CRecord find(std::string_view strName, std::uint64_t nHash) const;
    CRecord find(std::string_view strName) const { return find(strName, hash(strName)); }
    // The name's record; a new one, with nLine, when the name was not there (bAdded). Empty when
    // it was not there and there is no room for it.
    CRecord insert(std::string_view strName, std::uint64_t nHash, std::int64_t nLine, bool& bAdded);
    CRecord insert(std::string_view strName, std::int64_t nLine, bool& bAdded) {
        return insert(strName, hash(strName), nLine, bAdded);
    }
    // Fetches the slot a hash will be looked up in soon.
    void prefetch(std::uint64_t nHash) const { __builtin_prefetch(&m_vecSlots[nHash & m_nMask]); }
    bool full() const { return m_bFull; }
    std::size_t size() const { return m_nUsed; }

    static bool sameNoCase(std::string_view a, std::string_view b);

private:
    static constexpr std::size_t kChunk = 1024 * 1024;
    static constexpr std::size_t kMaxArena = (std::size_t{1} << 24) - 1; // offsets fit a slot

    std::size_t headerSize() const { return m_eKind == Full ? 14 : 5; }
    char* recordAt(std::uint32_t nOffset) const {
        return m_vecChunks[nOffset / kChunk].get() + nOffset % kChunk;
    }
    std::string_view nameOf(const char* pRecord) const {
        const std::size_t nHeader = headerSize();
        return {pRecord + nHeader, static_cast<unsigned char>(pRecord[nHeader - 1])};
    }
    bool grow();
    // Room for a record of n bytes in the arena; its offset, or -1.
    std::int64_t allocate(std::size_t n);

    ERecordKind m_eKind;
    std::size_t m_nBudget;
    std::uint64_t m_nKey;
    // A slot: the record's offset + 1 in its low 24 bits, 8 bits of the hash above; 0 is empty.
    std::vector<std::uint32_t> m_vecSlots;
    std::size_t m_nMask = 0;
    std::size_t m_nUsed = 0;
    std::vector<std::unique_ptr<char[]>> m_vecChunks;
    std::size_t m_nArenaUsed = 0; // bytes of the last chunk taken
    bool m_bFull = false;
};

// The duplicates of a run that only reports them, through a short queue: a large table lies far
// from the processor's caches, so a name's slot is fetched while the next few lines are built, and
// looked at only when the name leaves the queue.
class CNameQueue {
public:
    explicit CNameQueue(CNameSet& names) : m_names(names) {}

    // Adds the name of line nLine. fnDuplicate(nLine, nFirstLine, strText, bCut) is called, in line
    // order and perhaps a few names later, for each name seen before; strText is the line given
    // here, or its first kText bytes (bCut).
    template <class F>
    void add(std::string_view strName, std::string_view strText, std::int64_t nLine, F&& fnDuplicate) {
        if (m_nQueued == kQueue)
            take(fnDuplicate);
        tagQueued& queued = m_queue[(m_nFirst + m_nQueued++) % kQueue];
        queued.nHash = m_names.hash(strName);
        queued.nLine = nLine;
        queued.nText = static_cast<std::uint8_t>(std::min(strText.size(), kText));
        queued.bCut = strText.size() > kText;
        copyBytes(queued.szText, strText.data(), queued.nText);
        // The name is almost always a part of its line: then it is not copied twice.
        queued.nName = static_cast<std::uint8_t>(strName.size());
        const auto nAt = static_cast<std::size_t>(strName.data() - strText.data());
        if (strName.data() >= strText.data() && nAt + strName.size() <= queued.nText) {
            queued.pName = queued.szText + nAt;
        } else {
            copyBytes(queued.szName, strName.data(), strName.size());
            queued.pName = queued.szName;
        }
        m_names.prefetch(queued.nHash);
    }
    // Looks up every name still queued.
    template <class F> void flush(F&& fnDuplicate) {
        while (m_nQueued > 0)
            take(fnDuplicate);
    }

private:
    static constexpr std::size_t kQueue = 16;
    static constexpr std::size_t kName = 253; // the longest name
    static constexpr std::size_t kText = 64;  // what a report shows of a line, and a little more
    struct tagQueued {
        std::uint64_t nHash;
        std::int64_t nLine;
        const char* pName; // in szText or szName
        std::uint8_t nName;
        std::uint8_t nText;
        bool bCut;
        char szText[kText];
        char szName[kName];
    };
    template <class F> void take(F& fnDuplicate) {
        const tagQueued& queued = m_queue[m_nFirst];
        m_nFirst = (m_nFirst + 1) % kQueue;
        --m_nQueued;
        bool bAdded = false;
        const CNameSet::CRecord record =
            m_names.insert(std::string_view(queued.pName, queued.nName), queued.nHash, queued.nLine, bAdded);
        if (record && !bAdded)
            fnDuplicate(queued.nLine, record.line(), std::string_view(queued.szText, queued.nText),
                        queued.bCut);
    }

    CNameSet& m_names;
    std::array<tagQueued, kQueue> m_queue{};
    std::size_t m_nFirst = 0;
    std::size_t m_nQueued = 0;
};
