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

// Every operation may be called from any host thread, and none waits for media work: it checks
// its arguments, stores a setting or posts a command to the player's command thread, and returns.
// What the work leads to comes back later as notifications, on the player's one notification
// thread. Only IKVAPlayer::Release waits (for the player's threads to end).

// ---- Player status (GetStatus, param1 of notification 300) ----
enum KVAPlayerStatus : int32_t {
    kStatusIdle = 1,            // new, or reset
    kStatusInitialized = 2,     // a source is set and may be prepared
    kStatusPreparing = 3,       // PrepareAsync is opening the media and the device
    kStatusPrepared = 4,        // ready: Play starts it
    kStatusStarted = 5,         // playing
    kStatusPaused = 6,          // paused (after the pause fade)
    kStatusCompleted = 7,       // the end was played out; Play starts again from 0
    kStatusStopped = 8,         // stopped by Stop
    kStatusError = 9,           // a failure ended preparation or playback (notification 100 says which)
    kStatusPrepareAbandoned = 11,  // preparation was given up (a new source or a stop came first)
};

// ---- Notification ids (IKVAPlayerObserver::OnNotify id). text is the session id text of the
// media concerned ("0" for SetDataSource's); param1 and param2 as below, 0 where not said. ----
enum KVANotifyId : int32_t {
    kNotifyPlaybackCompleted = 2,  // the last track was played out (nothing queued took over)
    kNotifySeekCompleted = 4,      // param1: the position reached, ms
    kNotifyFirstAudio = 5,         // the first sound of a track reached the device; param1: 1, or
                                   // after a gapless switch the new track's session id
    kNotifyDuration = 7,           // param1: the track's length in ms (32 bits), -1 when unknown
    kNotifyDeviceEvent = 24,       // param1: kDeviceEvent*; with 26 param2 is the failed device's code
    kNotifyError = 100,            // param1: KVAErrorCode, param2: its detail (KVAErrorDetail or errno)
    kNotifyBuffering = 200,        // param1: kBufferingStart or kBufferingEnd; param2: the session id
    kNotifyStatus = 300,           // param1: the new KVAPlayerStatus
    kNotifyNextSource = 400,       // param1: kNext* below (the queued next source's fate)
    kNotifyDeviceFailure = 500,    // param1: kDeviceOpenFailed: the device failed and was dropped
    kNotifyAudioIFStatus = 600,    // param1: kAudioIFRefused (param2: the stream's answer) or
                                   // kAudioIFSwitchedOff (param2: the load in percent)
    kNotifyAudioIFStopLoad = 601,  // on stop while IF processing had load; param1: the load
    kNotifyStreamChanged = 1000,   // a queued track became current; param1: its session id
    kNotifyStreamTitle = 1100,     // a live network stream announced a title (in-band metadata);
                                   // text is the title itself, sent on every change
    kNotifyPosition = 2000,        // the periodic tick of SetPositionNotifyInterval; param1: ms
};

