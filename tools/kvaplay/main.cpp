// kvaplay: a command-line host of the library.
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "DurationCut.h"
#include "HostFileSource.h"
#include "KvaAudioPlayer.h"
#include "KvaSoundSystem.h"
#include "Options.h"
#include "TransitionGate.h"
#include "support/TextUtil.h"

using namespace kva_audioplayer;
using kvaplay::Options;

namespace {

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string JsonEscape(const char* text) {
    std::string out;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); p && *p; ++p) {
        if (*p == '"' || *p == '\\') {
            out += '\\';
            out += static_cast<char>(*p);
        } else if (*p < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", *p);
            out += buf;
        } else {
            out += static_cast<char>(*p);
        }
    }
    return out;
}

struct Event {
    int32_t id;
    std::string text;
    int32_t p1, p2;
};

// Receives notifications on the library's thread; the main loop acts on them.
class Observer : public IKVAPlayerObserver {
public:
    Observer(bool json, int64_t start)
        : mJson(json), mStart(start), mWake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Observer() {
        if (mWake >= 0) close(mWake);
    }
    // Sees every notification first, on the library's thread.
    void SetGate(kvaplay::TransitionGate* gate) { mGate = gate; }
    int32_t OnNotify(int32_t id, const char* text, int32_t p1, int32_t p2) override {
        if (kvaplay::TransitionGate* gate = mGate.load()) gate->OnNotify(id, text, p1);
        if (id == kNotifyStreamTitle && !mJson) {
            std::lock_guard<std::mutex> lock(mOutMutex);
            printf("title: %s\n", text ? text : "");
            fflush(stdout);
        }
        if (mJson) {
            std::lock_guard<std::mutex> lock(mOutMutex);
            printf("{\"ms\": %lld, \"id\": %d, \"text\": \"%s\", \"param1\": %d, \"param2\": %d}\n",
                   static_cast<long long>(SteadyMs() - mStart), id, JsonEscape(text).c_str(), p1, p2);
            fflush(stdout);
        }
        {
            std::lock_guard<std::mutex> lock(mMutex);
            mEvents.push_back({id, text ? text : "", p1, p2});
        }
        mCond.notify_one();
        if (mWake >= 0) {
            uint64_t one = 1;
            if (write(mWake, &one, sizeof(one)) < 0) {
                // the counter is full: the main loop is awake anyway
            }
        }
        return 0;
    }
    // Sleeps until a notification arrives, fd (when >= 0) is readable, or the time is up.
    void Wait(int fd, int timeoutMs) {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (!mEvents.empty()) return;
        }
        pollfd p[2] = {{mWake, POLLIN, 0}, {fd, POLLIN, 0}};
        if (poll(p, fd >= 0 ? 2 : 1, timeoutMs) > 0 && (p[0].revents & POLLIN)) {
            uint64_t n;
            if (read(mWake, &n, sizeof(n)) < 0) {
                // another wait took it
            }
        }
    }
    bool Next(Event* e, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mMutex);
        if (!mCond.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [this] { return !mEvents.empty(); }))
            return false;
        *e = mEvents.front();
        mEvents.pop_front();
        return true;
    }

private:
    bool mJson;
    int64_t mStart;
    std::atomic<kvaplay::TransitionGate*> mGate{nullptr};
    std::mutex mOutMutex, mMutex;
    std::condition_variable mCond;
    std::deque<Event> mEvents;
    int mWake;  // eventfd: a notification arrived
};

bool IsUrl(const std::string& m) {
    return StartsWithNoCase(m.c_str(), "http://") || StartsWithNoCase(m.c_str(), "https://");
}

void ReleaseHostSource(IKVASourceIO* source) { delete source; }

