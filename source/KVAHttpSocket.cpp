// The client's socket: non-blocking connect with its waits, send, receive, cancel.
#include "source/KVAHttpClient.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "support/Clock.h"
#include "support/Log.h"

namespace kva_audioplayer {

int32_t CKVAHttpClient::ConnectAddress(sockaddr* address, uint16_t port) {
    const int family = address->sa_family;
    int sock = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        KVA_LOG(kLogError, "socket error");
        mStatusCode.store(kHttpStatusNoSocket);
        return kHttpConnectFailed;
    }
    {
        std::lock_guard<std::mutex> g(mSocketLock);
        mSocket.store(sock);
    }
    mConnectState.store(kHttpSocketCreated);
    SetNonBlocking(sock);

    socklen_t len;
    if (family == AF_INET6) {
        reinterpret_cast<sockaddr_in6*>(address)->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
    } else {
        reinterpret_cast<sockaddr_in*>(address)->sin_port = htons(port);
        len = sizeof(sockaddr_in);
    }
    int nErr = connect(sock, address, len);
    if (nErr == 0) {
        mConnectState.store(kHttpConnected);
        return kHttpOk;
    }
    int err = errno;
    mStatusCode.store(kHttpStatusSocketBase + static_cast<uint32_t>(err));
    if (err == EINPROGRESS || err == EWOULDBLOCK || err == EINTR) {
        int32_t wait = kHttpTimedOut;
        for (int i = 0; i < 50 && !mCancel.load() && MonotonicMs() < mConnectDeadlineMs; ++i) {
            wait = WaitConnect(sock, 100000);
            if (wait != kHttpTimedOut) break;
        }
        if (wait == kHttpOk && !mCancel.load()) {
            mConnectState.store(kHttpConnected);
            return kHttpOk;
        }
        if (wait == kHttpTimedOut && !mCancel.load()) mStatusCode.store(kHttpStatusConnectTimeout);
        nErr = wait;
    }
    if (mCancel.load()) mAborted.store(true);
    KVA_LOG(kLogError, "connect error. nErr: %d, wsaError: %d", nErr, err);
    DnsCacheRemove(mHost);
    if (mSocket.load() >= 0) SetBlocking(mSocket.load());
    Disconnect();
    return kHttpConnectFailed;
}

int32_t CKVAHttpClient::ConnectIPv4(uint32_t address, uint16_t port) {
    sockaddr_storage storage;
    memset(&storage, 0, sizeof(storage));
    sockaddr_in* sin = reinterpret_cast<sockaddr_in*>(&storage);
    sin->sin_family = AF_INET;
    sin->sin_addr.s_addr = address;
    return ConnectAddress(reinterpret_cast<sockaddr*>(&storage), port);
}

int32_t CKVAHttpClient::WaitConnect(int sock, int32_t waitUs) {
    pollfd p;
    p.fd = sock;
    p.events = POLLOUT;
    p.revents = 0;
    int r = poll(&p, 1, waitUs / 1000);
    if (r == 0) return kHttpTimedOut;
    if (r < 0) {
        if (errno == EINTR) return kHttpTimedOut;
        mStatusCode.store(kHttpStatusSocketBase + static_cast<uint32_t>(errno));
        return kHttpConnectFailed;
    }
    int soErr = 0;
    socklen_t len = sizeof(soErr);
    if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) {
        mStatusCode.store(kHttpStatusSocketBase + static_cast<uint32_t>(errno));
        return kHttpConnectFailed;
    }
    if (soErr != 0) {
        mStatusCode.store(kHttpStatusSocketBase + static_cast<uint32_t>(soErr));
        return kHttpConnectFailed;
    }
    if (p.revents & POLLOUT) return kHttpOk;
    mStatusCode.store(kHttpStatusNeither);
    return kHttpConnectFailed;
}

int32_t CKVAHttpClient::Disconnect() {
    mTls.Close();
    mStream = &mPlain;
    int32_t state = mConnectState.load();
    if (state == kHttpSocketCreated || state == kHttpConnected) {
        std::lock_guard<std::mutex> g(mSocketLock);
        int sock = mSocket.exchange(-1);
        if (sock >= 0) {
            close(sock);
            KVA_LOG(kLogDetail, "CKVAHttpClient::Disconnect closed");
        }
    }
    mConnectState.store(kHttpClosed);
    mMediaType = false;
    mBodyLeft = -1;
    ClearReceiveBuffer();
    mRedirectLocation.clear();
    mConnectStartMs = 0;
    return kHttpOk;
}

