#include "source/KVAAudioSourceIO.h"

#include <mutex>
#include <unordered_map>

#include "support/Log.h"

namespace kva_audioplayer {

namespace {

// How many wrappers own each host source. Recursive: a release function may drop another
// wrapper. Never destroyed, so that a wrapper outliving static destruction still finds it.
std::recursive_mutex& OwnersMutex() {
    static auto* m = new std::recursive_mutex;
    return *m;
}
std::unordered_map<IKVASourceIO*, int>& Owners() {
    static auto* owners = new std::unordered_map<IKVASourceIO*, int>;
    return *owners;
}

}  // namespace

CKVAAudioSourceIO::CKVAAudioSourceIO(IKVASourceIO* inner, uint32_t sessionId)
    : mInner(inner), mSessionId(sessionId) {}

CKVAAudioSourceIO::CKVAAudioSourceIO(IKVASourceIO* inner, KVASourceRelease release)
    : mInner(inner), mSessionId(inner ? inner->GetSessionId() : 0), mRelease(release),
      mOwns(inner != nullptr) {
    if (!mOwns) return;
    std::lock_guard<std::recursive_mutex> lock(OwnersMutex());
    ++Owners()[inner];
}

CKVAAudioSourceIO::~CKVAAudioSourceIO() {
    if (!mOwns) {
        Close();
        return;
    }
    IKVASourceIO* inner = mInner;
    mInner = nullptr;
    // Counted down, closed and handed back in one step, so that no new owner can appear between.
    std::lock_guard<std::recursive_mutex> lock(OwnersMutex());
    auto it = Owners().find(inner);
    if (it != Owners().end() && --it->second > 0) return;  // another wrapper still reads it
    if (it != Owners().end()) Owners().erase(it);
    inner->Close();
    if (mRelease)
        mRelease(inner);
    else
        delete inner;
}

uint32_t CKVAAudioSourceIO::GetSessionId() { return mInner ? mInner->GetSessionId() : mSessionId; }

int32_t CKVAAudioSourceIO::Open() {
    if (!mInner) return kSourceOpenFailed;
    return mInner->Open() == kSourceOk ? kSourceOk : kSourceOpenFailed;
}

int32_t CKVAAudioSourceIO::Read(uint8_t* buffer, int32_t* length) {
    if (!buffer || !length || !mInner) return kSourceBadArgument;
    return mInner->Read(buffer, length);
}

int32_t CKVAAudioSourceIO::Seek(int64_t* position, int32_t whence) {
    if (!position || !mInner) return kSourceBadArgument;
    return mInner->Seek(position, whence);
}

double CKVAAudioSourceIO::GetRatio() { return mInner ? mInner->GetRatio() : 1.0; }
void CKVAAudioSourceIO::Reserved() {
    if (mInner) mInner->Reserved();
}
void CKVAAudioSourceIO::Abort() {
    if (mInner) mInner->Abort();
}
void CKVAAudioSourceIO::Close() {
    if (mInner) mInner->Close();
}
int64_t CKVAAudioSourceIO::GetSize() { return mInner ? mInner->GetSize() : 0; }
int64_t CKVAAudioSourceIO::GetAvailableSize() { return mInner ? mInner->GetAvailableSize() : 0; }
bool CKVAAudioSourceIO::SupportFastSeek() { return mInner ? mInner->SupportFastSeek() : false; }
int32_t CKVAAudioSourceIO::GetErrorCode() { return mInner ? mInner->GetErrorCode() : 2; }
const char* CKVAAudioSourceIO::GetSessionIdText() {
    return mInner ? mInner->GetSessionIdText() : mText.c_str();
}

void CKVAAudioSourceIO::CancelReading(bool cancel) {
    KVA_LOG(kLogTrace, "CKVAAudioSourceIO::CancelReading");
    if (mInner) mInner->CancelReading(cancel);
}

void CKVAAudioSourceIO::SeekDone(uint8_t* done) {
    KVA_LOG(kLogTrace, "CKVAAudioSourceIO::SeeDone");
    if (mInner) mInner->SeekDone(done);
}

}  // namespace kva_audioplayer
