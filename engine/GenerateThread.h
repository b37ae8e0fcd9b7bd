#pragma once

#include <atomic>
#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>

#include "engine/GenRequest.h"
#include "engine/GenTarget.h"

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

    CGenTarget& m_target;
    const tagGenRequest m_request;
    std::jthread m_thread;
    std::atomic<bool> m_bAbort{false};
};
