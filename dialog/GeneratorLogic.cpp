#include "dialog/GeneratorLogic.h"

#include <cerrno>

#include "core/Core.h"
#include "core/FileUtil.h"
#include "core/Settings.h"
#include "core/Sys.h"
#include "dialog/RunSettings.h"
#include "engine/GenerateThread.h"
#include "engine/NameRule.h"

namespace {

const std::string kKeySitePath(settings::kKeySitePath);
const std::string kKeyPrefix(settings::kKeyPrefix);
const std::string kKeyWww(settings::kKeyWww);

std::string refusalText(names::EVerdict eReason) {
    switch (eReason) {
    case names::EVerdict::Space:
        return "含有空格";
    case names::EVerdict::Control:
        return "含有控制字符";
    case names::EVerdict::Backslash:
        return "含有反斜杠";
    case names::EVerdict::Quote:
        return "含有引号";
    case names::EVerdict::BadChar:
        return "含有 Apache 不接受的字符";
    case names::EVerdict::EmptyLabel:
        return "含有空的标签";
    case names::EVerdict::LabelTooLong:
        return "有一段超过 63 个字符";
    case names::EVerdict::TooLong:
        return "过长";
    case names::EVerdict::NoAsciiForm:
        return "无法转换为 ASCII 形式";
    case names::EVerdict::InvalidText:
        return "含有无效的字节";
    case names::EVerdict::CatchAll:
        return "是匹配所有域名的通配符";
    case names::EVerdict::FileNameTooLong:
        return "过长，无法作为文件名";
    case names::EVerdict::ServerWildcard:
        return "是服务器不接受的通配符";
    case names::EVerdict::Name:
    case names::EVerdict::Skip:
        break;
    }
    return "无效";
}

// A pasted line keeps its line end: one at either end of a one-line field is dropped.
void dropLineEnds(std::string& str) {
    const std::size_t nFirst = str.find_first_not_of("\r\n");
    if (nFirst == std::string::npos) {
        str.clear();
        return;
    }
    str.erase(str.find_last_not_of("\r\n") + 1);
    str.erase(0, nFirst);
}

// Where the first control character from nFrom on lies, for a warning: a line break inside a
// one-line field shows as a blank, or not at all.
std::string controlCharText(std::string_view str, std::size_t nFrom = 0) {
    std::size_t nChars = 0;
    for (std::size_t i = 0; i < str.size(); ++i) {
        const auto ch = static_cast<unsigned char>(str[i]);
        if ((ch & 0xC0) != 0x80) // a character's first byte
            ++nChars;
        if (i < nFrom || (ch >= 0x20 && ch != 0x7F))
            continue;
        static constexpr char kHex[] = "0123456789ABCDEF";
        const std::string strName = ch == '\n'   ? "换行符（LF）"
                                    : ch == '\r' ? "回车符（CR）"
                                    : ch == '\t'
                                        ? "制表符"
                                        : std::string("控制字符 U+00") + kHex[ch >> 4] + kHex[ch & 0xF];
        std::string strText = "第 " + std::to_string(nChars) + " 个字符是" + strName;
        if (i > 0) {
            // The last 30 characters before it at most, whole.
            std::size_t nStart = i;
            for (int n = 0; nStart > 0 && n < 30;) {
                --nStart;
                if ((static_cast<unsigned char>(str[nStart]) & 0xC0) != 0x80)
                    ++n;
            }
            strText += "，在“" + std::string(nStart > 0 ? "…" : "") +
                       std::string(str.substr(nStart, i - nStart)) + "”之后";
        }
        return strText + "。";
    }
    return {};
}

// A one-line list that begins as a path names a list file, even one that is not there:
// "/", "~/", "\\\\" or a drive ("D:\\", "D:/"). An address ("https://...") is not one.
bool hasPathForm(std::string_view str) {
    if (str.find_first_of("\r\n") != std::string_view::npos)
        return false;
    if (str.starts_with('/') || str.starts_with("~/") || str.starts_with("\\\\"))
        return true;
    const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    return str.size() >= 3 && isLetter(str[0]) && str[1] == ':' && (str[2] == '\\' || str[2] == '/');
}

// Whether a run could read the list file. A device or a pipe is not a list, and opening one
// could wait for a writer for ever, with the dialog waiting for the run.
bool canReadList(const std::string& strPath, std::string& strReason) {
    if (sys::tagFileInfo info; sys::statPath(strPath, info) && !info.bRegular) {
        strReason = info.bDir ? file::errorText(EISDIR) : "不是普通文件";
        return false;
    }
    const int fd = sys::openRead(strPath);
    if (fd < 0) {
        strReason = file::errorText(errno);
        return false;
    }
    sys::closeFd(fd);
    return true;
}

// The lines of a run that wrote nothing, as the warning after the run lists them.
std::string refusedLinesText(const tagGenResult& result) {
    std::string strText = "以下 " + std::to_string(result.nRefused) + " 行未生成配置：";
    for (const tagLineReport& report : result.vecRefused)
        strText += "\n第 " + std::to_string(report.nLine) + " 行：" + refusalText(report.eReason) + "：" +
                   report.strText;
    const auto nMore = result.nRefused - static_cast<std::int64_t>(result.vecRefused.size());
    if (nMore > 0)
        strText += "\n……另有 " + std::to_string(nMore) + " 行未列出。";
    return strText;
}

// The warning for a run that failed: which file, and why.
std::string failureText(const tagGenResult& result) {
    switch (result.eFailure) {
    case EGenFailure::ReadFile:
        return "无法读取文件：" + result.strPath + "\n" + result.strReason;
    case EGenFailure::WriteFile:
        return "无法写入文件：" + result.strPath + "\n" + result.strReason;
    case EGenFailure::LineTooLong:
        return "无法读取文件：" + result.strPath + "\n其中有一行超过 16 MiB，这不是域名列表。";
    case EGenFailure::ListChanged:
        return "文件在读取过程中被修改：" + result.strPath + "\n输出文件保持原样。";
    case EGenFailure::NothingWritten:
        return "未生成任何配置：所有含域名的行都被拒绝，输出文件保持原样。\n" + refusedLinesText(result);
    case EGenFailure::Template:
        return "模板文件第 " + std::to_string(result.nFailLine) + " 行无法安全地写入站点路径：" +
               result.strPath + "\n请把 {sitePath} 单独放在双引号中。";
    case EGenFailure::SitePath:
        return "站点路径无效！";
    case EGenFailure::Prefix:
        return "自定义前缀无效：" + refusalText(result.ePrefix) + "！";
    case EGenFailure::Refused:
    case EGenFailure::Clash:
    case EGenFailure::Aborted:
    case EGenFailure::None:
        break;
    }
    return "操作失败！";
}

} // namespace