// Raw keys on a terminal; restores the terminal on destruction.
class Keys {
public:
    Keys() {
        if (!isatty(STDIN_FILENO)) return;
        if (tcgetattr(STDIN_FILENO, &mSaved) != 0) return;
        termios raw = mSaved;
        raw.c_lflag &= ~(ICANON | ECHO);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        mActive = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
    }
    ~Keys() {
        if (mActive) tcsetattr(STDIN_FILENO, TCSANOW, &mSaved);
    }
    int Fd() const { return mActive ? STDIN_FILENO : -1; }
    // The keys typed since the last call: characters, 'L'/'R' for the arrows. Keys typed
    // together arrive in one read; each counts.
    std::string Read() {
        std::string keys;
        if (!mActive) return keys;
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) return keys;
        char buf[64];
        ssize_t n = read(STDIN_FILENO, buf, sizeof(buf));
        for (ssize_t i = 0; i < n; ++i) {
            if (buf[i] == 27 && i + 2 < n && buf[i + 1] == '[') {
                if (buf[i + 2] == 'D') keys += 'L';
                if (buf[i + 2] == 'C') keys += 'R';
                i += 2;
            } else {
                keys += buf[i];
            }
        }
        return keys;
    }

private:
    termios mSaved{};
    bool mActive = false;
};

const char* StatusName(int32_t s) {
    switch (s) {
        case 1: return "idle";
        case 2: return "initialized";
        case 3: return "preparing";
        case 4: return "prepared";
        case 5: return "playing";
        case 6: return "paused";
        case 7: return "completed";
        case 8: return "stopped";
        case 9: return "error";
        case 11: return "abandoned";
        default: return "?";
    }
}

class Host {
public:
    explicit Host(const Options& o) : mOpt(o), mStart(SteadyMs()), mObserver(o.json, mStart) {}

    int Run() {
        if (mOpt.logLevel >= 0) CMediaPlayerFactory::SetLogConfig(true, mOpt.logLevel);
        bool selected = SelectOutput();
        if (selected) mPlayer = CMediaPlayerFactory::NewL(&mObserver);
        if (mFellBack) {
            fprintf(stderr, "kvaplay: no sound server answered; playing to the virtual output "
                            "(nothing will be heard)\n");
        }
        if (!selected) {
            fprintf(stderr, "kvaplay: output %s is not available\n", mOpt.output.c_str());
            return 1;
        }
        if (!mPlayer) {
            fprintf(stderr, "kvaplay: cannot create a player\n");
            return 1;
        }
        int rc = mOpt.listDevices ? ListDevices() : Play();
        mPlayer->Release();
        mPlayer = nullptr;
        mObserver.SetGate(nullptr);
        mGate.reset();
        return rc;
    }

private:
    bool SelectOutput() {
        KvaSoundSystemConfig config;
        if (mOpt.output == "pulse") config.kind = KvaSoundSystemKind::PulseAudio;
        else if (mOpt.output == "virtual") config.kind = KvaSoundSystemKind::Virtual;
        else if (mOpt.output == "wav") config.kind = KvaSoundSystemKind::VirtualWav;
        config.wavPath = mOpt.wavPath.empty() ? nullptr : mOpt.wavPath.c_str();
        config.fast = mOpt.fast;
        config.applicationName = "kvaplay";
        config.iconName = "audio-x-generic";
        if (CMediaPlayerFactory::SelectSoundSystem(config) != 0) return false;
        mFellBack = config.kind == KvaSoundSystemKind::Automatic &&
                    CMediaPlayerFactory::CurrentSoundSystem() != int32_t(KvaSoundSystemKind::PulseAudio);
        return true;
    }

    // One line per entry: its stable id (what --device takes), and "default" for the output
    // that is the system's default now or "follows" for an entry that follows the default.
    int ListDevices() {
        int n = mPlayer->GetOutputDeviceCount();
        printf("index\ttype\tdriver\tid\tname\tdefault\n");
        for (int i = 0; i < n; ++i) {
            DeviceRecord r{};
            if (!mPlayer->GetOutputDeviceInfo(i, &r)) continue;
            bool isDefault = false;
            std::string id(std::max(mPlayer->GetOutputDeviceId(i, nullptr, 0, nullptr), 0) + 1, '\0');
            id.resize(std::max(mPlayer->GetOutputDeviceId(i, &id[0], int32_t(id.size()), &isDefault), 0));
            printf("%d\t%d\t%s\t%s\t%s\t%s\n", i, r.nType, Utf16ToUtf8(r.szDriver).c_str(), id.c_str(),
                   Utf16ToUtf8(r.szName).c_str(), isDefault ? "default" : r.bDefault ? "follows" : "");
        }
        return 0;
    }

