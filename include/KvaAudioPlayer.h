// KvaAudioPlayer: the one header a host includes.
#pragma once

#include <cstdint>
#include <vector>

// The version of this interface (and of the library built with it). Within one major version the
// library keeps the slot order of IKVAPlayer and the meaning of every constant; new operations
// only ever come after the last slot.
#define KVA_AUDIOPLAYER_VERSION_MAJOR 1
#define KVA_AUDIOPLAYER_VERSION_MINOR 0
#define KVA_AUDIOPLAYER_VERSION_PATCH 0

#if defined(KVA_BUILDING_LIBRARY)
#define KVA_EXPORT __attribute__((visibility("default")))
#else
#define KVA_EXPORT
#endif

namespace kva_audioplayer {

// ---- Player status (GetStatus, notification 300) ----
enum KVAPlayerStatus : int32_t {
    kStatusIdle = 1,
    kStatusInitialized = 2,
    kStatusPreparing = 3,
    kStatusPrepared = 4,
    kStatusStarted = 5,
    kStatusPaused = 6,
    kStatusCompleted = 7,
    kStatusStopped = 8,
    kStatusError = 9,
    kStatusPrepareAbandoned = 11,
};

// ---- Notification ids (IKVAPlayerObserver::OnNotify id) ----
enum KVANotifyId : int32_t {
    kNotifyPlaybackCompleted = 2,
    kNotifySeekCompleted = 4,
    kNotifyFirstAudio = 5,
    kNotifyDuration = 7,
    kNotifyDeviceEvent = 24,
    kNotifyError = 100,
    kNotifyBuffering = 200,
    kNotifyStatus = 300,
    kNotifyNextSource = 400,
    kNotifyDeviceFailure = 500,
    kNotifyAudioIFStatus = 600,
    kNotifyAudioIFStopLoad = 601,
    kNotifyStreamChanged = 1000,
    kNotifyPosition = 2000,
};

// param1 of notification 200.
enum : int32_t { kBufferingStart = 701, kBufferingEnd = 702 };
// param1 of notification 24.
enum : int32_t {
    kDeviceEventFailover = 26,
    kDeviceEventAdded = 27,
    kDeviceEventRemoved = 28,
    kDeviceEventAddedDefault = 29,
};
// param1 of notification 400.
enum : int32_t {
    kNextSwitchingNow = 1,
    kNextAccepted = 2,
    kNextNoneToSwitch = 11,
};
// param1 of notification 500 and 600.
enum : int32_t { kDeviceOpenFailed = 8, kAudioIFRefused = 22, kAudioIFSwitchedOff = 23 };
// Error codes: param1 of notification 100 (param2 is the detail below), and param2 of
// notification 400 with param1 9 (a queued next source failed to open). Codes 1 to 21 are those
// of earlier versions; a failure whose cause is known from its detail (a missing file, an HTTP
// status, a refused connection, a resolver or TLS failure) now has a code of its own (30 to 36)
// where earlier versions said 1. Negative codes are FFmpeg's (AVERROR values), passed through.
// CMediaPlayerFactory::ErrorText turns any code and detail into a sentence.
enum KVAErrorCode : int32_t {
    kErrorIo = 1,              // the media could not be read; detail: the source's error code
    kErrorInvalidData = 2,     // the data is not in a format the library can read
    kErrorOpenInput = 3,       // the container could not be opened
    kErrorStreamInfo = 4,      // the container's streams could not be analysed
    kErrorNoAudio = 5,         // no playable audio stream (none, no decoder, or black-listed)
    kErrorCodecOpen = 6,       // the audio decoder could not be opened
    kErrorSeek = 7,            // seeking in the media failed
    kErrorDeviceOpen = 9,      // the output device could not be opened or failed; detail: its code
    kErrorDecode = 10,         // decoding failed during playback; detail: the decoder's error
    kErrorNoStream = 12,       // the player had no media to play from
    kErrorStreamGone = 15,     // the media was closed while the device still drew from it
    kErrorZeroDuration = 13,   // the media has no duration
    kErrorNoFrame = 16,        // decoded audio could not be converted or stored
    kErrorNoDataSource = 17,   // SetDataSource was given no locator (null)
    kErrorCancelled = 21,      // the operation was cancelled (stop, reset, release)
    kErrorFileNotFound = 30,   // the file does not exist; detail: errno (ENOENT or ENOTDIR)
    kErrorFileUnreadable = 31, // a directory, no permission, or a read failure; detail: errno
    kErrorHttpStatus = 32,     // the server answered with an error status; detail: the status
    kErrorConnectionRefused = 33,  // nothing listens at the address; detail: 600 + errno
    kErrorNetwork = 34,        // the connection failed, timed out or broke; detail: as below
    kErrorDns = 35,            // the server's name could not be resolved; detail: 2000 + resolver
    kErrorTls = 36,            // the TLS handshake or certificate check failed; detail: 3000 + result
    kErrorInvalidArgument = 37,    // returned by a call whose argument is out of range; it changed nothing
};

// Details: the error code of the failing source (IKVASourceIO::GetErrorCode), in ranges that a
// host source may use too. Sources of the library answer these; 0 means no detail.
enum KVAErrorDetail : int32_t {
    kDetailHttpStatusFirst = 100,  // 100 to 599: the HTTP status of the server's answer
    kDetailHttpStatusLast = 599,
    kDetailSocketBase = 600,       // + errno of creating or connecting the socket
    kDetailConnectTimeout = 905,   // the connection was not made in time
    kDetailSendBase = 1000,        // + errno of sending the request
    kDetailSelectBase = 1300,      // + errno of waiting for the answer
    kDetailNothingReceived = 1556, // the server closed without answering
    kDetailBadStatusLine = 1557,   // the answer was not HTTP
    kDetailBadLength = 1558,       // the answer's length could not be read
    kDetailNoSocket = 1559,        // no socket could be created
    kDetailResolveBase = 2000,     // + the resolver's error (getaddrinfo's EAI_ value, negated)
    kDetailTlsBase = 3000,         // + the certificate verification result (0: handshake failed)
    kDetailRecvBase = 4000,        // + errno of receiving the answer
    kDetailFileBase = 5000,        // + errno of opening or reading a file (sources' own codes;
                                   // notification 100 carries the errno itself with codes 30, 31)
};

// Next-source modes of SetNextSourceIO.
enum : int32_t { kNextModeSwitch = 0, kNextModePreload = 1, kNextModeCrossFade = 2 };

// Output device types.
enum : int32_t { kDeviceTypeWaveOut = 4, kDeviceTypeWasapi = 5, kDeviceTypeDirectSound = 6 };

// ---- Host observer: every event arrives here, on "Audio MessageInfo Thread". ----
class IKVAPlayerObserver {
public:
    virtual int32_t OnNotify(int32_t id, const char* text, int32_t param1, int32_t param2) = 0;
};

// ---- Host log sink ----
// Levels of the library's messages (IPlayerLogger::Log level, SetLogConfig minLevel).
enum KVALogLevel : int32_t {
    kLogLevelDetail = 2,  // per-block and per-buffer detail, and FFmpeg's warnings
    kLogLevelTrace = 3,   // each operation and state change
    kLogLevelError = 4,   // failures
};

class IPlayerLogger {
public:
    virtual int32_t Log(int32_t level, const char* tag, const char* message) = 0;
};

// ---- Byte source ----
// Result codes of Open, Read and Seek.
enum KVASourceResult : int32_t {
    kSourceOk = 0,
    kSourceBadArgument = 1,
    kSourceOpenFailed = 2,
    kSourceReadError = 4,
    kSourceNetOpenFailed = 5,
    kSourceCancelled = 8,
    kSourceEndOfStream = -1,
    kSourceNoDataYet = -2,
};

class IKVASourceIO {
public:
    virtual ~IKVASourceIO() {}
    virtual uint32_t GetSessionId() = 0;
    virtual int32_t Open() = 0;
    virtual int32_t Read(uint8_t* buffer, int32_t* length) = 0;
    virtual int32_t Seek(int64_t* position, int32_t whence) = 0;
    virtual double GetRatio() = 0;
    virtual void Reserved() = 0;
    virtual void Abort() = 0;
    virtual void Close() = 0;
    virtual int64_t GetSize() = 0;
    virtual int64_t GetAvailableSize() = 0;
    virtual bool SupportFastSeek() = 0;
    virtual int32_t GetErrorCode() = 0;
    virtual const char* GetSessionIdText() = 0;
    virtual void CancelReading(bool cancel) = 0;
    virtual void SeekDone(uint8_t* done) = 0;
};

// Called instead of deleting a host source when the player lets go of it.
typedef void (*KVASourceRelease)(IKVASourceIO* source);

// ---- Device description handed out by the device list ----
enum : int32_t { kDeviceTextUnits = 261 };
struct DeviceRecord {
    int32_t nType;
    char16_t szDriver[kDeviceTextUnits];
    char16_t szName[kDeviceTextUnits];
    int32_t nIndex;
    uint8_t bDefault;
};

// ---- Host hooks on the PCM ----
// Audio effect, run first in the output chain. Slots 1 and 2 are never called.
class IKVAAudioEffect {
public:
    virtual bool Init(int32_t format, int32_t channels, int32_t sampleRate, int32_t blockBytes) = 0;
    virtual void Reserved1() {}
    virtual void Reserved2() {}
    virtual void Put(uint8_t* data, uint32_t len, uint32_t positionMs) = 0;
    virtual void Get(uint8_t* data, uint32_t* len, uint8_t* endFlag) = 0;
    virtual void Reset() = 0;
};

// Audio listener, sees the final block. Slot 2 is never called.
class IKVAAudioListener {
public:
    virtual bool SetPCMFormat(int32_t format, int32_t sampleRate, int32_t channels) = 0;
    virtual void OnPCM(uint8_t** data, uint32_t len, uint32_t positionMs, bool endFlag) = 0;
    virtual void Reserved2() {}
    virtual void Reset() = 0;
};

// IF processor, run on the decode thread on interleaved 32-bit float PCM. Slot 1 is never called.
class IKVAAudioIFProcessor {
public:
    virtual int32_t Init() = 0;
    virtual void Reserved1() {}
    virtual void Put(const uint8_t* data, int32_t len) = 0;
    virtual void Receive(uint8_t* out, int32_t* len, uint8_t* endFlag) = 0;
    virtual void Reset() = 0;
    virtual void SetInputFormat(int32_t* sampleRate, int32_t* channels) = 0;
    virtual void GetOutputFormat(int32_t* sampleRate, int32_t* channels) = 0;
};

// ---- The player ----
class IKVAPlayer {
public:
    virtual ~IKVAPlayer() {}
    virtual int32_t SetDataSource(const char* url) = 0;                                   // 1
    virtual int32_t SetSourceIO(IKVASourceIO* source, KVASourceRelease release) = 0;      // 2
    virtual int32_t SetNextSourceIO(IKVASourceIO* source, int32_t mode,
                                    KVASourceRelease release) = 0;                        // 3
    virtual int32_t PrepareAsync() = 0;                                                   // 4
    virtual int32_t Play(bool fadeIn) = 0;                                                // 5
    virtual int32_t Pause(bool fadeOut) = 0;                                              // 6
    virtual int32_t Seek(int64_t positionMs) = 0;                                         // 7
    virtual int32_t Stop(bool synchronous) = 0;                                           // 8
    virtual void Release() = 0;                                                           // 9
    virtual int32_t Reset() = 0;                                                          // 10
    virtual int32_t SetVolumeEx(float volume, double unused) = 0;                         // 11
    virtual int32_t SetVolume(float volume) = 0;                                          // 12
    virtual float GetVolume() = 0;                                                        // 13
    virtual int32_t GetStatus() = 0;                                                      // 14
    virtual int64_t GetCurrentPosition() = 0;                                             // 15
    virtual int64_t GetPlayEndTime(const char* songId) = 0;                               // 16
    virtual int64_t GetPlayedTime(const char* songId) = 0;                                // 17
    virtual int64_t GetPlayedTimeWithSpeed(const char* songId) = 0;                       // 18
    virtual int64_t GetDuration() = 0;                                                    // 19
    virtual int32_t SetGetPlayedTimeType(int32_t type) = 0;                               // 20
    virtual int32_t GetDeviceFlag() = 0;                                                  // 21
    virtual int32_t GetAudioFormat(int32_t* sampleRate, int32_t* channels,
                                   int32_t* waveFormat) = 0;                              // 22
    virtual int32_t SetAudioEffect(IKVAAudioEffect* effect) = 0;                          // 23
    virtual int32_t SetAudioListener(IKVAAudioListener* listener) = 0;                    // 24
    virtual bool SetPlaySpeed(double speed) = 0;                                          // 25
    virtual bool IsBuffering() = 0;                                                       // 26
    virtual int32_t SetCacheMax(int64_t ms) = 0;                                          // 27
    virtual int32_t SetStartFadeTime(int64_t ms) = 0;                                     // 28
    virtual int32_t SetPauseFadeTime(int64_t ms) = 0;                                     // 29
    virtual int32_t SetCrossFadeTime(int64_t ms) = 0;                                     // 30
    virtual int32_t SetProcessFlag(bool flag) = 0;                                        // 31
    virtual int32_t SetCodecBlackList(std::vector<int32_t> codecIds) = 0;                 // 32
    virtual int32_t NotifyHeadSetChanged(int32_t state) = 0;                              // 33
    virtual int32_t SetAudioIFEnable(int32_t status) = 0;                                 // 34
    virtual int32_t SetAudioIFProcessor(IKVAAudioIFProcessor* processor) = 0;             // 35
    virtual int32_t SetAudioIFRatio(int32_t ratio) = 0;                                   // 36
    virtual int32_t SetDeviceParams(int32_t a, int32_t b, int32_t c) = 0;                 // 37
    virtual int32_t SetDeviceOptionB(int32_t value) = 0;                                  // 38
    virtual int32_t SetDeviceOptionA(int32_t value) = 0;                                  // 39
    virtual int32_t SetOutputDeviceType(int32_t type) = 0;                                // 40
    virtual int32_t GetOutputDeviceType() = 0;                                            // 41
    virtual int32_t GetOutputDeviceCount() = 0;                                           // 42
    virtual bool GetOutputDeviceInfo(int32_t index, DeviceRecord* out) = 0;               // 43
    virtual int32_t SetOutputDevice(int32_t type, const char16_t* name) = 0;              // 44
    virtual bool GetCurrentOutputDevice(DeviceRecord* out) = 0;                           // 45
    virtual int32_t SetPlaybackCacheParams(double cacheMin, double cacheMax,
                                           double bufferingMin, double bufferingMax) = 0; // 46
    virtual int32_t SetPositionNotifyInterval(int32_t ms) = 0;                            // 47
    virtual int32_t SetDeviceSwitch(bool flag) = 0;                                       // 48
    virtual int32_t TriggerDevice() = 0;                                                  // 49
    virtual double GetChannelLevel(int32_t channel) = 0;                                  // 50
    virtual double GetChannelLevelAlt(int32_t channel) = 0;                               // 51
    virtual double GetDeviceValueA() = 0;                                                 // 52
    virtual double GetDeviceValueB() = 0;                                                 // 53
    virtual int32_t DetachObserver() = 0;                                                 // 54
    virtual int32_t SetDumpFile(const char* path) = 0;                                    // 55
    virtual int32_t SetLogConfig(bool debugOutput, int32_t minLevel) = 0;                 // 56
    virtual int32_t SetLogger(IPlayerLogger* logger) = 0;                                 // 57
};

struct KvaSoundSystemConfig;  // KvaSoundSystem.h

class KVA_EXPORT CMediaPlayerFactory {
public:
    // Returns a new player reporting to observer (may be null), or null when it cannot be made.
    static IKVAPlayer* NewL(IKVAPlayerObserver* observer);
    // Linux hosts: the process-wide sound system (see KvaSoundSystem.h). Returns 0 on success.
    static int32_t SelectSoundSystem(const KvaSoundSystemConfig& config);
    // What players created now render to: PulseAudio, Virtual or VirtualWav (a KvaSoundSystemKind;
    // never Automatic: the automatic choice is made if none was, and made again when its server
    // went away). Hosts use it to tell the listener that nothing will be heard.
    static int32_t CurrentSoundSystem();
    // An English sentence for an error code and its detail (notification 100's param1 and
    // param2; for notification 400 with 9, its param2 and 0). Any thread, at any time. The text
    // stays valid until the same thread calls ErrorText again.
    static const char* ErrorText(int32_t code, int32_t detail);
    // Log settings of the whole process; any thread, also before the first NewL. Messages of
    // minLevel (kLogLevel*) and above go to the logger, and to standard error when debugOutput.
    // By default the logger takes every level and nothing goes to standard error. For debugging
    // a host that does not expose these, KVA_LOG=<level> in the environment writes that level and
    // above to standard error whatever the host set. Returns 0. IKVAPlayer::SetLogConfig is the
    // same call.
    static int32_t SetLogConfig(bool debugOutput, int32_t minLevel);
    // The one logger of the process (null: none); it replaces the previous one. It is called on
    // the library's threads, one message at a time, and must not call into the library. It stays
    // until replaced or cleared, also when players are released: clear it before destroying it.
    // Once this returns, the previous logger is no longer being called. Returns 0.
    // IKVAPlayer::SetLogger is the same call.
    static int32_t SetLogger(IPlayerLogger* logger);
    CMediaPlayerFactory& operator=(const CMediaPlayerFactory&);
    CMediaPlayerFactory& operator=(CMediaPlayerFactory&&);
};

}  // namespace kva_audioplayer