void CGeneratorLogic::CTarget::onDone(tagGenResult result) {
    CGeneratorLogic& logic = m_logic;
    logic.m_fnPost([&logic, result = std::move(result)]() mutable { logic.OnGenDone(std::move(result)); });
}

CGeneratorLogic::CGeneratorLogic(CDialogView& view, tagDataDirs dirs)
    : m_view(view), m_dirs(std::move(dirs)), m_pCore(std::make_unique<CCore>(m_dirs.strConfigDir)) {}

CGeneratorLogic::~CGeneratorLogic() {
    Shutdown();
}

void CGeneratorLogic::OnInitDialog() {
    m_pCore->autoFileConfig();
    g_strTemplateFile = m_dirs.strDataDir + "节点模版.txt";
    g_strOutFile = m_dirs.strDataDir + "_out.txt";
    m_view.showFields(m_pCore->getConfigStr(kKeySitePath), m_pCore->getConfigStr(kKeyPrefix),
                      m_pCore->getConfigB(kKeyWww) != 0);
    m_view.focusField(EField::Domains);
}

int CGeneratorLogic::ReadInputs(bool bValidate) {
    const tagFields fields = m_view.readFields();
    g_strSitePath = fields.strSitePath;
    g_strPrefix = fields.strPrefix;
    g_strDomains = fields.strDomains;
    g_bWww = fields.bWww ? 1 : 0;
    dropLineEnds(g_strSitePath);
    dropLineEnds(g_strPrefix);
    if (!bValidate)
        return 1;
    if (g_strSitePath != fields.strSitePath || g_strPrefix != fields.strPrefix)
        m_view.showFields(g_strSitePath, g_strPrefix, fields.bWww);

    const auto refuse = [this](EField eField, const std::string& strText) {
        m_view.focusField(eField);
        m_view.showWarning(strText);
        return 0;
    };
    CCore::trimStr(g_strDomains);
    if (g_strDomains.empty())
        return refuse(EField::Domains, "域名列表不能为空！");
    m_strListFile.clear();
    if (hasPathForm(g_strDomains)) {
        m_strListFile = g_strDomains.starts_with('~') ? homeDir() + g_strDomains.substr(1) : g_strDomains;
        if (std::string strReason; !canReadList(m_strListFile, strReason))
            return refuse(EField::Domains, "无法读取列表文件：" + m_strListFile + "\n" + strReason);
    } else if (CCore::isFileExist(g_strDomains)) {
        m_strListFile = g_strDomains;
    }
    switch (names::checkSitePath(g_strSitePath)) {
    case names::ESitePath::Empty:
        return refuse(EField::SitePath, "站点路径不能为空！");
    case names::ESitePath::Control:
        return refuse(EField::SitePath,
                      "站点路径不能包含换行符或其他控制字符！\n" + controlCharText(g_strSitePath));
    case names::ESitePath::TooLong:
        return refuse(EField::SitePath,
                      "站点路径过长（超过 " + std::to_string(names::kMaxSitePath) + " 字节）！");
    case names::ESitePath::Variable:
        return refuse(EField::SitePath, "站点路径不能包含“${”，Apache 会把它当作变量替换！");
    case names::ESitePath::Ok:
        break;
    }
    std::string strPrefix;
    if (const names::EVerdict eVerdict = names::normalizePrefix(g_strPrefix, strPrefix);
        eVerdict != names::EVerdict::Name) {
        std::string strText = "自定义前缀无效：" + refusalText(eVerdict) + "！";
        // Blanks and tabs at its ends are dropped, and are not what is refused.
        if (eVerdict == names::EVerdict::Control)
            strText += "\n" + controlCharText(g_strPrefix, g_strPrefix.find_first_not_of(" \t"));
        return refuse(EField::Prefix, strText);
    }
    return 1;
}

