#pragma once

#include <string>

#include "engine/GenRequest.h"
#include "engine/GenTarget.h"
#include "engine/ListReader.h"

// What a run and a check of it do first, the same way: a refused field or a list that cannot be
// read starts nothing, and result says why.
namespace runstart {

// The site path and the prefix (strPrefix: in ASCII form).
bool checkFields(const tagGenRequest& request, std::string& strPrefix, tagGenResult& result);
// The list the request names; strListName: its path, "-" for standard input, empty for text.
bool openList(const tagGenRequest& request, CListReader& reader, std::string& strListName,
              tagGenResult& result);
void fail(tagGenResult& result, EGenFailure eFailure, const std::string& strPath, std::string strReason);

} // namespace runstart
