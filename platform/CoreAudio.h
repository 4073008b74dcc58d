// Core Audio (MMDevice API and WASAPI shared mode) over the sound-system layer: the calls the
// WASAPI back-end and the device monitor make, with their Windows names, arguments and results.
// Endpoint ids are the sound system's ids in UTF-16.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>

#include "platform/WinCompat.h"

namespace kva_audioplayer {

// ---- wave formats ----
constexpr WORD WAVE_FORMAT_PCM = 1;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 3;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is 40 bytes");

// The record is packed: its GUID is read by copy, never through a reference.
inline GUID SubFormatOf(const WAVEFORMATEXTENSIBLE& w) {
    GUID g;
    memcpy(&g, reinterpret_cast<const char*>(&w) + offsetof(WAVEFORMATEXTENSIBLE, SubFormat),
           sizeof(g));
    return g;
}

extern const GUID KSDATAFORMAT_SUBTYPE_PCM;
extern const GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;

// ---- enumerations and flags ----
enum EDataFlow { eRender = 0, eCapture = 1, eAll = 2 };
enum ERole { eConsole = 0, eMultimedia = 1, eCommunications = 2 };
enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 };

constexpr DWORD DEVICE_STATE_ACTIVE = 0x1;
constexpr DWORD DEVICE_STATE_DISABLED = 0x2;
constexpr DWORD DEVICE_STATE_NOTPRESENT = 0x4;
constexpr DWORD DEVICE_STATE_UNPLUGGED = 0x8;
constexpr DWORD DEVICE_STATEMASK_ALL = 0xF;
constexpr DWORD STGM_READ = 0;
constexpr DWORD AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x40000;
constexpr DWORD AUDCLNT_BUFFERFLAGS_SILENT = 0x2;

// ---- interface and class ids ----
extern const CLSID CLSID_MMDeviceEnumerator;
extern const IID IID_IMMDeviceEnumerator;
extern const IID IID_IMMNotificationClient;
extern const IID IID_IMMEndpoint;
extern const IID IID_IAudioClient;
extern const IID IID_IAudioRenderClient;
extern const IID IID_IAudioClock;
extern const IID IID_IAudioSessionManager;
extern const IID IID_ISimpleAudioVolume;

// ---- property keys ----
extern const PROPERTYKEY PKEY_Device_FriendlyName;           // wide string
extern const PROPERTYKEY PKEY_DeviceInterface_FriendlyName;  // wide string: the adapter
extern const PROPERTYKEY PKEY_AudioEngine_DeviceFormat;      // blob: WAVEFORMATEXTENSIBLE
extern const PROPERTYKEY PKEY_AudioEndpoint_GUID;            // wide string "{...}"

// ---- interfaces ----
class IPropertyStore : public IUnknown {
public:
    // Unknown keys answer S_OK with VT_EMPTY.
    virtual HRESULT GetValue(REFPROPERTYKEY key, PROPVARIANT* value) = 0;
};

class IMMDevice : public IUnknown {
public:
    virtual HRESULT Activate(REFIID iid, DWORD clsCtx, PROPVARIANT* params, void** out) = 0;
    virtual HRESULT OpenPropertyStore(DWORD access, IPropertyStore** out) = 0;
    virtual HRESULT GetId(LPWSTR* id) = 0;  // freed with CoTaskMemFree
    virtual HRESULT GetState(DWORD* state) = 0;
};

class IMMEndpoint : public IUnknown {
public:
    virtual HRESULT GetDataFlow(EDataFlow* flow) = 0;
};

class IMMDeviceCollection : public IUnknown {
public:
    virtual HRESULT GetCount(UINT* count) = 0;
    virtual HRESULT Item(UINT index, IMMDevice** out) = 0;
};

class IMMNotificationClient : public IUnknown {
public:
    virtual HRESULT OnDeviceStateChanged(LPCWSTR id, DWORD newState) = 0;
    virtual HRESULT OnDeviceAdded(LPCWSTR id) = 0;
    virtual HRESULT OnDeviceRemoved(LPCWSTR id) = 0;
    virtual HRESULT OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR id) = 0;
    virtual HRESULT OnPropertyValueChanged(LPCWSTR id, const PROPERTYKEY key) = 0;
};

class IMMDeviceEnumerator : public IUnknown {
public:
    virtual HRESULT EnumAudioEndpoints(EDataFlow flow, DWORD stateMask,
                                       IMMDeviceCollection** out) = 0;
    virtual HRESULT GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** out) = 0;
    virtual HRESULT GetDevice(LPCWSTR id, IMMDevice** out) = 0;
    // Callbacks come on the sound system's notification thread.
    virtual HRESULT RegisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
    virtual HRESULT UnregisterEndpointNotificationCallback(IMMNotificationClient* client) = 0;
};

class IAudioClient : public IUnknown {
public:
    virtual HRESULT Initialize(AUDCLNT_SHAREMODE mode, DWORD flags, REFERENCE_TIME bufferDuration,
                               REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                               LPCGUID sessionGuid) = 0;
    virtual HRESULT GetBufferSize(UINT32* frames) = 0;
    virtual HRESULT GetCurrentPadding(UINT32* frames) = 0;
    // S_OK, or S_FALSE with *closest (CoTaskMemAlloc) when a near format is offered, or
    // AUDCLNT_E_UNSUPPORTED_FORMAT.
    virtual HRESULT IsFormatSupported(AUDCLNT_SHAREMODE mode, const WAVEFORMATEX* format,
                                      WAVEFORMATEX** closest) = 0;
    virtual HRESULT GetMixFormat(WAVEFORMATEX** format) = 0;  // CoTaskMemAlloc, extensible
    virtual HRESULT GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minPeriod) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT Reset() = 0;
    virtual HRESULT SetEventHandle(HANDLE event) = 0;
    virtual HRESULT GetService(REFIID iid, void** out) = 0;
};

class IAudioRenderClient : public IUnknown {
public:
    virtual HRESULT GetBuffer(UINT32 frames, BYTE** data) = 0;
    virtual HRESULT ReleaseBuffer(UINT32 frames, DWORD flags) = 0;
};

class IAudioClock : public IUnknown {
public:
    virtual HRESULT GetFrequency(UINT64* frequency) = 0;  // bytes per second
    virtual HRESULT GetPosition(UINT64* position, UINT64* qpcPosition) = 0;
};

class ISimpleAudioVolume : public IUnknown {
public:
    virtual HRESULT SetMasterVolume(float level, LPCGUID eventContext) = 0;
    virtual HRESULT GetMasterVolume(float* level) = 0;
};

class IAudioSessionManager : public IUnknown {
public:
    virtual HRESULT GetSimpleAudioVolume(LPCGUID sessionGuid, DWORD crossProcess,
                                         ISimpleAudioVolume** out) = 0;
};

// Not a Windows interface: where a render stream plays now, since a sound server may move it
// to another endpoint (a desktop mixer does). From IAudioClient::GetService once initialised.
extern const IID IID_IKvaStreamRoute;
class IKvaStreamRoute : public IUnknown {
public:
    virtual UINT32 GetMoveCount() = 0;
    virtual HRESULT GetEndpointId(LPWSTR* id) = 0;  // freed with CoTaskMemFree
};

// A stable GUID for an endpoint id (PKEY_AudioEndpoint_GUID).
GUID EndpointGuid(const std::string& id);

// Only CLSID_MMDeviceEnumerator with IID_IMMDeviceEnumerator (or IID_IUnknown) is known.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD clsCtx, REFIID iid, void** out);

}  // namespace kva_audioplayer
