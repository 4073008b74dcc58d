// The small part of the Windows vocabulary the output back-ends are written in: scalar types,
// HRESULTs, GUIDs, COM start-up and memory helpers, PROPVARIANT, events and waits, MMCSS.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

namespace kva_audioplayer {

typedef int32_t HRESULT;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef uint16_t WORD;
typedef uint8_t BYTE;
typedef int32_t BOOL;
typedef int64_t REFERENCE_TIME;  // 100-nanosecond units
typedef char16_t* LPWSTR;
typedef const char16_t* LPCWSTR;
typedef void* HANDLE;

constexpr BOOL FALSE = 0;
constexpr BOOL TRUE = 1;

constexpr HRESULT MakeHr(uint32_t v) { return static_cast<HRESULT>(v); }
constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = MakeHr(0x80004001u);
constexpr HRESULT E_NOINTERFACE = MakeHr(0x80004002u);
constexpr HRESULT E_POINTER = MakeHr(0x80004003u);
constexpr HRESULT E_FAIL = MakeHr(0x80004005u);
constexpr HRESULT E_UNEXPECTED = MakeHr(0x8000FFFFu);
constexpr HRESULT E_OUTOFMEMORY = MakeHr(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = MakeHr(0x80070057u);
constexpr HRESULT E_NOTFOUND = MakeHr(0x80070490u);  // HRESULT_FROM_WIN32(ERROR_NOT_FOUND)
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHr(0x80040154u);
constexpr HRESULT CO_E_CLASSSTRING = MakeHr(0x800401F3u);

constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = MakeHr(0x88890001u);
constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = MakeHr(0x88890002u);
constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = MakeHr(0x88890004u);
constexpr HRESULT AUDCLNT_E_NOT_STOPPED = MakeHr(0x88890005u);
constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = MakeHr(0x88890006u);
constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = MakeHr(0x88890007u);
constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = MakeHr(0x88890008u);
constexpr HRESULT AUDCLNT_E_INVALID_SIZE = MakeHr(0x88890009u);
constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_SET = MakeHr(0x88890014u);

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID is 16 bytes");
inline bool operator==(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFIID;
typedef const GUID& REFCLSID;
typedef const GUID& REFGUID;
typedef const GUID* LPCGUID;

extern const GUID GUID_NULL;
extern const IID IID_IUnknown;

// COM start-up. Nothing to set up here; the calls exist so that callers keep their sequence.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_ALL = 23;
HRESULT CoInitialize(void* reserved);
void CoUninitialize();
void* CoTaskMemAlloc(size_t bytes);
void CoTaskMemFree(void* p);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" only; CO_E_CLASSSTRING otherwise.
HRESULT CLSIDFromString(LPCWSTR text, CLSID* out);

class IUnknown {
public:
    virtual HRESULT QueryInterface(REFIID riid, void** out) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    virtual ~IUnknown() = default;
};

template <typename T>
inline void SafeRelease(T*& p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}

// Holds one reference and releases it when it goes, so that a failing step can simply return.
template <typename T>
class ComPtr {
public:
    ComPtr() = default;
    explicit ComPtr(T* p) : mP(p) {}
    ~ComPtr() { SafeRelease(mP); }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : mP(other.Detach()) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            SafeRelease(mP);
            mP = other.Detach();
        }
        return *this;
    }

    T* Get() const { return mP; }
    T* operator->() const { return mP; }
    explicit operator bool() const { return mP != nullptr; }
    // For an out-parameter: what was held is released first.
    T** Put() {
        SafeRelease(mP);
        return &mP;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }
    // Hands the reference to the caller.
    T* Detach() {
        T* p = mP;
        mP = nullptr;
        return p;
    }

private:
    T* mP = nullptr;
};

// Property values: only wide strings and blobs are ever produced.
typedef uint16_t VARTYPE;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_LPWSTR = 31;
constexpr VARTYPE VT_BLOB = 65;

struct BLOB {
    uint32_t cbSize;
    BYTE* pBlobData;
};

struct PROPVARIANT {
    VARTYPE vt;
    union {
        LPWSTR pwszVal;
        BLOB blob;
    };
};
void PropVariantInit(PROPVARIANT* pv);
// Frees what the value owns (CoTaskMem allocations) and empties it.
HRESULT PropVariantClear(PROPVARIANT* pv);

struct PROPERTYKEY {
    GUID fmtid;
    DWORD pid;
};
inline bool operator==(const PROPERTYKEY& a, const PROPERTYKEY& b) {
    return a.fmtid == b.fmtid && a.pid == b.pid;
}
typedef const PROPERTYKEY& REFPROPERTYKEY;

// The calling thread's last error.
void SetLastError(DWORD code);
DWORD GetLastError();
// The debugger output stream: standard error, the message then a line end.
void OutputDebugStringW(LPCWSTR text);
void OutputDebugStringA(const char* text);

// Events and waits. Handles made here are closed with CloseHandle.
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

HANDLE CreateEventW(void* attributes, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

// MMCSS. Here a best-effort priority raise of the calling thread: SCHED_FIFO when permitted,
// else a lower nice value. Reverting restores what the thread had.
enum AVRT_PRIORITY { AVRT_PRIORITY_NORMAL = 0, AVRT_PRIORITY_HIGH = 2 };
HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR taskName, DWORD* taskIndex);
BOOL AvSetMmThreadPriority(HANDLE task, AVRT_PRIORITY priority);
BOOL AvRevertMmThreadCharacteristics(HANDLE task);

// For the threads of the emulated audio stack that feed a sound server (the waveOut driver, the
// DirectSound mixer, the server connection): like the render threads, best effort, one step
// below them. Lasts as long as the calling thread.
void RaiseAudioServiceThread();

// Reference counting and QueryInterface for an emulated COM object of one interface (and
// IUnknown). The last Release deletes it.
template <class I, const IID& Iid>
class ComObject : public I {
public:
    uint32_t AddRef() override { return mRefs.fetch_add(1, std::memory_order_relaxed) + 1; }
    uint32_t Release() override {
        uint32_t n = mRefs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (n == 0) delete this;
        return n;
    }
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == IID_IUnknown || iid == Iid) {
            AddRef();
            *out = static_cast<I*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }

protected:
    ComObject() = default;
    ~ComObject() override = default;

private:
    std::atomic<uint32_t> mRefs{1};
};

}  // namespace kva_audioplayer
