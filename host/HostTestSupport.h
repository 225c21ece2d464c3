// Test scaffolding shared by the host's tests and the scenario tests: a
// throw-away directory for user directories and a post office, event sinks
// that record the thread they ran on, and a wait for an event.
// Test code only.
#pragma once

#include <gtest/gtest.h>

#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/HostProcess.h"
#include "platform/com/ComObject.h"
#include "platform/com/Dispatch.h"
#include "platform/outlook/Outlook.h"
#include "platform/win/Clock.h"

namespace host::testing {

// A directory under $TMPDIR (or /tmp) removed with everything below it.
class TempRoot {
public:
    TempRoot() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qm-host-XXXXXX";
        char* made = mkdtemp(pattern.data());
        m_path = made ? made : "";
    }
    ~TempRoot() {
        if (!m_path.empty())
            nftw(m_path.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& Path() const { return m_path; }

private:
    static int Remove(const char* path, const struct stat*, int, FTW*) { return std::remove(path); }
    std::string m_path;
};

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}
inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Waits until condition holds; its last answer. On the virtual clock (the
// in-process client's tests) for at most limitMs of platform time, which
// passes only while every counted thread waits, so whatever the machine's
// load; on the real clock (host processes) until limitMs of platform time
// and the real hang bound of host::WaitUntil have passed.
inline bool WaitUntil(const std::function<bool()>& condition, ULONGLONG limitMs) {
    if (win::VirtualClockOn())
        return win::WaitForCondition(condition, static_cast<DWORD>(limitMs));
    return host::WaitUntil(condition, limitMs);
}

// Records each event: its DISPID, the thread it ran on and the subject of
// an item argument.
class RecordingSink final : public com::ComObject<RecordingSink, IDispatch> {
public:
    struct Event {
        DISPID id;
        std::thread::id thread;
        std::wstring subject;
    };
    std::function<void(DISPID, DISPPARAMS*)> onEvent;

    HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                   UINT*) override {
        Event e{id, std::this_thread::get_id(), {}};
        if (params && params->cArgs >= 1 && params->rgvarg[params->cArgs - 1].vt == VT_DISPATCH) {
            CComVariant subject;
            if (SUCCEEDED(com::GetProperty(params->rgvarg[params->cArgs - 1].pdispVal,
                                           outlook::dispid::kSubject, &subject)) &&
                subject.vt == VT_BSTR)
                e.subject = subject.bstrVal ? subject.bstrVal : L"";
        }
        {
            std::lock_guard lock(m_mutex);
            m_events.push_back(e);
        }
        if (onEvent)
            onEvent(id, params);
        return S_OK;
    }
    std::vector<Event> Events() {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    int Count(DISPID id) {
        std::lock_guard lock(m_mutex);
        int n = 0;
        for (const auto& e : m_events)
            n += e.id == id;
        return n;
    }

private:
    std::mutex m_mutex;
    std::vector<Event> m_events;
};

}  // namespace host::testing
