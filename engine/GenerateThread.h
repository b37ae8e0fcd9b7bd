#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "engine/GenRequest.h"
#include "engine/GenTarget.h"
#include "engine/SiteBuilder.h"

class CEntryWriter;
class CNameQueue;
class COutFile;

// One generation run: the list of the request into its output, line by line, on a thread of its
// own. A stop request takes effect before the next line; the end always reaches the target, once.
class CGenerateThread {
public:
    CGenerateThread(CGenTarget& target, tagGenRequest request);
    // Asks the run to stop and waits for its thread.
    ~CGenerateThread();
    CGenerateThread(const CGenerateThread&) = delete;
    CGenerateThread& operator=(const CGenerateThread&) = delete;

    // Starts the thread; false when the system cannot start one.
    bool CreateThread();
    // The run stops before its next line and puts what it wrote, in whole entries, in place.
    void RequestStop() { m_thread.request_stop(); }
    // The run ends before its next line without changing any file.
    void RequestAbort() {
        m_bAbort.store(true);
        m_thread.request_stop();
    }
    void Join();

    // The run itself, on the calling thread.
    void Generate(std::stop_token stop);

private:
    void Run(std::stop_token& stop, tagGenResult& result);
    // Appends the entry for one line to the output, or reports why it writes none.
    void BuildSite(std::string_view strLine);

    CGenTarget& m_target;
    const tagGenRequest m_request;
    std::jthread m_thread;
    std::string m_strTemplate;

    std::atomic<bool> m_bAbort{false};

    // Valid during a run.
    std::optional<CSiteBuilder> m_builder;
    names::tagNameLimits m_limits;
    COutFile* m_pOut = nullptr;
    CEntryWriter* m_pWriter = nullptr; // instead of m_pOut, for a layout other than the default
    CNameQueue* m_pQueue = nullptr;
    tagGenResult* m_pResult = nullptr;
    std::function<void(std::int64_t, std::int64_t, std::string_view, bool)> m_fnDuplicate;
    bool m_bDiscard = false; // a strict run refused a line: nothing more is written
    std::int64_t m_nLine = 0;
    std::int64_t m_nBuilt = 0; // entries of the default layout built
    std::string m_strScratch;
};
