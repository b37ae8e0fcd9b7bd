#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/GenTarget.h"

// Where a run puts the domains of its list, one by one: it makes them entries. A run knows no
// layout and no server beyond this.
class CEntrySink {
public:
    virtual ~CEntrySink() = default;

    // The domain of line nLine (strLine as the list has it, for reports).
    virtual void addDomain(std::string_view strDomain, std::int64_t nLine, std::string_view strLine) = 0;
    // Ends the last entry; its files wait for the outputs' commit.
    virtual void finish() = 0;
    // A failure that ends the run, with the file and the reason.
    virtual bool failed() const = 0;
    virtual EGenFailure failure(std::string& strPath, std::string& strReason) const = 0;
    // Whole entries made so far.
    virtual std::int64_t entries() const = 0;
    // Too many names to remember them all: later ones were not checked.
    virtual bool namesFull() const = 0;
};
