#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Names kept in temporary files, for a record that must be whole however long the list: memory
// stays under 1 MiB whatever the number of names. A name new to the set, as a filter in memory
// tells most of them, costs no system call: its place in the table on disk is taken with those of
// thousands of others, in one pass over the table. Names compare without regard to ASCII case.
class CDiskNameSet {
public:
    // nExpected: how many names may come, so that the table need not grow (0: not known).
    explicit CDiskNameSet(std::uint64_t nExpected = 0);
    ~CDiskNameSet();
    CDiskNameSet(const CDiskNameSet&) = delete;
    CDiskNameSet& operator=(const CDiskNameSet&) = delete;

    // True when the name was not there; it is from now on. False also when the files cannot be
    // written: failed() then tells, with the reason.
    bool insert(std::string_view strName);
    bool failed() const { return m_nErrno != 0; }
    int error() const { return m_nErrno; }

private:
    struct tagSlot {
        std::uint64_t nHash = 0; // 0: empty
        std::uint64_t nRecord = 0;
    };
    bool open();
    // The slots from i on, up to the end of the table: at most kWindow of them.
    bool readSlots(std::uint64_t i, tagSlot* pSlots, std::size_t& n);
    bool readName(std::uint64_t nRecord, std::string& strName);
    // Whether the name is in the table or among the slots not placed yet.
    bool contains(std::string_view strName, std::uint64_t nHash, bool& bFound);
    // Puts the slots not placed yet in the table, in one pass in the order of their places.
    bool placePending();
    bool placeSlots(std::vector<tagSlot>& vecSlots, int fd, std::uint64_t nSlots);
    // The part of the table that holds slot i, read; the part read before is written back first.
    tagSlot* chunkSlot(int fd, std::uint64_t nSlots, std::uint64_t i);
    bool writeChunk(int fd);
    bool grow();
    bool fail(int nErrno);

    int m_fdSlots = -1;
    int m_fdNames = -1;
    std::uint64_t m_nSlots = 0;
    std::uint64_t m_nFirstSlots;
    std::uint64_t m_nUsed = 0;
    std::uint64_t m_nNamesSize = 0;                // bytes of names written to the file
    std::string m_strPending;                      // names not yet written, after those
    std::vector<tagSlot> m_vecUnplaced;            // slots of names added, not in the table yet
    std::vector<std::uint32_t> m_vecUnplacedIndex; // their places + 1, by hash
    std::size_t unplacedHome(std::uint64_t nHash) const {
        return static_cast<std::size_t>((nHash >> 32) % m_vecUnplacedIndex.size());
    }
    std::vector<std::uint64_t> m_vecFilter; // bits: a name whose bits are not all set is new
    std::vector<tagSlot> m_vecChunk;        // a part of the table being written
    std::uint64_t m_nChunkFirst = 0;        // its first slot
    bool m_bChunkLoaded = false, m_bChunkDirty = false;
    std::uint64_t m_nKey = 0;
    int m_nErrno = 0;
};
