#include "dialog/RunSettings.h"

std::string g_strDomains;
std::string g_strSitePath;
std::string g_strPrefix;
int g_bWww = 0;
std::string g_strTemplateFile;
std::string g_strOutFile;
