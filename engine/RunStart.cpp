#include "engine/RunStart.h"

#include "core/Sys.h"
#include "engine/ApacheDialect.h"
#include "engine/NginxDialect.h"

namespace runstart {

void fail(tagGenResult& result, EGenFailure eFailure, const std::string& strPath, std::string strReason) {
    result.eFailure = eFailure;
    result.strPath = strPath;
    result.strReason = std::move(strReason);
}

bool checkFields(const tagGenRequest& request, std::string& strPrefix, tagGenResult& result) {
    result.eSitePath = names::checkSitePath(request.strSitePath, request.eServer == EServerKind::Nginx);
    if (result.eSitePath != names::ESitePath::Ok) {
        fail(result, EGenFailure::SitePath, {}, {});
        return false;
    }
    result.ePrefix = names::normalizePrefix(request.strPrefix, strPrefix);
    if (result.ePrefix != names::EVerdict::Name) {
        fail(result, EGenFailure::Prefix, {}, {});
        return false;
    }
    return true;
}

bool openList(const tagGenRequest& request, CListReader& reader, std::string& strListName,
              tagGenResult& result) {
    std::string strReason;
    bool bOk = true;
    switch (request.eList) {
    case EListSource::Text:
        reader.openText(request.strList);
        break;
    case EListSource::File:
        strListName = request.strList;
        bOk = reader.openFile(strListName, strReason);
        break;
    case EListSource::StdIn:
        strListName = std::string(kStdInName);
        bOk = reader.openFd(sys::kStdIn, strReason);
        break;
    }
    if (!bOk)
        fail(result, EGenFailure::ReadFile, strListName, strReason);
    return bOk;
}

void reportDuplicate(tagGenResult& result, std::int64_t nLine, std::int64_t nFirstLine,
                     std::string_view strText, bool bCut) {
    if (result.vecDuplicates.size() < tagGenResult::kMaxReports) {
        // A text cut short shows as cut.
        std::string strShown = names::visibleText(strText, bCut ? 57 : 60);
        if (bCut && !strShown.ends_with("..."))
            strShown += "...";
        result.vecDuplicates.push_back({nLine, names::EVerdict::Name, nFirstLine, std::move(strShown)});
    }
    ++result.nDuplicates;
}

} // namespace runstart

std::unique_ptr<CEntryDialect> runstart::makeDialect(const tagGenRequest& request,
                                                     const tagSiteSettings& site, CNginxHashSizer* pSizer) {
    if (request.eServer != EServerKind::Nginx)
        return std::make_unique<CApacheDialect>(site, request.layout);
    auto pNginx = std::make_unique<CNginxDialect>(site, request.layout);
    pNginx->setHashSizer(pSizer);
    return pNginx;
}

void runstart::beginOutputs(const tagGenRequest& request, CRunOutputs& outputs) {
    if (request.eServer == EServerKind::Nginx && outputs.output())
        outputs.output()->reserveHead(CNginxDialect::kHashHeadSize);
}