void CKVAHttpClient::Cancel() {
    mCancel.store(true);
    mAborted.store(true);
    // Shut down, never close, from this thread: the owner may be inside a call on the number,
    // which a close would let the process hand to another file meanwhile.
    std::lock_guard<std::mutex> g(mSocketLock);
    int sock = mSocket.load();
    if (sock >= 0) shutdown(sock, SHUT_RDWR);
}

int32_t CKVAHttpClient::SetRecvTimeout(int sock, const struct timeval& tv) {
    if (sock < 0) return -1;
    return setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
}

int32_t CKVAHttpClient::SetBlocking(int sock) {
    if (sock < 0) return -1;
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) return -1;
    return fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
}

int32_t CKVAHttpClient::SetNonBlocking(int sock) {
    if (sock < 0) return -1;
    int flags = fcntl(sock, F_GETFL, 0);
    if (flags < 0) return -1;
    return fcntl(sock, F_SETFL, flags | O_NONBLOCK);
}

int32_t CKVAHttpPlainStream::Write(const char* data, int32_t length) {
    return static_cast<int32_t>(send(mSocket.load(), data, static_cast<size_t>(length), MSG_NOSIGNAL));
}

int32_t CKVAHttpPlainStream::Read(uint8_t* buffer, int32_t length, int* sysErr) {
    ssize_t n = recv(mSocket.load(), buffer, static_cast<size_t>(length), 0);
    if (n > 0) return static_cast<int32_t>(n);
    if (n == 0) return kStreamClosed;
    *sysErr = errno;
    return kStreamFailed;
}

int32_t CKVAHttpClient::StartTls() {
    uint32_t status = 0;
    int32_t ret = mTls.Handshake(mSocket.load(), mTrust.Context(), mHost, mConnectDeadlineMs, mCancel, &status);
    if (ret != kHttpOk) {
        if (status != 0) mStatusCode.store(status);
        if (mCancel.load()) mAborted.store(true);
        return ret;
    }
    mStream = &mTls;
    return kHttpOk;
}

int32_t CKVAHttpClient::Send(const char* data, int32_t length) {
    if (mConnectState.load() == kHttpClosed) return kHttpNotConnected;
    int32_t sent = 0;
    while (sent < length) {
        int32_t n = mStream->Write(data + sent, length - sent);
        if (n < 0 && errno == EINTR && !mCancel.load()) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EPIPE;
            mStatusCode.store(kHttpStatusSendBase + static_cast<uint32_t>(err));
            KVA_LOG(kLogError, "send error!%s/n", strerror(err));
            return kHttpSendFailed;
        }
        sent += n;
    }
    return kHttpOk;
}

int32_t CKVAHttpClient::Receive(int sock, int32_t waitMs, uint8_t* buffer, int32_t length) {
    if (sock < 0) return kHttpNotConnected;
    if (!mStream->HasBuffered()) {
        int32_t ready = WaitReadable(sock, waitMs);
        if (ready <= 0) return ready;
    }
    int err = 0;
    int32_t n = mStream->Read(buffer, length, &err);
    if (n >= 0) return n;
    if (n == kStreamClosed) {
        KVA_LOG(kLogDetail, "CKVAHttpClient::Receive is zero");
        return kHttpPeerClosed;
    }
    KVA_LOG(kLogDetail, "CKVAHttpClient::Receive errno %d", err);
    mRecvErrno = err;
    mStatusCode.store(kHttpStatusRecvBase + static_cast<uint32_t>(err));
    if (err == ECONNRESET) return kHttpPeerClosed;
    return err == ETIMEDOUT ? kHttpTimedOut : kHttpRecvFailed;
}

int32_t CKVAHttpClient::WaitReadable(int sock, int32_t waitMs) {
    mStatusCode.store(0);
    for (int attempt = 0;; ++attempt) {
        pollfd p;
        p.fd = sock;
        p.events = POLLIN;
        p.revents = 0;
        int r = poll(&p, 1, waitMs);
        if (r > 0) return (p.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
        if (r == 0) return 0;
        int err = errno;
        mStatusCode.store(kHttpStatusSelectBase + static_cast<uint32_t>(err));
        if (err == EINTR && attempt == 0 && !mCancel.load()) continue;
        return -1;
    }
}

}  // namespace kva_audioplayer