    // Returns 2 for a value the library refuses, else 0.
    int Configure() {
        if (mOpt.startFadeMs >= 0) mPlayer->SetStartFadeTime(mOpt.startFadeMs);
        if (mOpt.pauseFadeMs >= 0) mPlayer->SetPauseFadeTime(mOpt.pauseFadeMs);
        if (mOpt.crossFadeMs >= 0) mPlayer->SetCrossFadeTime(mOpt.crossFadeMs);
        if (!mOpt.device.empty()) {
            // An id first: it tells apart outputs that share a name.
            std::u16string name = Utf8ToUtf16(mOpt.device);
            if (mPlayer->SetOutputDeviceById(mOpt.deviceType, mOpt.device.c_str()) != 0 &&
                mPlayer->SetOutputDevice(mOpt.deviceType, name.c_str()) != 0) {
                fprintf(stderr, "kvaplay: no output device with the id or name '%s' for this driver "
                                "(kvaplay --list-devices shows them)\n", mOpt.device.c_str());
                return 2;
            }
        } else if (mOpt.deviceType != kDeviceTypeWasapi) {
            mPlayer->SetOutputDeviceType(mOpt.deviceType);
        }
        mPlayer->SetVolume(static_cast<float>(mOpt.volume));
        if (mOpt.replayGain != kReplayGainOff) mPlayer->SetReplayGain(mOpt.replayGain, 0.0f, false);
        if (mOpt.speed != 1.0 && !mPlayer->SetPlaySpeed(mOpt.speed)) {
            fprintf(stderr, "kvaplay: speed %.2f is not accepted\n", mOpt.speed);
            return 2;
        }
        if (mOpt.json) mPlayer->SetPositionNotifyInterval(1000);
        if (mOpt.fast && mOpt.durationMs >= 0) {
            mCut.reset(new kvaplay::DurationCut(mOpt.durationMs));
            mPlayer->SetAudioEffect(mCut.get());
        }
        if (mOpt.media.size() > 1) {
            // Preloads and cross-fades alike are queued straight after a hand-over.
            std::vector<bool> queueable(mOpt.media.size() + 1, false);
            for (size_t i = 1; i < mOpt.media.size(); ++i)
                queueable[SessionIdOf(i)] = mOpt.nextMode != kNextModeSwitch;
            mGate.reset(new kvaplay::TransitionGate(mOpt.fast, std::move(queueable)));
            mObserver.SetGate(mGate.get());
            mPlayer->SetAudioListener(mGate.get());
        }
        return 0;
    }

    // Items queued through SetNextSourceIO carry the session id index + 1.
    static uint32_t SessionIdOf(size_t index) { return static_cast<uint32_t>(index + 1); }

    // Queues item index as the next source, or remembers to start it by hand.
    void QueueNext(size_t index, int32_t mode) {
        if (index >= mOpt.media.size()) return;
        const std::string& m = mOpt.media[index];
        mQueued = true;
        mQueuedIndex = index;
        if (mGate) mGate->Expect(SessionIdOf(index));
        if (IsUrl(m)) {
            mPlayer->SetNextDataSource(m.c_str(), mode, SessionIdOf(index));
            return;
        }
        auto* source = new kvaplay::HostFileSource(SessionIdOf(index), m);
        mPlayer->SetNextSourceIO(source, mode, &ReleaseHostSource);
    }

    // Lines up the item after the current one: a preload goes out now, so that it is in place
    // before the current item can end; a cross-fade is armed and asked for near the end.
    void QueueFollowing() {
        if (mQueued || mNextIndex >= mOpt.media.size() || !mGate) return;
        if (mOpt.nextMode == kNextModePreload) {
            QueueNext(mNextIndex, kNextModePreload);
        } else if (mOpt.nextMode == kNextModeCrossFade) {
            // The library times the fade itself, and opens the next item well before it.
            QueueNext(mNextIndex, kNextModeCrossFadeAtEnd);
        }
    }

    // The item with this index is now the current one.
    void Advance(size_t index) {
        if (index == mCurrent || index >= mOpt.media.size()) return;
        mPlayedBefore += std::max<int64_t>(mCurrentDuration, 0);
        mCurrent = index;
        mNextIndex = index + 1;
        mQueued = false;
        mCompleted = false;
    }

    void StartManual(size_t index) {
        mCurrent = index;
        mNextIndex = index + 1;
        mQueued = false;
        mCompleted = false;
        mErrorDeadline = 0;
        mPlayer->SetDataSource(mOpt.media[index].c_str());
        mPlayer->PrepareAsync();
    }

