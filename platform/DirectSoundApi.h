// DirectSound over the sound-system layer: the calls the DirectSound back-end makes, with their
// Windows names, arguments and results. A device GUID is derived from the endpoint id (the same
// GUID as the endpoint's PKEY_AudioEndpoint_GUID); the primary device (null GUID) is the default
// endpoint. A secondary buffer is a looping buffer whose play cursor a mixer thread advances in
// real time while it feeds a render stream; on a system that consumes as fast as fed, the
// cursor advances as fast as the buffer is written.
//
// A fault inside the library (injected through the sound system's "dsound.fault") is raised as
// a DirectSoundFault exception from the call, where Windows would raise a structured exception.
#pragma once

#include <cstdint>
#include <exception>

#include "platform/CoreAudio.h"

namespace kva_audioplayer {

typedef int32_t LONG;
typedef void* HWND;
typedef void* HMODULE;

constexpr HRESULT DS_OK = S_OK;
constexpr HRESULT DSERR_INVALIDPARAM = E_INVALIDARG;
constexpr HRESULT DSERR_OUTOFMEMORY = E_OUTOFMEMORY;
constexpr HRESULT DSERR_GENERIC = E_FAIL;
constexpr HRESULT DSERR_NOINTERFACE = E_NOINTERFACE;
constexpr HRESULT DSERR_INVALIDCALL = MakeHr(0x88780032u);
constexpr HRESULT DSERR_BADFORMAT = MakeHr(0x88780064u);
constexpr HRESULT DSERR_NODRIVER = MakeHr(0x88780078u);
constexpr HRESULT DSERR_BUFFERLOST = MakeHr(0x88780096u);
constexpr HRESULT DSERR_UNINITIALIZED = MakeHr(0x887800AAu);

constexpr DWORD DSSCL_NORMAL = 0x1;
constexpr DWORD DSSCL_PRIORITY = 0x2;

constexpr DWORD DSBCAPS_PRIMARYBUFFER = 0x1;
constexpr DWORD DSBCAPS_LOCSOFTWARE = 0x8;
constexpr DWORD DSBCAPS_CTRLVOLUME = 0x80;
constexpr DWORD DSBCAPS_CTRLPOSITIONNOTIFY = 0x100;
constexpr DWORD DSBCAPS_GLOBALFOCUS = 0x8000;
constexpr DWORD DSBCAPS_GETCURRENTPOSITION2 = 0x10000;

constexpr DWORD DSBPLAY_LOOPING = 0x1;
constexpr DWORD DSBSTATUS_PLAYING = 0x1;
constexpr DWORD DSBSTATUS_BUFFERLOST = 0x2;
constexpr DWORD DSBSTATUS_LOOPING = 0x4;
constexpr DWORD DSBLOCK_FROMWRITECURSOR = 0x1;
constexpr DWORD DSBLOCK_ENTIREBUFFER = 0x2;
constexpr DWORD DSBSIZE_MIN = 4;
constexpr DWORD DSBSIZE_MAX = 0x0FFFFFFF;
constexpr LONG DSBVOLUME_MIN = -10000;
constexpr LONG DSBVOLUME_MAX = 0;

struct DSBUFFERDESC {
    DWORD dwSize;
    DWORD dwFlags;
    DWORD dwBufferBytes;
    DWORD dwReserved;
    WAVEFORMATEX* lpwfxFormat;
    GUID guid3DAlgorithm;
};
static_assert(sizeof(DSBUFFERDESC) == 40, "DSBUFFERDESC is 40 bytes");

extern const GUID DSDEVID_DefaultPlayback;
extern const IID IID_IDirectSound;
extern const IID IID_IDirectSoundBuffer;

class IDirectSoundBuffer : public IUnknown {
public:
    virtual HRESULT GetCurrentPosition(DWORD* playCursor, DWORD* writeCursor) = 0;
    virtual HRESULT GetStatus(DWORD* status) = 0;
    virtual HRESULT GetVolume(LONG* volume) = 0;
    virtual HRESULT Lock(DWORD offset, DWORD bytes, void** ptr1, DWORD* bytes1, void** ptr2,
                         DWORD* bytes2, DWORD flags) = 0;
    virtual HRESULT Play(DWORD reserved, DWORD priority, DWORD flags) = 0;
    virtual HRESULT SetCurrentPosition(DWORD position) = 0;
    // Secondary buffers keep the format they were made with: DSERR_INVALIDCALL.
    virtual HRESULT SetFormat(const WAVEFORMATEX* format) = 0;
    // Hundredths of a decibel, DSBVOLUME_MIN (silence) to 0.
    virtual HRESULT SetVolume(LONG volume) = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Unlock(void* ptr1, DWORD bytes1, void* ptr2, DWORD bytes2) = 0;
    virtual HRESULT Restore() = 0;
};

class IDirectSound : public IUnknown {
public:
    virtual HRESULT CreateSoundBuffer(const DSBUFFERDESC* desc, IDirectSoundBuffer** out,
                                      IUnknown* outer) = 0;
    virtual HRESULT SetCooperativeLevel(HWND window, DWORD level) = 0;
};

// Raised by a call that faulted inside the library.
class DirectSoundFault : public std::exception {
public:
    const char* what() const noexcept override { return "fault inside DirectSound"; }
};

// Fault names consulted through the sound system besides "dsound.lost" (the buffer is lost on
// its next position read, lock or play):
extern const char* const kFaultDSoundFault;  // "dsound.fault": the next guarded call faults
extern const char* const kFaultDSoundStall;  // "dsound.stall": the buffer stops by itself
extern const char* const kFaultDSoundLoad;   // "dsound.load": the library cannot be loaded

typedef BOOL (*LPDSENUMCALLBACKW)(GUID* guid, LPCWSTR description, LPCWSTR module, void* context);
typedef HRESULT (*DirectSoundCreateFn)(LPCGUID device, IDirectSound** out, IUnknown* outer);
typedef HRESULT (*DirectSoundEnumerateWFn)(LPDSENUMCALLBACKW callback, void* context);
typedef HRESULT (*GetDeviceIDFn)(LPCGUID source, GUID* dest);

// The library's entry points.
HRESULT DirectSoundCreate(LPCGUID device, IDirectSound** out, IUnknown* outer);
HRESULT DirectSoundEnumerateW(LPDSENUMCALLBACKW callback, void* context);
HRESULT GetDeviceID(LPCGUID source, GUID* dest);

// Run-time loading: only "DSOUND.DLL" is known.
HMODULE LoadLibraryA(const char* name);
void* GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);
HWND GetDesktopWindow();

}  // namespace kva_audioplayer
