#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/ByteBuffer.h"

// The text of entries on one web server. The layouts (how many domains an entry holds, where it
// goes, its HTTPS twin and its certificate) are the same on every server: only this differs.
class CEntryDialect {
public:
    virtual ~CEntryDialect() = default;

    // 0, or the user's template's first line that cannot hold the site path: nothing is written.
    virtual std::int64_t templateFailLine() const = 0;
    // The whole entry of a domain that is alone in its entry, with its names: the user's template
    // where there is one.
    virtual void appendSingleEntry(std::string_view strDomain, CByteBuffer& out) const = 0;
    // An entry of several domains: its opening, then a line of names for each domain, then its
    // end. The HTTPS twin (bTwin) ends with the certificate named strCertName; the plain entry
    // with the redirect to HTTPS where it is asked for and bRedirect allows it (its twin is written).
    virtual void appendOpening(bool bTwin, CByteBuffer& out) const = 0;
    virtual void appendNames(const std::string* pNames, std::size_t nNames, CByteBuffer& out) const = 0;
    virtual void appendClosing(bool bTwin, bool bRedirect, std::string_view strCertName,
                               CByteBuffer& out) const = 0;
    // Whether the server takes a name that an earlier entry holds without a word (the first
    // entry keeps it): else a domain listed again is written once.
    virtual bool takesRepeatedNames() const = 0;
};
