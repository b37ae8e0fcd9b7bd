#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/FileUtil.h"
#include "engine/OutFile.h"

// Every file a run writes, as one transaction. The outputs are told apart before anything is
// read, and each file of a split output when its name is known; each is written beside its place
// (the files of a split output in a directory of the run's own inside the split directory), and
// none takes its place before all are complete. After a failure or a signal none does, and
// nothing of the run is left behind. Standard output and devices are written as they come, never
// two of them to one stream.
class CRunOutputs {
public:
    enum class ESplitFile { Opened, NamedBefore, Clash, Failed };

    // strOutFile ("-": standard output) is not used with a split directory; the side files (the
    // certbot commands, nginx's hash sizes) may be empty.
    CRunOutputs(std::string strOutFile, std::string strCertbotFile, std::string strSplitDir,
                std::string strHashConfFile = {});
    ~CRunOutputs();
    CRunOutputs(const CRunOutputs&) = delete;
    CRunOutputs& operator=(const CRunOutputs&) = delete;

    // Outputs that go nowhere, for a check that lays out the entries as a run would and writes
    // nothing: no file is opened, none is created. Before open.
    void setDry() { m_bDry = true; }
    // Split files whose bytes are those of the file of the same name in strDir are not written;
    // unchanged() names them. Before open.
    void setUnchangedDir(std::string strDir) { m_strUnchangedDir = std::move(strDir); }
    std::vector<std::string> takeUnchanged() { return std::move(m_vecUnchanged); }

    // False with the two names as given when two outputs are one file.
    bool check(std::string& strPath, std::string& strOther);
    // False with the file and the reason when one cannot be opened; nothing is then left.
    bool open(std::string& strPath, std::string& strReason);

    COutFile* output() { return m_output ? &*m_output : nullptr; }
    COutFile* certbot() { return side(kCertbot); }
    COutFile* hashConf() { return side(kHashConf); }
    bool failed() const;

    // Opens out for the entry named strName of a split output ("NAME.conf"). NamedBefore: an
    // entry of this run has that file already; Clash: it is another output of the run (strPath,
    // strReason: the two names); Failed: strPath and strReason say why.
    ESplitFile openSplitFile(std::string_view strName, COutFile& out, std::string& strPath,
                             std::string& strReason);
    // The entry's file is complete; it waits for commit.
    bool finishSplitFile(COutFile& out, std::string& strReason);
    std::int64_t splitFiles() const { return m_nSplitFiles; }

    // Finishes every output and puts each in its place. False with the file and the reason when
    // one cannot be written: then none of them has taken its place.
    bool commit(std::string& strPath, std::string& strReason);
    // Ends every output without this run's work.
    void discard();
    // Ends a run that failed: streams keep the whole entries they were given, files are left as
    // they were.
    void abandon();

private:
    static constexpr std::size_t kCertbot = 0;
    static constexpr std::size_t kHashConf = 1;
    // A file the run writes beside its entries.
    struct tagSide {
        std::string strPath;
        file::tagFileId id;
        std::optional<COutFile> out;
    };

    COutFile* side(std::size_t i) { return m_sides[i].out ? &*m_sides[i].out : nullptr; }
    bool commitSplitFiles(std::string& strPath, std::string& strReason);
    void removeStaging();

    std::string m_strOutFile;
    std::string m_strSplitDir;
    std::array<tagSide, 2> m_sides;
    std::string m_strSplitCanonical; // the split directory, resolved, with a trailing separator
    std::optional<COutFile> m_output;
    std::string m_strStaging; // the run's own directory inside the split directory
    std::int64_t m_nSplitFiles = 0;
    bool m_bDry = false;
    std::string m_strUnchangedDir;
    std::string m_strOpenSplit; // the split file being made, when it is held to be compared
    std::unordered_set<std::string> m_setSplitNames;
    std::vector<std::string> m_vecUnchanged;
};