    // After the current item completed with nothing lined up: start the next one, or end.
    int StartAfterCompletion() {
        size_t next = mNextIndex;
        if (next >= mOpt.media.size()) return mItemFailed ? 1 : 0;
        QueueNext(next, kNextModeSwitch);
        return -1;
    }

    int Play() {
        if (int rc = Configure()) return rc;
        mPlayer->SetDataSource(mOpt.media[0].c_str());
        mPlayer->PrepareAsync();
        Keys keys;
        const bool progress = !mOpt.quiet && !mOpt.json && isatty(STDOUT_FILENO);
        int64_t lastDraw = 0;
        for (;;) {
            Event e;
            while (mObserver.Next(&e, 0)) {
                int rc = Handle(e);
                if (rc >= 0) return Finish(rc, progress);
            }
            int rc = Poll();
            if (rc >= 0) return Finish(rc, progress);
            for (char key : keys.Read())
                if ((rc = OnKey(key)) >= 0) return Finish(rc, progress);
            if (progress && SteadyMs() - lastDraw >= 200) {
                lastDraw = SteadyMs();
                DrawProgress();
            }
            // Paused, nothing moves: only a key or a notification needs an answer, so a paused
            // player costs the machine next to no wake-ups.
            const bool idle = mPlayer->GetStatus() == kStatusPaused && mErrorDeadline <= 0;
            mObserver.Wait(keys.Fd(), idle ? 1000 : 50);
        }
    }

    int Finish(int rc, bool progress) {
        if (progress) printf("\n");
        mPlayer->Stop(false);
        return rc;
    }

    // Returns an exit code to end with, or -1 to go on.
    int Handle(const Event& e) {
        switch (e.id) {
            case kNotifyStatus:
                if (e.p1 == kStatusPrepared) {
                    QueueFollowing();
                    if (mCurrent == 0 && mOpt.seekMs >= 0 && !mSeekDone) {
                        mSeekDone = true;
                        // A live stream cannot seek: it plays from where it is.
                        mWaitSeek = mPlayer->Seek(mOpt.seekMs) == 0;
                        if (!mWaitSeek) {
                            fprintf(stderr, "kvaplay: this media cannot seek; playing from its start\n");
                            mPlayer->Play(true);
                        }
                    } else {
                        mPlayer->Play(true);
                    }
                } else if (e.p1 == kStatusError) {
                    return AfterFailure();
                }
                break;
            case kNotifySeekCompleted:
                if (mWaitSeek) {
                    mWaitSeek = false;
                    mPlayer->Play(true);
                }
                break;
            case kNotifyNextSource: {
                const size_t index = static_cast<size_t>(strtoul(e.text.c_str(), nullptr, 10)) - 1;
                if (e.p1 == kNextSwitchingNow) {
                    Advance(index);
                } else if (e.p1 == 9 || e.p1 == kNextNoneToSwitch) {
                    const size_t failed = mQueued ? mQueuedIndex : mNextIndex;
                    if (e.p1 == 9) {
                        const int32_t detail = mPlayer->GetNextSourceErrorDetail();
                        fprintf(stderr, "kvaplay: %s: %s (error %d, detail %d)\n", mOpt.media[failed].c_str(),
                                CMediaPlayerFactory::ErrorText(e.p2, detail), e.p2, detail);
                    } else {
                        fprintf(stderr, "kvaplay: %s: could not be queued\n", mOpt.media[failed].c_str());
                    }
                    mItemFailed = true;
                    mQueued = false;
                    mNextIndex = failed + 1;
                    if (mCompleted) return StartAfterCompletion();
                    QueueFollowing();
                }
                break;
            }
            case kNotifyStreamChanged:  // a gapless or cross-fade hand-over: param1 is the id
                Advance(static_cast<size_t>(e.p1) - 1);
                QueueFollowing();
                break;
            case kNotifyDuration:
                mCurrentDuration = e.p1;
                break;
            case kNotifyPlaybackCompleted:
                mCompleted = true;
                // A queued item still owes its answer: the library hands over to it or reports
                // its failure.
                if (mQueued || (mGate && mGate->Outstanding())) break;
                return StartAfterCompletion();
            case kNotifyError:
                // The status change that follows is still reported before leaving.
                fprintf(stderr, "kvaplay: %s: %s (error %d, detail %d)\n", mOpt.media[mCurrent].c_str(),
                        CMediaPlayerFactory::ErrorText(e.p1, e.p2), e.p1, e.p2);
                mErrorDeadline = SteadyMs() + 500;
                break;
            default:
                break;
        }
        return -1;
    }