// param1 of notification 200: the device is paused while the media buffers, then resumed.
enum : int32_t { kBufferingStart = 701, kBufferingEnd = 702 };
// param1 of notification 24.
enum : int32_t {
    kDeviceEventFailover = 26,       // the device in use failed; playback moved to another one
    kDeviceEventAdded = 27,          // an output device appeared
    kDeviceEventRemoved = 28,        // an output device went away
    kDeviceEventAddedDefault = 29,   // an output device appeared and became the default
    kDeviceEventMoved = 30,          // the desktop's mixer moved playback to another output
                                     // device; GetCurrentOutputDevice names it
};
// param1 of notification 400.
enum : int32_t {
    kNextSwitchingNow = 1,   // the queued source is taking over now (a new preparation or a fade)
    kNextAccepted = 2,       // SetNextSourceIO took the source
    kNextPreloaded = 4,      // the queued source is open and decoding, ready for a gapless join
    kNextOpenFailed = 9,     // the queued source could not be opened; param2: its KVAErrorCode
                             // (kErrorCancelled: a new current source dropped it), and
                             // GetNextSourceErrorDetail its detail. The current track plays on.
    kNextNoneToSwitch = 11,  // a switch was asked for with nothing queued
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
    kDetailHttpStatusFirst = 100,  // 100 to 599: the HTTP status of the server's answer, or of
                                   // a proxy's refusal of the tunnel (407: credentials refused)
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

// Next-source modes of SetNextSourceIO and SetNextDataSource.
enum : int32_t {
    kNextModeSwitch = 0,     // stop the current track now and prepare the next one
    kNextModePreload = 1,    // open the next one now and join it gaplessly at the current end
    kNextModeCrossFade = 2,  // fade from the current track to the next one now (paused: as 0)
    // Open the next one now, and start the cross-fade by itself when what is left of the current
    // track is the cross-fade time (SetCrossFadeTime). A shorter track, or one whose successor
    // has another rate or channel count, is joined gaplessly instead.
    kNextModeCrossFadeAtEnd = 3,
};

// ReplayGain modes of SetReplayGain.
enum : int32_t {
    kReplayGainOff = 0,    // the tags are ignored (the default)
    kReplayGainTrack = 1,  // the track's own gain; the album gain when the track has none
    kReplayGainAlbum = 2,  // the album gain, so an album keeps its levels; else the track gain
};

// Output device types: three drivers over the same sound system. Their device lists differ in
// what they offer; playback is the same.
enum : int32_t { kDeviceTypeWaveOut = 4, kDeviceTypeWasapi = 5, kDeviceTypeDirectSound = 6 };

// ---- Host observer ----
// Every event of a player arrives here, one at a time and in order, on the player's notification
// thread ("Audio MessageInfo Thread"), never on a host thread nor on a real-time thread. text is
// valid during the call only. A call that waits holds up every later notification; a call may
// use the player, but must not Release it. The result is ignored. The library never deletes it.
class IKVAPlayerObserver {
public:
    virtual int32_t OnNotify(int32_t id, const char* text, int32_t param1, int32_t param2) = 0;

protected:
    // Virtual, so that a host's class deriving from it need not be final; declared last, so
    // it adds slots after those the library calls. The library never deletes one.
    virtual ~IKVAPlayerObserver() = default;
};

// ---- Host log sink ----
// Levels of the library's messages (IPlayerLogger::Log level, SetLogConfig minLevel).
enum KVALogLevel : int32_t {
    kLogLevelDetail = 2,  // per-block and per-buffer detail, and FFmpeg's warnings
    kLogLevelTrace = 3,   // each operation and state change
    kLogLevelError = 4,   // failures
};

// Takes the library's messages (CMediaPlayerFactory::SetLogger), one at a time, on whichever
// library or host thread logs, real-time threads included: it should return quickly and must
// not call into the library. tag is always "QXAudioPlayer"; the texts are valid during the call.
class IPlayerLogger {
public:
    virtual int32_t Log(int32_t level, const char* tag, const char* message) = 0;

protected:
    virtual ~IPlayerLogger() = default;  // as IKVAPlayerObserver's
};

// ---- Byte source ----
// Result codes of Open, Read and Seek.
enum KVASourceResult : int32_t {
    kSourceOk = 0,
    kSourceBadArgument = 1,    // a null pointer or a call before Open
    kSourceOpenFailed = 2,     // Open: the media could not be reached (GetErrorCode says why)
    kSourceReadError = 4,      // Read or Seek failed (GetErrorCode says why)
    kSourceNetOpenFailed = 5,  // Open: the network connection or request failed
    kSourceCancelled = 8,      // cut short by Abort or CancelReading
    kSourceEndOfStream = -1,   // Read: nothing follows
    kSourceNoDataYet = -2,     // Read: nothing available yet, ask again (the reader waits a little)
};

// The bytes of one track, written by a host for media the library cannot reach itself
// (SetSourceIO, SetNextSourceIO). Called on the command thread (Open, Close) and on the track's
// decode thread (Read, Seek, sizes); Abort and CancelReading may come from any thread while
// another call is running, to cut it short. The player deletes it through the release function
// given with it, or with delete when none was given.
class IKVASourceIO {
public:
    // Public: the player deletes a source given without a release function.
    virtual ~IKVASourceIO() {}
    // The track's number; its decimal text is GetSessionIdText and the text of its notifications.
    virtual uint32_t GetSessionId() = 0;
    // Makes the bytes readable; kSourceOk or a failure code (GetErrorCode then says why).
    virtual int32_t Open() = 0;
    // Reads up to *length bytes into buffer and sets *length to the count read. kSourceOk,
    // kSourceEndOfStream (with *length 0), kSourceNoDataYet or a failure code.
    virtual int32_t Read(uint8_t* buffer, int32_t* length) = 0;
    // Moves to *position relative to whence (SEEK_SET, SEEK_CUR, SEEK_END) and sets *position
    // to the new absolute offset; kSourceOk or a failure code. whence 0x10000 (FFmpeg's size
    // query) answers the size in *position without moving, or a failure when unknown.
    virtual int32_t Seek(int64_t* position, int32_t whence) = 0;
    // The track's gain, applied to the volume: 1.0 for none; only values up to 1 are honoured.
    virtual double GetRatio() = 0;
    virtual void Reserved() = 0;  // never called
    // Makes a running or later Open or Read fail soon (the player is stopping).
    virtual void Abort() = 0;
    // Lets go of the bytes (on the command thread); Open may follow again.
    virtual void Close() = 0;
    // The total size in bytes, or -1 when unknown (a live stream).
    virtual int64_t GetSize() = 0;
    // The bytes that can be read at once from the current position without waiting.
    virtual int64_t GetAvailableSize() = 0;
    // True when a Seek costs no more than a read (a file); false makes the decoder avoid them.
    virtual bool SupportFastSeek() = 0;
    // The detail of the last failure: one of KVAErrorDetail's ranges, 0 for none.
    virtual int32_t GetErrorCode() = 0;
    // GetSessionId in decimal; valid as long as the source.
    virtual const char* GetSessionIdText() = 0;
    // true: make Read return kSourceCancelled until called with false.
    virtual void CancelReading(bool cancel) = 0;
    // The player tells a seek was handled: *done is 1.
    virtual void SeekDone(uint8_t* done) = 0;
};

// Called instead of deleting a host source when the player lets go of it.
typedef void (*KVASourceRelease)(IKVASourceIO* source);

// ---- Device description handed out by the device list ----
enum : int32_t { kDeviceTextUnits = 261 };
struct DeviceRecord {
    int32_t nType;                         // the device type (kDeviceType*)
    char16_t szDriver[kDeviceTextUnits];   // the driver's or adapter's name, UTF-16, NUL-ended
    char16_t szName[kDeviceTextUnits];     // the device's name, UTF-16, NUL-ended; an output that
                                           // shares its name with one before it has " (id)" added
    int32_t nIndex;                        // its place in the list
    uint8_t bDefault;                      // 1 for a type's entry that follows the system default
                                           // (GetOutputDeviceId says which output that is now)
};

// ---- Host hooks on the PCM ----
// Sample format codes of the hooks: IKVAAudioEffect::Init's format is FFmpeg's sample format
// (0 u8, 1 s16, 2 s32, 3 float, 4 double, all interleaved); IKVAAudioListener::SetPCMFormat's is
// its own numbering of the same formats, below. The output format is 32-bit float unless a
// device could not take it.
enum KVAListenerFormat : int32_t {
    kListenerFormatU8 = 0,
    kListenerFormatS16 = 1,
    kListenerFormatS32 = 3,
    kListenerFormatFloat = 4,
    kListenerFormatDouble = 5,
};

// Audio effect (SetAudioEffect), run first in the output chain, on the device's render thread:
// real time, so no waiting, allocation or I/O in Put and Get. Slots 1 and 2 are never called.
class IKVAAudioEffect {
public:
    // The output format (format: FFmpeg's code, see above; blockBytes: the largest block).
    // Called on the command thread before the first block and when the format changes; false
    // leaves the effect out until the next format.
    virtual bool Init(int32_t format, int32_t channels, int32_t sampleRate, int32_t blockBytes) = 0;
    virtual void Reserved1() {}
    virtual void Reserved2() {}
    // A block of len bytes whose first sample plays at positionMs of the track.
    virtual void Put(uint8_t* data, uint32_t len, uint32_t positionMs) = 0;
    // Writes the processed block into data, at most *len bytes, and sets *len to the count;
    // *endFlag carries the end of the track through and may be set to say the effect is done.
    virtual void Get(uint8_t* data, uint32_t* len, uint8_t* endFlag) = 0;
    // Forget held audio (a seek, a new track).
    virtual void Reset() = 0;

protected:
    virtual ~IKVAAudioEffect() = default;  // as IKVAPlayerObserver's
};

// Audio listener (SetAudioListener): sees every block as it goes to the device, last in the chain
// after the effect, the speed change and the fades, on the device's render thread (real time).
// Slot 2 is never called.
class IKVAAudioListener {
public:
    // The format of the blocks to come (format: KVAListenerFormat); on the command thread.
    virtual bool SetPCMFormat(int32_t format, int32_t sampleRate, int32_t channels) = 0;
    // *data points at len bytes that the listener may read and change in place; positionMs:
    // where the block starts in the track; endFlag: the track's last block.
    virtual void OnPCM(uint8_t** data, uint32_t len, uint32_t positionMs, bool endFlag) = 0;
    virtual void Reserved2() {}
    // Forget what was seen (a seek, a new track).
    virtual void Reset() = 0;

protected:
    virtual ~IKVAAudioListener() = default;  // as IKVAPlayerObserver's
};

// IF processor (SetAudioIFProcessor, SetAudioIFEnable), run on the track's decode thread on
// interleaved 32-bit float PCM before it is queued for the device; it may change the rate or
// channel count. Slot 1 is never called.
class IKVAAudioIFProcessor {
public:
    // Before the first block of a track; 0 when ready.
    virtual int32_t Init() = 0;
    virtual void Reserved1() {}
    // Decoded PCM in; len in bytes.
    virtual void Put(const uint8_t* data, int32_t len) = 0;
    // Processed PCM out: at most *len bytes into out, *len set to the count; *endFlag set when
    // the processor has given everything it held.
    virtual void Receive(uint8_t* out, int32_t* len, uint8_t* endFlag) = 0;
    // Forget held audio (a seek, a new track).
    virtual void Reset() = 0;
    // The decoded format; the processor may change the values to what it wants in.
    virtual void SetInputFormat(int32_t* sampleRate, int32_t* channels) = 0;
    // The format it will give out.
    virtual void GetOutputFormat(int32_t* sampleRate, int32_t* channels) = 0;

protected:
    virtual ~IKVAAudioIFProcessor() = default;  // as IKVAPlayerObserver's
};

// ---- The player ----
// Made by CMediaPlayerFactory::NewL, ended by Release. Results are 0 for done or accepted unless
// said otherwise; kErrorInvalidArgument (37) means the call changed nothing. Failures of the work
// itself come as notification 100 and status 9, never as a result. Slot numbers: the order
// within the class, which never changes within a major version.
class IKVAPlayer {
public:
    // As Release; hosts call Release.
    virtual ~IKVAPlayer() {}
    // Sets the media to play: a file path, or an http:// or https:// URL (any case); the player
    // makes the source. Stops what plays. null: notification 100 (17) and 17.
    virtual int32_t SetDataSource(const char* url) = 0;                                   // 1
    // As SetDataSource with a host-written source; release (may be null: delete) disposes of it.
    virtual int32_t SetSourceIO(IKVASourceIO* source, KVASourceRelease release) = 0;      // 2
    // Queues the track to follow the current one (mode: kNextMode*); notification 400 tells
    // what becomes of it. A second call replaces a source not yet taken.
    virtual int32_t SetNextSourceIO(IKVASourceIO* source, int32_t mode,
                                    KVASourceRelease release) = 0;                        // 3
    // Opens the media, starts decoding and opens the device: 300 (3), then 7 and 300 (4), or 100
    // and 300 (9). Does nothing without a source.
    virtual int32_t PrepareAsync() = 0;                                                   // 4
    // Starts or resumes (prepared, started, paused), with the start fade when fadeIn; after the
    // end, plays again from 0. Ignored in other states.
    virtual int32_t Play(bool fadeIn) = 0;                                                // 5
    // Pauses, after the pause fade when fadeOut: 300 (6). Ignored when not playing.
    virtual int32_t Pause(bool fadeOut) = 0;                                              // 6
    // Moves to positionMs (capped at the duration): notification 4 when done. Only while
    // prepared, started, paused or completed; a newer seek replaces one still pending. Media of
    // unknown length (a live stream) cannot seek: kErrorInvalidArgument, playback goes on.
    virtual int32_t Seek(int64_t positionMs) = 0;                                         // 7
    // Stops playback and closes the media: 300 (8). synchronous: returns once stopped.
    virtual int32_t Stop(bool synchronous) = 0;                                           // 8
    // Stops and destroys the player, waiting for its threads; no notification comes after it
    // returns. Not from the player's own notification thread.
    virtual void Release() = 0;                                                           // 9
    // Stops, drops the media, the queued track and pending commands, and returns to idle with
    // the volume back at 1: 300 (1).
    virtual int32_t Reset() = 0;                                                          // 10
    // As SetVolume (the second argument is not used).
    virtual int32_t SetVolumeEx(float volume, double unused) = 0;                         // 11
    // The output volume, 0 to 1 (a gain, linear), applied at once; times the track's gain.
    virtual int32_t SetVolume(float volume) = 0;                                          // 12
    // The volume of SetVolume (1 after Reset), the track's gain not included.
    virtual float GetVolume() = 0;                                                        // 13
    // The KVAPlayerStatus now.
    virtual int32_t GetStatus() = 0;                                                      // 14
    // The position in the current track, ms (the target while a seek is pending).
    virtual int64_t GetCurrentPosition() = 0;                                             // 15
    // Played-time accounting per track (songId: the session id text; null: the current one):
    // where the track's playing ended, the time it was heard, and that time at the speeds used.
    virtual int64_t GetPlayEndTime(const char* songId) = 0;                               // 16
    virtual int64_t GetPlayedTime(const char* songId) = 0;                                // 17
    virtual int64_t GetPlayedTimeWithSpeed(const char* songId) = 0;                       // 18
    // The current track's length in ms once prepared (statuses 4 to 8), else 0; 0 also when
    // the length is unknown (a live stream; notification 7 then says -1).
    virtual int64_t GetDuration() = 0;                                                    // 19
    // Chooses what GetPlayedTime counts (0: the default).
    virtual int32_t SetGetPlayedTimeType(int32_t type) = 0;                               // 20
    // A flag the device reported when it opened; every driver here answers 0.
    virtual int32_t GetDeviceFlag() = 0;                                                  // 21
    // The output format: rate, channels and wave format (1 PCM integer, 3 IEEE float).
    virtual int32_t GetAudioFormat(int32_t* sampleRate, int32_t* channels,
                                   int32_t* waveFormat) = 0;                              // 22
    // Installs the host's effect (null removes it); the host keeps it alive until replaced.
    virtual int32_t SetAudioEffect(IKVAAudioEffect* effect) = 0;                          // 23
    // Installs the host's listener (null removes it); the host keeps it alive until replaced.
    virtual int32_t SetAudioListener(IKVAAudioListener* listener) = 0;                    // 24
    // Playback speed with the pitch kept, 0.5 to 100; false (and no change) otherwise.
    virtual bool SetPlaySpeed(double speed) = 0;                                          // 25
    // True between notifications 200 (701) and 200 (702).
    virtual bool IsBuffering() = 0;                                                       // 26
    // How much decoded audio a track may hold ahead, ms (7000 to 14999; others are ignored).
    virtual int32_t SetCacheMax(int64_t ms) = 0;                                          // 27
    // Fade lengths in ms for Play(true), Pause(true) and cross-fades (default 600 each).
    virtual int32_t SetStartFadeTime(int64_t ms) = 0;                                     // 28
    virtual int32_t SetPauseFadeTime(int64_t ms) = 0;                                     // 29
    virtual int32_t SetCrossFadeTime(int64_t ms) = 0;                                     // 30
    // A process-wide flag kept for older hosts; nothing reads it.
    virtual int32_t SetProcessFlag(bool flag) = 0;                                        // 31
    // FFmpeg codec ids the decoder refuses, for every player of the process (empty: none).
    virtual int32_t SetCodecBlackList(std::vector<int32_t> codecIds) = 0;                 // 32
    // Tells the player the headset state changed (any value other than the last): the device
    // is reopened, so that a playing track follows the system's new default.
    virtual int32_t NotifyHeadSetChanged(int32_t state) = 0;                              // 33
    // IF processing mode: 0 off, else on with the processor of slot 35 (notification 600 when
    // the track refuses or cannot keep up).
    virtual int32_t SetAudioIFEnable(int32_t status) = 0;                                 // 34
    virtual int32_t SetAudioIFProcessor(IKVAAudioIFProcessor* processor) = 0;             // 35
    // The load, in percent of real time, above which the IF processor is switched off (90).
    virtual int32_t SetAudioIFRatio(int32_t ratio) = 0;                                   // 36
    // Driver parameters and options kept for older hosts: handed to the device, which ignores
    // them on this system.
    virtual int32_t SetDeviceParams(int32_t a, int32_t b, int32_t c) = 0;                 // 37
    virtual int32_t SetDeviceOptionB(int32_t value) = 0;                                  // 38
    virtual int32_t SetDeviceOptionA(int32_t value) = 0;                                  // 39
    // Chooses the device type (kDeviceType*); a playing track moves to it. GetOutputDeviceType
    // answers the type last chosen (here or by SetOutputDevice) at once.
    virtual int32_t SetOutputDeviceType(int32_t type) = 0;                                // 40
    virtual int32_t GetOutputDeviceType() = 0;                                            // 41
    // The device list of the current type: its length, and one entry (false past the end).
    virtual int32_t GetOutputDeviceCount() = 0;                                           // 42
    virtual bool GetOutputDeviceInfo(int32_t index, DeviceRecord* out) = 0;               // 43
    // Plays to the device of this type and name (UTF-16, as in DeviceRecord::szName; null or
    // empty: the system default). kErrorInvalidArgument, changing nothing, for a name the list
    // of that type does not hold.
    virtual int32_t SetOutputDevice(int32_t type, const char16_t* name) = 0;              // 44
    // The device in use; false when there is none.
    virtual bool GetCurrentOutputDevice(DeviceRecord* out) = 0;                           // 45
    // Buffering thresholds in seconds: decoded audio kept ahead (min, max) and the network
    // buffering that pauses and resumes playback (min, max).
    virtual int32_t SetPlaybackCacheParams(double cacheMin, double cacheMax,
                                           double bufferingMin, double bufferingMax) = 0; // 46
    // Notification 2000 every ms while playing; 0 or less stops it.
    virtual int32_t SetPositionNotifyInterval(int32_t ms) = 0;                            // 47
    // Kept for older hosts; the devices here do nothing with them.
    virtual int32_t SetDeviceSwitch(bool flag) = 0;                                       // 48
    virtual int32_t TriggerDevice() = 0;                                                  // 49
    // Device level queries, in dB; -160 when not playing (the devices here answer fixed values).
    virtual double GetChannelLevel(int32_t channel) = 0;                                  // 50
    virtual double GetChannelLevelAlt(int32_t channel) = 0;                               // 51
    virtual double GetDeviceValueA() = 0;                                                 // 52
    virtual double GetDeviceValueB() = 0;                                                 // 53
    // No more notifications: forgets the observer and ends the notification thread.
    virtual int32_t DetachObserver() = 0;                                                 // 54
    // Opens (truncates) a file kept open until the next stop; nothing is written to it.
    virtual int32_t SetDumpFile(const char* path) = 0;                                    // 55
    // CMediaPlayerFactory::SetLogConfig and SetLogger: process-wide, not this player's.
    virtual int32_t SetLogConfig(bool debugOutput, int32_t minLevel) = 0;                 // 56
    virtual int32_t SetLogger(IPlayerLogger* logger) = 0;                                 // 57
    // As SetNextSourceIO with the library's own source for url (a file path, or an http:// or
    // https:// URL, as SetDataSource); id (0 to 4294967295) becomes the track's session id, the
    // text and param1 of its notifications. kErrorInvalidArgument for a null url, an id out of
    // range or an unknown mode.
    virtual int32_t SetNextDataSource(const char* url, int32_t mode, int64_t id) = 0;     // 58
    // The current track's tag key, in any case ("title", "artist", "album", "track",
    // "REPLAYGAIN_TRACK_GAIN" and whatever else the media carries, named as FFmpeg names them),
    // as UTF-8 into out: at most size bytes with the NUL, cut to fit. Returns the value's whole
    // length, or -1 when there is no such tag or no track opened. After a gapless or cross-fade
    // hand-over (notification 1000) it answers for the new track.
    virtual int32_t GetTrackTag(const char* key, char* out, int32_t size) = 0;            // 59
    // Bytes of the current network media downloaded ahead of the decoder's read position: what
    // a stalled connection can still play. -1 for a local file, a host's source or no media.
    virtual int64_t GetBufferedBytes() = 0;                                               // 60
    // ReplayGain from the media's tags: REPLAYGAIN_TRACK_GAIN/PEAK and REPLAYGAIN_ALBUM_GAIN/PEAK
    // (ID3v2 TXXX frames, Vorbis comments and other tags FFmpeg names so, in any case), or Opus's
    // R128_TRACK_GAIN/R128_ALBUM_GAIN (1/256 dB relative to -23 LUFS; 5 dB are added to reach
    // ReplayGain's reference). mode: kReplayGain*; preampDb (-15 to 15) is added to the tag's
    // gain; preventClipping lowers the gain so that the tagged peak stays at full scale. A track
    // without gain tags plays unchanged (the pre-amp too is left off). The gain scales each
    // track's samples as they are taken from it (before the effect, the listener, the fades and
    // the volume; each track of a cross-fade with its own), up to any level on float output and
    // saturating on 16-bit output. Takes effect within a device period, also for the playing
    // track. kErrorInvalidArgument for an unknown mode or a pre-amp out of range or not finite.
    virtual int32_t SetReplayGain(int32_t mode, float preampDb, bool preventClipping) = 0;  // 61
    // The stable id of entry index of the device list (GetOutputDeviceInfo), as UTF-8 into id:
    // at most size bytes with the NUL. An output has the same id under every device type and
    // across runs (PulseAudio: the sink's name); each type's entry that follows the system
    // default is "default". *isDefault (may be null) is set to whether the entry is the output
    // that is the system's default now. Returns the id's length, or -1 past the end of the list.
    virtual int32_t GetOutputDeviceId(int32_t index, char* id, int32_t size, bool* isDefault) = 0;  // 62
    // As SetOutputDevice, choosing the device of this type by its id (null, empty or "default":
    // the entry that follows the system default). kErrorInvalidArgument, changing nothing, for
    // an id that no entry of that type has.
    virtual int32_t SetOutputDeviceById(int32_t type, const char* id) = 0;                // 63
    // The detail (as notification 100's param2) of the last queued source that failed to open,
    // the one notification 400 with 9 told of: ErrorText(param2, this) says what went wrong.
    // 0 for a cancelled one, or when none failed.
    virtual int32_t GetNextSourceErrorDetail() = 0;                                       // 64
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
    // param2; for notification 400 with 9, its param2 and GetNextSourceErrorDetail). Any thread,
    // at any time. The text stays valid until the same thread calls ErrorText again.
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
    // IKVAPlayer::SetLogger is the same call, except that a logger given through a player is
    // also cleared when the last player of the process is released (hosts written when the
    // logger was the player's destroy it after releasing their players).
    static int32_t SetLogger(IPlayerLogger* logger);
    // FFmpeg has one log callback per process. By default the first player routes FFmpeg's
    // messages into the library's log (kLogLevelError for its fatal ones). A host that handles
    // FFmpeg's log itself calls this with false, best before creating a player: FFmpeg's default
    // callback is put back if the library's was in, and the library leaves it alone from then on
    // (a callback the host sets after the first player also stays). Any thread. Returns 0.
    static int32_t SetFFmpegLogForwarding(bool enabled);
    // The proxy of the whole process, over http_proxy / https_proxy / no_proxy: proxyUrl
    // "http://[user:password@]host[:port]" (port 80 by default) for http and https media, with
    // noProxy as a no_proxy list ("*", names, addresses, networks such as 10.0.0.0/8; null: none);
    // "" for no proxy at all; null to go back to the environment. Applies to connections made
    // from then on. Any thread. Returns 0, or kErrorInvalidArgument (nothing changed) for a URL
    // that is not an http:// proxy.
    static int32_t SetProxy(const char* proxyUrl, const char* noProxy);
    // Kept for older hosts, which link them; the class holds nothing, so they do nothing.
    CMediaPlayerFactory& operator=(const CMediaPlayerFactory&);
    CMediaPlayerFactory& operator=(CMediaPlayerFactory&&);
};

}  // namespace kva_audioplayer
