#include "platform/WinCompat.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>

#include "support/Log.h"
#include "support/TextUtil.h"

namespace kva_audioplayer {

const GUID GUID_NULL = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};
const IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

HRESULT CoInitialize(void*) { return S_OK; }
void CoUninitialize() {}

void* CoTaskMemAlloc(size_t bytes) { return malloc(bytes ? bytes : 1); }
void CoTaskMemFree(void* p) { free(p); }

namespace {
int HexValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}
bool ParseHex(const char16_t* p, int digits, uint64_t* out) {
    uint64_t v = 0;
    for (int i = 0; i < digits; ++i) {
        int h = HexValue(p[i]);
        if (h < 0) return false;
        v = (v << 4) | static_cast<uint64_t>(h);
    }
    *out = v;
    return true;
}
}  // namespace

HRESULT CLSIDFromString(LPCWSTR text, CLSID* out) {
    if (!text || !out) return E_INVALIDARG;
    // {8-4-4-4-12}
    size_t len = 0;
    while (text[len]) ++len;
    if (len != 38 || text[0] != u'{' || text[37] != u'}' || text[9] != u'-' || text[14] != u'-' ||
        text[19] != u'-' || text[24] != u'-')
        return CO_E_CLASSSTRING;
    uint64_t v;
    GUID g;
    if (!ParseHex(text + 1, 8, &v)) return CO_E_CLASSSTRING;
    g.Data1 = static_cast<uint32_t>(v);
    if (!ParseHex(text + 10, 4, &v)) return CO_E_CLASSSTRING;
    g.Data2 = static_cast<uint16_t>(v);
    if (!ParseHex(text + 15, 4, &v)) return CO_E_CLASSSTRING;
    g.Data3 = static_cast<uint16_t>(v);
    static const int kOffsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ParseHex(text + kOffsets[i], 2, &v)) return CO_E_CLASSSTRING;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    *out = g;
    return S_OK;
}

void PropVariantInit(PROPVARIANT* pv) {
    if (pv) memset(pv, 0, sizeof(*pv));
}

HRESULT PropVariantClear(PROPVARIANT* pv) {
    if (!pv) return S_OK;
    if (pv->vt == VT_LPWSTR) CoTaskMemFree(pv->pwszVal);
    else if (pv->vt == VT_BLOB) CoTaskMemFree(pv->blob.pBlobData);
    memset(pv, 0, sizeof(*pv));
    return S_OK;
}

namespace {
thread_local DWORD tLastError = 0;

void WriteAll(const char* data, size_t len) {
    while (len > 0) {
        ssize_t n = ::write(STDERR_FILENO, data, len);
        if (n <= 0) return;
        data += n;
        len -= static_cast<size_t>(n);
    }
}
}  // namespace

void SetLastError(DWORD code) { tLastError = code; }
DWORD GetLastError() { return tLastError; }

void OutputDebugStringA(const char* text) {
    if (text) WriteAll(text, strlen(text));
    WriteAll("\n", 1);
}

void OutputDebugStringW(LPCWSTR text) {
    std::string utf8 = Utf16ToUtf8(text);
    OutputDebugStringA(utf8.c_str());
}

// ---- handles ----

namespace {
struct HandleObject {
    virtual ~HandleObject() = default;
};

struct EventObject : HandleObject {
    std::mutex mutex;
    std::condition_variable cond;
    bool signalled = false;
    bool manualReset = false;
};

EventObject* AsEvent(HANDLE h) { return dynamic_cast<EventObject*>(static_cast<HandleObject*>(h)); }
}  // namespace

HANDLE CreateEventW(void*, BOOL manualReset, BOOL initialState, LPCWSTR) {
    auto* e = new EventObject;
    e->manualReset = manualReset != FALSE;
    e->signalled = initialState != FALSE;
    return static_cast<HandleObject*>(e);
}