    // The current item failed (already reported): on with the next one, or end with 1.
    int AfterFailure() {
        mErrorDeadline = 0;
        mItemFailed = true;
        if (mCurrent + 1 >= mOpt.media.size()) return 1;
        StartManual(mCurrent + 1);
        return -1;
    }

    int Poll() {
        if (mErrorDeadline > 0 && SteadyMs() >= mErrorDeadline) return AfterFailure();
        int64_t pos = mPlayer->GetCurrentPosition();
        if (mOpt.durationMs >= 0 && mPlayedBefore + pos >= mOpt.durationMs) return 0;
        if (mCut && mCut->Done()) return 0;
        return -1;
    }

    int OnKey(int key) {
        int32_t status = mPlayer->GetStatus();
        switch (key) {
            case ' ':
                if (status == kStatusStarted) mPlayer->Pause(true);
                else mPlayer->Play(true);
                break;
            case 'L': mPlayer->Seek(std::max<int64_t>(0, mPlayer->GetCurrentPosition() - 5000)); break;
            case 'R': mPlayer->Seek(mPlayer->GetCurrentPosition() + 5000); break;
            case 'n':
                if (mNextIndex < mOpt.media.size()) {
                                QueueNext(mNextIndex, kNextModeSwitch);
                }
                break;
            case '+': mPlayer->SetVolume(std::min(1.0f, mPlayer->GetVolume() + 0.05f)); break;
            case '-': mPlayer->SetVolume(std::max(0.0f, mPlayer->GetVolume() - 0.05f)); break;
            case ']': mSpeed = std::min(4.0, mSpeed + 0.25);
                mPlayer->SetPlaySpeed(mSpeed);
                break;
            case '[': mSpeed = std::max(0.5, mSpeed - 0.25);
                mPlayer->SetPlaySpeed(mSpeed);
                break;
            case 'q': return 0;
            default: break;
        }
        return -1;
    }

    void DrawProgress() {
        int64_t pos = mPlayer->GetCurrentPosition() / 1000, dur = mPlayer->GetDuration() / 1000;
        printf("\r[%zu/%zu] %02lld:%02lld / %02lld:%02lld  %-9s vol %3d%% speed %.2f%s   ",
               mCurrent + 1, mOpt.media.size(), static_cast<long long>(pos / 60),
               static_cast<long long>(pos % 60), static_cast<long long>(dur / 60),
               static_cast<long long>(dur % 60), StatusName(mPlayer->GetStatus()),
               static_cast<int>(mPlayer->GetVolume() * 100 + 0.5f), mSpeed,
               mPlayer->IsBuffering() ? "  buffering" : "");
        fflush(stdout);
    }

    const Options& mOpt;
    bool mFellBack = false;  // the automatic choice found no sound server
    int64_t mStart;
    Observer mObserver;
    IKVAPlayer* mPlayer = nullptr;
    std::unique_ptr<kvaplay::TransitionGate> mGate;
    std::unique_ptr<kvaplay::DurationCut> mCut;  // outlives the player (released in Run)
    size_t mCurrent = 0;
    size_t mNextIndex = 1;    // the item to line up after the current one
    size_t mQueuedIndex = 0;  // the item of the request out, while mQueued
    int64_t mCurrentDuration = -1;
    bool mCompleted = false;  // the current item completed
    bool mQueued = false;
    bool mSeekDone = false;
    bool mWaitSeek = false;
    bool mItemFailed = false;
    int64_t mPlayedBefore = 0;
    int64_t mErrorDeadline = 0;
    double mSpeed = 1.0;
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (kvaplay::WantsHelp(argc, argv)) {
        fputs(kvaplay::Usage(), stdout);
        return 0;
    }
    if (!kvaplay::ParseOptions(argc, argv, &options, &error)) {
        fprintf(stderr, "kvaplay: %s (kvaplay --help lists the options)\n", error.c_str());
        return 2;
    }
    Host host(options);
    return host.Run();
}
