#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Names kept in temporary files, for a record that must be whole however long the list: memory
// stays a few kilobytes whatever the number of names, at the price of a few system calls a name.
// Names compare without regard to ASCII case.
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
    bool readSlot(int fd, std::uint64_t i, tagSlot& slot);
    // The slots from i on, up to the end of the table: at most kWindow of them.
    bool readSlots(std::uint64_t i, tagSlot* pSlots, std::size_t& n);
    bool writeSlot(int fd, std::uint64_t i, const tagSlot& slot);
    bool readName(std::uint64_t nRecord, std::string& strName);
    bool grow();
    bool fail(int nErrno);

    int m_fdSlots = -1;
    int m_fdNames = -1;
    std::uint64_t m_nSlots = 0;
    std::uint64_t m_nFirstSlots;
    std::uint64_t m_nUsed = 0;
    std::uint64_t m_nNamesSize = 0; // bytes of names written to the file
    std::string m_strPending;       // names not yet written, after those
    std::uint64_t m_nKey = 0;
    int m_nErrno = 0;
};
