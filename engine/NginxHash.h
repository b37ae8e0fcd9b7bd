#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The server names hash that nginx builds for the names of one address, sized as nginx sizes it,
// so that a run can say which server_names_hash_bucket_size and server_names_hash_max_size its
// names need: with less, nginx refuses to start ("could not build server_names_hash") or warns
// and builds a slow one; with far more, it spends its start searching.
//
// nginx keeps exact names in one hash, and leading ("*.example.com") and trailing ("www.example.*")
// wildcards each in a tree of hashes, one a label, all with the same two sizes. A name takes
// 8 + (its length + 2, rounded up to 8) bytes of its bucket, which also ends with 8 bytes; nginx
// tries table sizes from a start it derives from both values, and takes the first that fits.
//
// Exact names are kept as their hash and size only; past a few megabytes they go to a temporary
// file, which each try reads again, so that memory stays small however long the list.
class CNginxHashSizer {
public:
    // nginx rounds the bucket size up to the processor's cache line: 64 bytes on the machines it
    // mostly runs on.
    static constexpr std::size_t kCacheLine = 64;
    static constexpr std::size_t kDefaultBucketSize = kCacheLine;
    static constexpr std::size_t kDefaultMaxSize = 512;

    struct tagSizes {
        std::size_t nBucketSize = kDefaultBucketSize;
        std::size_t nMaxSize = kDefaultMaxSize;
    };

    CNginxHashSizer();
    ~CNginxHashSizer();
    CNginxHashSizer(const CNginxHashSizer&) = delete;
    CNginxHashSizer& operator=(const CNginxHashSizer&) = delete;

    // A name of a server_name line: exact, or with a '*' as its whole first or last label.
    void add(std::string_view strName);
    // The smallest bucket size (a cache line multiple) that holds every name and gives a table
    // no larger than the names, and the max size with which nginx finds that table at its first
    // or nearly first try. False when the temporary file failed (nErrno says why).
    bool sizes(tagSizes& sizes, int& nErrno);

    std::uint64_t names() const { return m_nExact + m_vecWild.size(); }

    // nginx's hash of a name, without regard to ASCII case.
    static std::uint64_t keyHash(std::string_view strKey);
    // Whether nginx, given these sizes, finds a table for keys of these hashes and lengths.
    struct tagKey {
        std::uint64_t nHash = 0;
        std::uint8_t nUnits = 0; // the bytes the key takes in its bucket, in 8-byte units
    };
    static bool nginxFinds(const std::vector<tagKey>& vecKeys, const tagSizes& sizes);

private:
    class CKeys;
    // A table size in which every key's bucket fits, from nFrom on: 0 when none up to nTo.
    static std::size_t firstFit(const CKeys& keys, std::size_t nBucketSize, std::size_t nFrom,
                                std::size_t nTo, std::vector<std::uint16_t>& vecTest);
    static bool wildFits(const std::vector<std::vector<tagKey>>& vecHashes, const tagSizes& sizes);
    bool flush();

    std::vector<tagKey> m_vecExact;     // exact names not yet in the file
    std::uint64_t m_nExact = 0;         // exact names in all
    std::uint64_t m_nInFile = 0;        // exact names in the file
    std::uint8_t m_nMaxUnits = 0;       // the largest key of all
    std::vector<std::string> m_vecWild; // wildcards, as nginx keys them ("com.example.", "www.example")
    std::vector<std::string> m_vecTail;
    int m_fd = -1;
    int m_nErrno = 0;
};