BOOL SetEvent(HANDLE event) {
    EventObject* e = AsEvent(event);
    if (!e) return FALSE;
    {
        std::lock_guard<std::mutex> lock(e->mutex);
        e->signalled = true;
    }
    if (e->manualReset) e->cond.notify_all();
    else e->cond.notify_one();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    EventObject* e = AsEvent(event);
    if (!e) return FALSE;
    std::lock_guard<std::mutex> lock(e->mutex);
    e->signalled = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    EventObject* e = AsEvent(handle);
    if (!e) return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(e->mutex);
    if (milliseconds == INFINITE) {
        e->cond.wait(lock, [e] { return e->signalled; });
    } else if (!e->cond.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                 [e] { return e->signalled; })) {
        return WAIT_TIMEOUT;
    }
    if (!e->manualReset) e->signalled = false;
    return WAIT_OBJECT_0;
}

BOOL CloseHandle(HANDLE handle) {
    if (!handle) return FALSE;
    delete static_cast<HandleObject*>(handle);
    return TRUE;
}

// ---- MMCSS ----

namespace {
struct MmTask : HandleObject {
    pid_t tid = 0;
    int policy = SCHED_OTHER;
    sched_param param{};
    int nice = 0;
    bool raised = false;     // SCHED_FIFO taken
    bool reniced = false;    // nice value lowered instead
};
}  // namespace

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR, DWORD* taskIndex) {
    auto* task = new MmTask;
    task->tid = static_cast<pid_t>(syscall(SYS_gettid));
    pthread_getschedparam(pthread_self(), &task->policy, &task->param);
    errno = 0;
    task->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(task->tid));
    if (taskIndex) *taskIndex = 1;
    return static_cast<HandleObject*>(task);
}

BOOL AvSetMmThreadPriority(HANDLE handle, AVRT_PRIORITY priority) {
    auto* task = dynamic_cast<MmTask*>(static_cast<HandleObject*>(handle));
    if (!task) return FALSE;
    if (priority <= AVRT_PRIORITY_NORMAL) return TRUE;
    int lo = sched_get_priority_min(SCHED_FIFO);
    int hi = sched_get_priority_max(SCHED_FIFO);
    sched_param p{};
    p.sched_priority = lo + (hi - lo) / 4;  // above ordinary real-time helpers, below the kernel's
    int err = pthread_setschedparam(pthread_self(), SCHED_FIFO, &p);
    if (err == 0) {
        task->raised = true;
        return TRUE;
    }
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(task->tid), task->nice - 10) == 0) {
        task->reniced = true;
        return TRUE;
    }
    // Unprivileged processes may not lower their nice value below the soft limit; take what is
    // allowed.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NICE, &rl) == 0 && rl.rlim_cur > 0) {
        int floor = 20 - static_cast<int>(rl.rlim_cur);
        if (floor < task->nice &&
            setpriority(PRIO_PROCESS, static_cast<id_t>(task->tid), floor) == 0) {
            task->reniced = true;
            return TRUE;
        }
    }
    KVA_LOG(kLogDetail, "AvSetMmThreadPriority: no priority raise permitted (%d)", err);
    return FALSE;
}

void RaiseAudioServiceThread() {
    const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
    sched_param p{};
    p.sched_priority = std::max(lo, lo + (hi - lo) / 4 - 1);
    if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &p) == 0) return;
    const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
    if (setpriority(PRIO_PROCESS, tid, getpriority(PRIO_PROCESS, tid) - 10) != 0)
        KVA_LOG(kLogDetail, "RaiseAudioServiceThread: no priority raise permitted");
}

BOOL AvRevertMmThreadCharacteristics(HANDLE handle) {
    auto* task = dynamic_cast<MmTask*>(static_cast<HandleObject*>(handle));
    if (!task) return FALSE;
    if (task->raised) pthread_setschedparam(pthread_self(), task->policy, &task->param);
    if (task->reniced) setpriority(PRIO_PROCESS, static_cast<id_t>(task->tid), task->nice);
    delete task;
    return TRUE;
}

}  // namespace kva_audioplayer
