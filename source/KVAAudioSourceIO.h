// Forwards every operation to an inner source. Made with a release function (or with a null
// one), it owns the inner source together with every other wrapper of that same object, in any
// player: the last of them to go closes it and hands it back through the release function, or
// deletes it when there is none. A host that gives one source twice so has it released once.
#pragma once

#include <string>

#include "KvaAudioPlayer.h"

namespace kva_audioplayer {

class CKVAAudioSourceIO : public IKVASourceIO {
public:
    CKVAAudioSourceIO(IKVASourceIO* inner, uint32_t sessionId);  // does not own inner
    CKVAAudioSourceIO(IKVASourceIO* inner, KVASourceRelease release);
    ~CKVAAudioSourceIO() override;

    IKVASourceIO* Inner() const { return mInner; }
    KVASourceRelease ReleaseFn() const { return mRelease; }

    uint32_t GetSessionId() override;
    int32_t Open() override;
    int32_t Read(uint8_t* buffer, int32_t* length) override;
    int32_t Seek(int64_t* position, int32_t whence) override;
    double GetRatio() override;
    void Reserved() override;
    void Abort() override;
    void Close() override;
    int64_t GetSize() override;
    int64_t GetAvailableSize() override;
    bool SupportFastSeek() override;
    int32_t GetErrorCode() override;
    const char* GetSessionIdText() override;
    void CancelReading(bool cancel) override;
    void SeekDone(uint8_t* done) override;

private:
    IKVASourceIO* mInner;
    uint32_t mSessionId;
    std::string mText;  // never filled: the answer without an inner source
    KVASourceRelease mRelease = nullptr;
    bool mOwns = false;
};

}  // namespace kva_audioplayer
