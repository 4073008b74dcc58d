// The shared message record handled by every message thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kva_audioplayer {

struct ThreadMsg {
    ThreadMsg(int32_t id, std::string text) : mId(id), mText(std::move(text)) {}
    ThreadMsg(int32_t id, std::string text, int32_t arg1)
        : mId(id), mArg1(arg1), mText(std::move(text)) {}
    ThreadMsg(int32_t id, std::string text, bool arg1)
        : mId(id), mArg1(arg1 ? 1 : 0), mText(std::move(text)) {}
    // 64-bit arguments keep their low 32 bits.
    ThreadMsg(int32_t id, std::string text, int64_t arg1)
        : mId(id), mArg1(static_cast<int32_t>(arg1)), mText(std::move(text)) {}
    ThreadMsg(int32_t id, std::string text, int32_t arg1, int32_t arg2)
        : mId(id), mArg1(arg1), mArg2(arg2), mText(std::move(text)) {}

    int32_t mId;
    int32_t mArg1 = 0;
    int32_t mArg2 = 0;
    std::string mText;
    int64_t mDueTime = -1;  // -1 until posted, 0 for immediate records
    int64_t mWaitSince = -1;  // when the thread began waiting for it at the head
};

typedef std::shared_ptr<ThreadMsg> ThreadMsgPtr;

enum : int32_t { kMsgQuit = 1219 };

inline ThreadMsgPtr MakeMsg(int32_t id, const std::string& text) {
    return std::make_shared<ThreadMsg>(id, text);
}
template <typename A>
inline ThreadMsgPtr MakeMsg(int32_t id, const std::string& text, A arg1) {
    return std::make_shared<ThreadMsg>(id, text, arg1);
}
inline ThreadMsgPtr MakeMsg(int32_t id, const std::string& text, int32_t arg1, int32_t arg2) {
    return std::make_shared<ThreadMsg>(id, text, arg1, arg2);
}

}  // namespace kva_audioplayer
