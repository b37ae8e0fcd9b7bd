#include "engine/NginxHash.h"

#include <algorithm>
#include <cerrno>
#include <map>

#include "core/FileUtil.h"
#include "core/Sys.h"

namespace {
constexpr std::size_t kPointer = 8;
// Exact names held in memory before they go to the file (512 KiB), and read from it at a time.
constexpr std::size_t kKeysInMemory = std::size_t{32} * 1024;
// Buckets counted in one pass over the names: a larger table takes several passes, so that the
// count needs 256 KiB however many names there are.
constexpr std::size_t kBucketsAtATime = std::size_t{256} * 1024;
// nginx counts a bucket's bytes in 16 bits.
constexpr std::size_t kMaxBucketSize = 32768;
// Past this max size, nginx starts its search 1000 below it when the names are many.
constexpr std::size_t kSearchFromTop = 10000;
constexpr std::size_t kSearchSpan = 1000;

std::uint8_t unitsOf(std::size_t nLength) {
    // 8 bytes of pointer, then the length (2 bytes) and the name, rounded up to 8.
    return static_cast<std::uint8_t>((kPointer + ((nLength + 2 + kPointer - 1) & ~(kPointer - 1))) /
                                     kPointer);
}

std::size_t alignUp(std::size_t n, std::size_t nTo) {
    return (n + nTo - 1) / nTo * nTo;
}

// Where nginx starts to look for a table size.
std::size_t nginxStart(std::uint64_t nKeys, std::size_t nBucketSize, std::size_t nMaxSize) {
    std::size_t nStart = static_cast<std::size_t>(nKeys / ((nBucketSize - kPointer) / (2 * kPointer)));
    nStart = std::max<std::size_t>(nStart, 1);
    if (nMaxSize > kSearchFromTop && nKeys != 0 && nMaxSize / nKeys < 100)
        nStart = nMaxSize - kSearchSpan;
    return nStart;
}

char lower(char ch) {
    return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
}

// nginx sorts wildcards with '.' before every other character, so that the names under one label
// stay together: the grouping below needs only that they are grouped, which a map does.
void addLevels(const std::vector<std::string>& vecKeys,
               std::vector<std::vector<CNginxHashSizer::tagKey>>& vecHashes) {
    std::map<std::string, std::vector<std::string>> groups;
    for (const std::string& strKey : vecKeys) {
        const std::size_t nDot = strKey.find('.');
        std::vector<std::string>& vecRest = groups[strKey.substr(0, nDot)];
        if (nDot != std::string::npos && nDot + 1 < strKey.size())
            vecRest.push_back(strKey.substr(nDot + 1));
    }
    std::vector<CNginxHashSizer::tagKey> vecLevel;
    for (const auto& [strLabel, vecRest] : groups) {
        vecLevel.push_back({CNginxHashSizer::keyHash(strLabel), unitsOf(strLabel.size())});
        if (!vecRest.empty())
            addLevels(vecRest, vecHashes);
    }
    vecHashes.push_back(std::move(vecLevel));
}
} // namespace

// The exact names: those in the file, then those in memory.
class CNginxHashSizer::CKeys {
public:
    CKeys(int fd, std::uint64_t nInFile, const std::vector<tagKey>& vecMemory)
        : m_fd(fd), m_nInFile(nInFile), m_vecMemory(vecMemory) {}

    std::uint64_t size() const { return m_nInFile + m_vecMemory.size(); }

    // fnKey(key) for each, until it says false; false then, or when the file cannot be read.
    template <typename Fn> bool each(Fn fnKey) const {
        std::vector<tagKey>& vecBuffer = m_vecBuffer;
        for (std::uint64_t nDone = 0; nDone < m_nInFile;) {
            const std::size_t n =
                static_cast<std::size_t>(std::min<std::uint64_t>(kKeysInMemory, m_nInFile - nDone));
            vecBuffer.resize(n);
            const std::size_t nBytes = n * sizeof(tagKey);
            if (sys::readAt(m_fd, vecBuffer.data(), nBytes,
                            static_cast<std::int64_t>(nDone * sizeof(tagKey))) !=
                static_cast<std::int64_t>(nBytes)) {
                m_bFailed = true;
                return false;
            }
            for (const tagKey& key : vecBuffer)
                if (!fnKey(key))
                    return false;
            nDone += n;
        }
        for (const tagKey& key : m_vecMemory)
            if (!fnKey(key))
                return false;
        return true;
    }
    bool failed() const { return m_bFailed; }

private:
    int m_fd;
    std::uint64_t m_nInFile;
    const std::vector<tagKey>& m_vecMemory;
    mutable std::vector<tagKey> m_vecBuffer;
    mutable bool m_bFailed = false;
};

