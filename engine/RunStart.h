#pragma once

#include <memory>
#include <string>

#include "engine/GenRequest.h"
#include "engine/GenTarget.h"
#include "engine/ListReader.h"
#include "engine/RunOutputs.h"
#include "engine/SiteBuilder.h"

class CEntryDialect;
class CNginxHashSizer;

// What a run and a check of it do first, the same way: a refused field or a list that cannot be
// read starts nothing, and result says why.
namespace runstart {

// The site path and the prefix (strPrefix: in ASCII form).
bool checkFields(const tagGenRequest& request, std::string& strPrefix, tagGenResult& result);
// The list the request names; strListName: its path, "-" for standard input, empty for text.
bool openList(const tagGenRequest& request, CListReader& reader, std::string& strListName,
              tagGenResult& result);
void fail(tagGenResult& result, EGenFailure eFailure, const std::string& strPath, std::string strReason);
// The entries' text for the request's server; nginx's tells pSizer each name, if given.
std::unique_ptr<CEntryDialect> makeDialect(const tagGenRequest& request, const tagSiteSettings& site,
                                           CNginxHashSizer* pSizer);
// Opened outputs begin as the run's do: an nginx output that is a named file with the line that
// says what its names need of the server names hash, filled at the end.
void beginOutputs(const tagGenRequest& request, CRunOutputs& outputs);

// A domain seen again, as the run reports it: its text shown, cut where it was cut.
void reportDuplicate(tagGenResult& result, std::int64_t nLine, std::int64_t nFirstLine,
                     std::string_view strText, bool bCut);

} // namespace runstart
