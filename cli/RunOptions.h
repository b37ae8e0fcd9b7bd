#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "engine/GenRequest.h"

// The options of a run as typed, shared by the run and by `check`, which reads the names a run
// would write.
struct tagRunOptions {
    std::string strSitePath, strPrefix, strTemplate, strOutput = "-", strList = "-";
    bool bWww = false, bIdn = false, bQuiet = false, bStrict = false;
    std::string strPack = "1";
    std::string strListen = "*";
    std::string strSplitDir;
    std::string strHttps; // "existing" (--https alone) or "all"; empty without --https
    std::string strCertGroup = "domain";
    std::string strLimitOrders = "300/3", strLimitDomain = "50/168";
    std::string strCertPath = std::string(kDefaultCertPath);
    std::string strCertbotFile;
    bool bRedirect = false;
    std::string strServerKind = "apache";
    std::string strHashConf;
    std::string strHttp2 = "auto";
};

// Adds the run's options to app, bound to options.
void addRunOptions(CLI::App& app, tagRunOptions& options);

// The request the options ask for, with the list from standard input when none is named. False
// with the usage error's text (without the program's name) when they cannot be used together or
// a field cannot be written.
bool makeRequest(const CLI::App& app, const tagRunOptions& options, tagGenRequest& request,
                 std::string& strError);