CNginxHashSizer::CNginxHashSizer() = default;

CNginxHashSizer::~CNginxHashSizer() {
    if (m_fd >= 0)
        sys::closeFd(m_fd);
}

std::uint64_t CNginxHashSizer::keyHash(std::string_view strKey) {
    std::uint64_t nHash = 0;
    for (const char ch : strKey)
        nHash = nHash * 31 + static_cast<unsigned char>(lower(ch));
    return nHash;
}

void CNginxHashSizer::add(std::string_view strName) {
    if (strName.starts_with("*.")) {
        // "*.example.com" is keyed "com.example.": its labels from the last, each with its dot.
        std::string strKey;
        std::string_view rest = strName.substr(2);
        while (!rest.empty()) {
            const std::size_t nDot = rest.rfind('.');
            const std::string_view label = nDot == std::string_view::npos ? rest : rest.substr(nDot + 1);
            for (const char ch : label)
                strKey += lower(ch);
            strKey += '.';
            rest = nDot == std::string_view::npos ? std::string_view() : rest.substr(0, nDot);
        }
        m_vecWild.push_back(std::move(strKey));
    } else if (strName.ends_with(".*")) {
        std::string strKey;
        for (const char ch : strName.substr(0, strName.size() - 2))
            strKey += lower(ch);
        m_vecTail.push_back(std::move(strKey));
    } else {
        const tagKey key{keyHash(strName), unitsOf(strName.size())};
        m_nMaxUnits = std::max(m_nMaxUnits, key.nUnits);
        m_vecExact.push_back(key);
        ++m_nExact;
        if (m_vecExact.size() >= kKeysInMemory)
            flush();
    }
}

bool CNginxHashSizer::flush() {
    if (m_nErrno != 0)
        return false;
    if (m_fd < 0 && (m_fd = file::createTempFile()) < 0) {
        m_nErrno = errno;
        return false;
    }
    const std::size_t nBytes = m_vecExact.size() * sizeof(tagKey);
    if (sys::writeAt(m_fd, m_vecExact.data(), nBytes,
                     static_cast<std::int64_t>(m_nInFile * sizeof(tagKey))) !=
        static_cast<std::int64_t>(nBytes)) {
        m_nErrno = errno != 0 ? errno : EIO;
        return false;
    }
    m_nInFile += m_vecExact.size();
    m_vecExact.clear();
    return true;
}

std::size_t CNginxHashSizer::firstFit(const CKeys& keys, std::size_t nBucketSize, std::size_t nFrom,
                                      std::size_t nTo, std::vector<std::uint16_t>& vecTest) {
    const std::size_t nRoom = nBucketSize - kPointer;
    for (std::size_t nSize = nFrom; nSize <= nTo; ++nSize) {
        bool bFits = true;
        for (std::size_t nLow = 0; nLow < nSize && bFits; nLow += kBucketsAtATime) {
            vecTest.assign(std::min(kBucketsAtATime, nSize - nLow), 0);
            bFits = keys.each([&](const tagKey& key) {
                const std::size_t nBucket = static_cast<std::size_t>(key.nHash % nSize) - nLow;
                if (nBucket >= vecTest.size())
                    return true;
                std::uint16_t& nUsed = vecTest[nBucket];
                const std::size_t nLength = nUsed + std::size_t{key.nUnits} * kPointer;
                if (nLength > nRoom)
                    return false;
                nUsed = static_cast<std::uint16_t>(nLength);
                return true;
            });
        }
        if (bFits)
            return nSize;
        if (keys.failed())
            return 0;
    }
    return 0;
}

bool CNginxHashSizer::nginxFinds(const std::vector<tagKey>& vecKeys, const tagSizes& sizes) {
    for (const tagKey& key : vecKeys)
        if (sizes.nBucketSize < std::size_t{key.nUnits} * kPointer + kPointer)
            return false;
    const CKeys keys(-1, 0, vecKeys);
    std::vector<std::uint16_t> vecTest;
    const std::size_t nStart = nginxStart(vecKeys.size(), sizes.nBucketSize, sizes.nMaxSize);
    return vecKeys.empty() || firstFit(keys, sizes.nBucketSize, nStart, sizes.nMaxSize, vecTest) != 0;
}

bool CNginxHashSizer::wildFits(const std::vector<std::vector<tagKey>>& vecHashes, const tagSizes& sizes) {
    return std::all_of(vecHashes.begin(), vecHashes.end(),
                       [&](const std::vector<tagKey>& vecHash) { return nginxFinds(vecHash, sizes); });
}