void CGeneratorLogic::SetStatus(const std::string& strText) {
    m_view.setStatus(strText);
}

void CGeneratorLogic::enterState(EState eState) {
    m_eState = eState;
    switch (eState) {
    case EState::Idle:
        m_view.setStartButton("开始", true);
        break;
    case EState::Running:
        m_view.setStartButton("停止", true);
        break;
    case EState::Stopping:
        m_view.setStartButton("正在停止", false);
        break;
    }
}

void CGeneratorLogic::OnStart() {
    if (m_eState == EState::Running) {
        m_pThread->RequestStop();
        enterState(EState::Stopping);
        return;
    }
    if (m_eState != EState::Idle || !ReadInputs(true))
        return;

    tagGenRequest request;
    request.eList = m_strListFile.empty() ? EListSource::Text : EListSource::File;
    request.strList = m_strListFile.empty() ? g_strDomains : m_strListFile;
    request.strSitePath = g_strSitePath;
    request.strPrefix = g_strPrefix;
    request.bWww = g_bWww != 0;
    request.strTemplateFile = g_strTemplateFile;
    request.strOutFile = g_strOutFile;
    m_fnPost = m_view.poster();
    m_pTarget = std::make_unique<CTarget>(*this);
    m_pThread = std::make_unique<CGenerateThread>(*m_pTarget, std::move(request));
    enterState(EState::Running);
    if (!m_pThread->CreateThread()) {
        m_pThread.reset();
        m_pTarget.reset();
        m_view.showWarning("Cannot Start New Thread");
        enterState(EState::Idle);
        return;
    }
    SetStatus("执行中");
    m_view.setProgressTimer(true);
}

void CGeneratorLogic::OnProgressTimer() {
    if (m_eState == EState::Idle || !m_pTarget)
        return;
    if (const std::int64_t nLine = m_pTarget->progress(); nLine > 0)
        SetStatus("执行中... " + std::to_string(nLine) + "/" + std::to_string(m_pTarget->total()));
}

// The worker has posted its end and touches nothing of ours any more: only its thread is left
// to wait for.
void CGeneratorLogic::OnGenDone(tagGenResult result) {
    if (m_bDestroyed)
        return;
    Shutdown();
    m_view.setProgressTimer(false);
    enterState(EState::Idle);
    if (result.eFailure != EGenFailure::None) {
        SetStatus("操作失败！");
        m_view.showWarning(failureText(result));
        return;
    }
    SetStatus("操作结束！");
    if (result.nRefused > 0)
        m_view.showWarning(refusedLinesText(result));
    openOutput();
}

void CGeneratorLogic::openOutput() {
    if (!CCore::isFileExist(g_strOutFile)) {
        m_view.showWarning("输出文件不存在：\n" + g_strOutFile);
        return;
    }
    std::string strReason;
    if (!m_view.openFile(g_strOutFile, strReason))
        m_view.showWarning("无法打开输出文件：\n" + g_strOutFile + "\n" + strReason);
}

void CGeneratorLogic::OnOutput() {
    openOutput();
}

void CGeneratorLogic::OnAbout() {
    m_view.showAbout();
}

void CGeneratorLogic::OnDestroy() {
    if (m_bDestroyed)
        return;
    m_bDestroyed = true;
    if (m_pThread)
        m_pThread->RequestStop();
    m_view.setProgressTimer(false);
    ReadInputs(false);
    m_pCore->saveConfigStr(kKeySitePath, g_strSitePath);
    m_pCore->saveConfigStr(kKeyPrefix, g_strPrefix);
    m_pCore->saveConfigB(kKeyWww, g_bWww);
}

void CGeneratorLogic::Shutdown() {
    if (m_pThread) {
        m_pThread->Join();
        m_pThread.reset();
    }
    m_pTarget.reset();
}
