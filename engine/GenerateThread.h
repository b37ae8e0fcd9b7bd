#pragma once

#include <atomic>
#include <functional>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "engine/GenRequest.h"
#include "engine/GenTarget.h"
#include "engine/SiteBuilder.h"

class CGenerateThread;
class CNameSet;
class COutFile;

// Handed to the worker by the front end that starts a run; ThreadProc deletes it.
struct tagThreadParam {
    CGenTarget* hTarget = nullptr;        // receives the notifications
    CGenerateThread* pThread = nullptr;   // filled in by the thread object
    std::atomic<bool>* pStop = nullptr;   // true asks the run to stop before its next line
    tagGenRequest request;                // what to run
};

// Lines of the current run, written by the worker before its first progress notification; 0
// while not known (a list read from a stream is not counted beforehand).
extern std::atomic<std::int64_t> g_nTotal;

using THREADPROC = unsigned (*)(void* pParam);

// The worker entry: runs the record's thread object, then deletes the record.
unsigned ThreadProc(void* pParam);

// One generation run on a thread of its own. Like a framework worker thread, the object deletes
// itself when its thread ends, unless m_bAutoDelete is cleared: then its owner calls Join and
// deletes it.
class CGenerateThread {
public:
    CGenerateThread(THREADPROC pfnThreadProc, tagThreadParam* pParam);
    ~CGenerateThread();
    CGenerateThread(const CGenerateThread&) = delete;
    CGenerateThread& operator=(const CGenerateThread&) = delete;

    // Starts the thread; false when the system cannot start one.
    bool CreateThread();
    void Join();

    // The run: the list into the output file, with progress, stop and end notifications.
    int Generate(tagThreadParam* pParam);
    // Appends the entry for one line to the output, or reports why it writes none.
    void BuildSite(std::string_view strLine);
    // The alias list of a name under the run's settings.
    std::string BuildAliases(std::string_view strDomain) const;

    bool m_bAutoDelete = true;

private:
    void Run(const tagGenRequest& request, tagGenResult& result);

    THREADPROC m_pfnThreadProc;
    tagThreadParam* m_pParam;
    std::thread m_thread;

    CGenTarget* m_hTarget = nullptr;
    std::atomic<bool>* m_pStop = nullptr;
    std::string m_strTemplate;

    // Valid during Generate.
    std::optional<CSiteBuilder> m_builder;
    COutFile* m_pOut = nullptr;
    CNameSet* m_pNames = nullptr;
    tagGenResult* m_pResult = nullptr;
    std::function<void(std::int64_t, std::int64_t, std::string_view, bool)> m_fnDuplicate;
    bool m_bStrict = false;
    bool m_bDiscard = false; // a strict run refused a line: nothing more is written
    std::int64_t m_nLine = 0;
    std::string m_strScratch;
};
