// Waveform audio over the sound-system layer: the waveOut calls the legacy back-end makes, with
// their Windows names, arguments and results. Device i is the i-th active endpoint; the wave
// mapper stands for the default endpoint. A device keeps the headers written to it in a queue
// that a driver thread drains into a render stream; a header is marked done, and the callback
// called, once its last frame has been played.
#pragma once

#include <cstdint>

#include "platform/CoreAudio.h"

namespace kva_audioplayer {

typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef uint32_t MMRESULT;
typedef char* LPSTR;
struct HWAVEOUT__;
typedef HWAVEOUT__* HWAVEOUT;

constexpr UINT WAVE_MAPPER = 0xFFFFFFFFu;

constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALFLAG = 10;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr DWORD WAVE_FORMAT_QUERY = 0x1;
constexpr DWORD CALLBACK_TYPEMASK = 0x70000;
constexpr DWORD CALLBACK_NULL = 0x0;
constexpr DWORD CALLBACK_FUNCTION = 0x30000;

constexpr UINT WOM_OPEN = 0x3BB;
constexpr UINT WOM_CLOSE = 0x3BC;
constexpr UINT WOM_DONE = 0x3BD;

constexpr DWORD WHDR_DONE = 0x1;
constexpr DWORD WHDR_PREPARED = 0x2;
constexpr DWORD WHDR_INQUEUE = 0x10;

constexpr UINT TIME_MS = 0x1;
constexpr UINT TIME_SAMPLES = 0x2;
constexpr UINT TIME_BYTES = 0x4;

constexpr UINT DRVM_MAPPER_PREFERRED_GET = 0x2015;
// Not a Windows message (one of the driver-defined ones): param1 is an IKvaStreamRoute** that
// gets a reference to where the device's stream plays now.
constexpr UINT DRVM_KVA_STREAM_ROUTE_GET = 0x4001;

// Standard formats in WAVEOUTCAPS.dwFormats: rate (11.025, 22.05, 44.1, 48, 96 kHz), mono or
// stereo, 8 or 16 bits.
constexpr DWORD WAVE_FORMAT_1M08 = 0x1, WAVE_FORMAT_1S08 = 0x2, WAVE_FORMAT_1M16 = 0x4,
                WAVE_FORMAT_1S16 = 0x8, WAVE_FORMAT_2M08 = 0x10, WAVE_FORMAT_2S08 = 0x20,
                WAVE_FORMAT_2M16 = 0x40, WAVE_FORMAT_2S16 = 0x80, WAVE_FORMAT_44M08 = 0x100,
                WAVE_FORMAT_44S08 = 0x200, WAVE_FORMAT_44M16 = 0x400, WAVE_FORMAT_44S16 = 0x800,
                WAVE_FORMAT_48M08 = 0x1000, WAVE_FORMAT_48S08 = 0x2000,
                WAVE_FORMAT_48M16 = 0x4000, WAVE_FORMAT_48S16 = 0x8000,
                WAVE_FORMAT_96M08 = 0x10000, WAVE_FORMAT_96S08 = 0x20000,
                WAVE_FORMAT_96M16 = 0x40000, WAVE_FORMAT_96S16 = 0x80000;

constexpr DWORD WAVECAPS_VOLUME = 0x4;
constexpr DWORD WAVECAPS_LRVOLUME = 0x8;
constexpr DWORD WAVECAPS_SAMPLEACCURATE = 0x20;

struct WAVEHDR {
    LPSTR lpData;
    DWORD dwBufferLength;
    DWORD dwBytesRecorded;
    DWORD_PTR dwUser;
    DWORD dwFlags;
    DWORD dwLoops;
    WAVEHDR* lpNext;     // the driver's
    DWORD_PTR reserved;  // the driver's
};
static_assert(sizeof(WAVEHDR) == 48, "WAVEHDR is 48 bytes");

constexpr int MAXPNAMELEN = 32;
struct WAVEOUTCAPSW {
    WORD wMid;
    WORD wPid;
    UINT vDriverVersion;
    char16_t szPname[MAXPNAMELEN];
    DWORD dwFormats;
    WORD wChannels;
    WORD wReserved1;
    DWORD dwSupport;
};
static_assert(sizeof(WAVEOUTCAPSW) == 84, "WAVEOUTCAPSW is 84 bytes");

#pragma pack(push, 1)
struct MMTIME {
    UINT wType;
    union {
        DWORD ms;
        DWORD sample;
        DWORD cb;
        DWORD ticks;
        struct {
            BYTE hour, min, sec, frame, fps, dummy;
            BYTE pad[2];
        } smpte;
    } u;
};
#pragma pack(pop)
static_assert(sizeof(MMTIME) == 12, "MMTIME is 12 bytes");

// CALLBACK_FUNCTION: (device, message, instance data, first and second parameter). Called on
// a driver thread for WOM_DONE, on the calling thread for WOM_OPEN and WOM_CLOSE.
typedef void (*WaveOutProc)(HWAVEOUT device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                            DWORD_PTR param2);

UINT waveOutGetNumDevs();
// The product name is the endpoint's friendly name cut to 31 characters.
MMRESULT waveOutGetDevCapsW(UINT_PTR deviceId, WAVEOUTCAPSW* caps, UINT size);
// With WAVE_FORMAT_QUERY only checks the format (out may be null).
MMRESULT waveOutOpen(HWAVEOUT* out, UINT deviceId, const WAVEFORMATEX* format,
                     DWORD_PTR callback, DWORD_PTR instance, DWORD flags);
MMRESULT waveOutClose(HWAVEOUT device);
MMRESULT waveOutPrepareHeader(HWAVEOUT device, WAVEHDR* header, UINT size);
MMRESULT waveOutUnprepareHeader(HWAVEOUT device, WAVEHDR* header, UINT size);
MMRESULT waveOutWrite(HWAVEOUT device, WAVEHDR* header, UINT size);
MMRESULT waveOutPause(HWAVEOUT device);
MMRESULT waveOutRestart(HWAVEOUT device);
// Stops, marks every queued header done and sets the position back to 0; the device runs.
MMRESULT waveOutReset(HWAVEOUT device);
MMRESULT waveOutGetPosition(HWAVEOUT device, MMTIME* time, UINT size);
// Left volume in the low word, right in the high word.
MMRESULT waveOutSetVolume(HWAVEOUT device, DWORD volume);
MMRESULT waveOutGetVolume(HWAVEOUT device, DWORD* volume);
// DRVM_MAPPER_PREFERRED_GET on the wave mapper ((HWAVEOUT)WAVE_MAPPER): the preferred device;
// DRVM_KVA_STREAM_ROUTE_GET on an open device.
MMRESULT waveOutMessage(HWAVEOUT device, UINT message, DWORD_PTR param1, DWORD_PTR param2);

// Header flags as the driver thread leaves them: read fresh on every check.
inline DWORD WaveHeaderFlags(const WAVEHDR* header) {
    return __atomic_load_n(&header->dwFlags, __ATOMIC_ACQUIRE);
}
inline void SetWaveHeaderFlags(WAVEHDR* header, DWORD flags) {
    __atomic_store_n(&header->dwFlags, flags, __ATOMIC_RELEASE);
}

}  // namespace kva_audioplayer
