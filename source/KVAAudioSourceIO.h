// Forwards every operation to an inner source it owns; hands a host source back through its
// release function instead of deleting it.
#pragma once

#include <string>

#include "KvaAudioPlayer.h"

namespace kva_audioplayer {

class CKVAAudioSourceIO : public IKVASourceIO {
public:
    CKVAAudioSourceIO(IKVASourceIO* inner, uint32_t sessionId);
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
};

}  // namespace kva_audioplayer
