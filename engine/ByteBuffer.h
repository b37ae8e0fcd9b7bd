#pragma once

#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

// Copies n bytes and returns the end. Entries are made of many short pieces, and a call into
// the C library for each costs more than the copy itself: sizes up to 128 are copied with a
// pair of overlapping fixed-size moves that the compiler inlines.
[[gnu::always_inline]] inline char* copyBytes(char* pDst, const char* pSrc, std::size_t n) {
    if (n >= 16) {
        if (n > 128) {
            std::memcpy(pDst, pSrc, n);
        } else if (n > 64) {
            std::memcpy(pDst, pSrc, 64);
            std::memcpy(pDst + n - 64, pSrc + n - 64, 64);
        } else if (n > 32) {
            std::memcpy(pDst, pSrc, 32);
            std::memcpy(pDst + n - 32, pSrc + n - 32, 32);
        } else {
            std::memcpy(pDst, pSrc, 16);
            std::memcpy(pDst + n - 16, pSrc + n - 16, 16);
        }
    } else if (n >= 8) {
        std::memcpy(pDst, pSrc, 8);
        std::memcpy(pDst + n - 8, pSrc + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(pDst, pSrc, 4);
        std::memcpy(pDst + n - 4, pSrc + n - 4, 4);
    } else if (n > 0) {
        pDst[0] = pSrc[0];
        pDst[n / 2] = pSrc[n / 2];
        pDst[n - 1] = pSrc[n - 1];
    }
    return pDst + n;
}

// A growable byte buffer without the zero-filling and per-call checks of std::string: an entry
// reserves its whole size once, then is copied in piece by piece.
class CByteBuffer {
public:
    CByteBuffer() = default;
    // A buffer moved from is empty.
    CByteBuffer(CByteBuffer&& other) noexcept { swap(other); }
    CByteBuffer& operator=(CByteBuffer&& other) noexcept {
        CByteBuffer(std::move(other)).swap(*this);
        return *this;
    }
    // Room for n more bytes; write them at the returned address, then commit them.
    char* reserveTail(std::size_t n) {
        if (n > m_nCapacity - m_nSize)
            grow(m_nSize + n);
        return m_pData.get() + m_nSize;
    }
    void commit(std::size_t n) { m_nSize += n; }

    void append(std::string_view str) {
        if (str.empty())
            return;
        std::memcpy(reserveTail(str.size()), str.data(), str.size());
        m_nSize += str.size();
    }
    void reserve(std::size_t n) {
        if (n > m_nCapacity)
            grow(n);
    }
    void clear() { m_nSize = 0; }
    void swap(CByteBuffer& other) noexcept {
        m_pData.swap(other.m_pData);
        std::swap(m_nSize, other.m_nSize);
        std::swap(m_nCapacity, other.m_nCapacity);
    }

    std::size_t size() const { return m_nSize; }
    bool empty() const { return m_nSize == 0; }
    std::string_view view() const { return {m_pData.get(), m_nSize}; }

private:
    void grow(std::size_t nNeeded) {
        std::size_t nCapacity = m_nCapacity < 256 ? 256 : m_nCapacity;
        while (nCapacity < nNeeded)
            nCapacity *= 2;
        auto pData = std::make_unique_for_overwrite<char[]>(nCapacity);
        if (m_nSize)
            std::memcpy(pData.get(), m_pData.get(), m_nSize);
        m_pData = std::move(pData);
        m_nCapacity = nCapacity;
    }

    std::unique_ptr<char[]> m_pData;
    std::size_t m_nSize = 0;
    std::size_t m_nCapacity = 0;
};