bool CNginxHashSizer::sizes(tagSizes& result, int& nErrno) {
    result = tagSizes();
    if (m_nInFile > 0 && !m_vecExact.empty() && !flush()) {
        nErrno = m_nErrno;
        return false;
    }
    std::vector<std::vector<tagKey>> vecWildHashes;
    for (const std::vector<std::string>* pKeys : {&m_vecWild, &m_vecTail})
        if (!pKeys->empty())
            addLevels(*pKeys, vecWildHashes);
    std::uint8_t nMaxUnits = m_nMaxUnits;
    for (const auto& vecHash : vecWildHashes)
        for (const tagKey& key : vecHash)
            nMaxUnits = std::max(nMaxUnits, key.nUnits);

    const CKeys exact(m_fd, m_nInFile, m_vecExact);
    const std::uint64_t n = exact.size();
    std::vector<std::uint16_t> vecTest;
    // The bucket a cache line multiple that holds the longest name with its end; then larger ones
    // until a table no larger than the names fits, so that nginx's memory goes with the names.
    const std::size_t nLimit = static_cast<std::size_t>(std::max<std::uint64_t>(n, kDefaultMaxSize));
    for (std::size_t nBucket = std::max(kDefaultBucketSize, alignUp((nMaxUnits + 1u) * kPointer, kCacheLine));
         nBucket <= kMaxBucketSize; nBucket *= 2) {
        tagSizes tried{nBucket, kDefaultMaxSize};
        if (n != 0) {
            // A size that fits, within about 3% of the first: grown by a quarter from nginx's
            // start. Each try costs a pass over the names, and nginx is then told where to look,
            // so a fit need not be the very first.
            const auto fits = [&](std::size_t nSize) {
                return firstFit(exact, nBucket, nSize, nSize, vecTest) != 0;
            };
            std::size_t nLow = nginxStart(n, nBucket, 0);
            std::size_t nFit = fits(nLow) ? nLow : 0;
            // A bucket that no table up to the limit holds is left for a larger one: the tries of
            // a bucket far too small fail within their first few names.
            for (std::size_t nSize = nLow; nFit == 0 && nSize < nLimit && !exact.failed();) {
                nSize = std::min(nLimit, nSize + nSize / 4 + 1);
                (fits(nSize) ? nFit : nLow) = nSize;
            }
            // Then up from the last size that failed in steps of about 3%: which sizes fit is not
            // quite monotonic, so the first that does is looked for, not a boundary.
            for (std::size_t nSize = nLow + std::max<std::size_t>(1, nLow / 32); nFit != 0 && nSize < nFit;
                 nSize += std::max<std::size_t>(1, nSize / 32))
                if (fits(nSize))
                    nFit = nSize;
            if (exact.failed())
                break;
            if (nFit == 0)
                continue;
            if (nFit + kSearchSpan > kSearchFromTop) {
                // nginx starts at max size - 1000 when names are many: right at the fit.
                tried.nMaxSize = nFit + kSearchSpan;
            } else {
                // nginx looks from its own start up: the first fit there is the max size it needs.
                const std::size_t nFirst = firstFit(exact, nBucket, nginxStart(n, nBucket, 0), nFit, vecTest);
                tried.nMaxSize = std::max(kDefaultMaxSize, nFirst);
            }
        }
        if (wildFits(vecWildHashes, tried)) {
            result = tried;
            return true;
        }
        // A wildcard level of many labels needs a larger table than the exact names: the max size
        // that finds it, if nginx then still finds every other table.
        for (const std::vector<tagKey>& vecHash : vecWildHashes) {
            const CKeys keys(-1, 0, vecHash);
            const std::size_t nOwn =
                firstFit(keys, nBucket, nginxStart(vecHash.size(), nBucket, 0),
                         std::max<std::size_t>(vecHash.size(), kDefaultMaxSize), vecTest);
            tried.nMaxSize = std::max(tried.nMaxSize, nOwn);
        }
        const std::size_t nExactStart = nginxStart(n, nBucket, tried.nMaxSize);
        if (wildFits(vecWildHashes, tried) &&
            (n == 0 || firstFit(exact, nBucket, nExactStart, tried.nMaxSize, vecTest) != 0)) {
            result = tried;
            return true;
        }
    }
    if (exact.failed()) {
        nErrno = EIO;
        return false;
    }
    // Nothing fits even the largest bucket: the largest is the best there is.
    result = {kMaxBucketSize, std::max<std::size_t>(nLimit, kDefaultMaxSize)};
    return true;
}
