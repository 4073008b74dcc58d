#include "source/KVAHttpClient.h"

#include <netdb.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "source/KVAHttpText.h"
#include "support/Clock.h"
#include "support/KVASync.h"
#include "support/Log.h"

namespace kva_audioplayer {

using namespace httptext;

namespace {

const char* const kUserAgent = "KVAAudioplayer Engine";

}  // namespace

std::string Base64(const std::string& in) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        uint32_t v = (uint8_t(in[i]) << 16) | (uint8_t(in[i + 1]) << 8) | uint8_t(in[i + 2]);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    if (i < in.size()) {
        uint32_t v = uint8_t(in[i]) << 16;
        if (i + 1 < in.size()) v |= uint8_t(in[i + 1]) << 8;
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// ---- construction ----

CKVAHttpClient::CKVAHttpClient() {
    mLine[0] = 0;
    mHeaderValue[0] = 0;
    mIPText[0] = 0;
    memset(&mAddress, 0, sizeof(mAddress));
    DnsCacheSize();  // the process-wide cache exists from the first client on
}

CKVAHttpClient::~CKVAHttpClient() {
    Disconnect();
    if (mAddrList) freeaddrinfo(mAddrList);
    mAddrList = nullptr;
}

void CKVAHttpClient::AdoptInjectedStream() {
    mConnectState.store(kHttpConnected);
    ClearReceiveBuffer();
}

// ---- URL ----

void CKVAHttpClient::ParseUrl(const char* urlIn) {
    // A fragment belongs to the client alone and is never sent.
    std::string text = urlIn;
    size_t fragment = text.find('#');
    if (fragment != std::string::npos) text.resize(fragment);
    const char* url = text.c_str();
    const char* rest = nullptr;
    if (HasScheme(url, "http://")) {
        mHttps = false;
        rest = url + 7;
    } else if (HasScheme(url, "https://")) {
        mHttps = true;
        rest = url + 8;
    }
    if (!rest) {
        // A relative location: keep the host (and its credentials), take the text as the path.
        mPath = url;
        mPort = mHttps ? 443 : 80;
        return;
    }
    mPort = mHttps ? 443 : 80;
    size_t hostEnd = strcspn(rest, "/?");
    std::string host(rest, hostEnd);
    mPath = rest + hostEnd;
    mAuthorization.clear();
    size_t at = host.rfind('@');
    if (at != std::string::npos) {
        mAuthorization = "Basic " + Base64(PercentDecode(host.substr(0, at)));
        host.erase(0, at + 1);
    }
    size_t colon = std::string::npos;
    if (!host.empty() && host[0] == '[') {
        size_t bracket = host.find(']');
        if (bracket != std::string::npos) colon = host.find(':', bracket);
    } else {
        colon = host.find(':');
    }
    if (colon != std::string::npos) {
        long port = strtol(host.c_str() + colon + 1, nullptr, 10);
        if (port > 0 && port <= 65535) mPort = static_cast<uint16_t>(port);
        host.resize(colon);
    }
    mHost = host;
}

// ---- connecting ----

int32_t CKVAHttpClient::ReconnectDirect(CKVAHttpClient* self, const char* url, int64_t offset) {
    return self->Connect(url, offset, true);
}

// Tries the resolved addresses of name from the one after the last that failed, or the literal
// address.
int32_t CKVAHttpClient::ConnectResolved(const std::string& name, uint16_t port) {
    if (!mAddrList) {
        KVA_LOG(kLogDetail, "CKVAHttpClient::Connect direct connect host=%s, family=%d, port=%d",
                name.c_str(), mAddress.ss_family, port);
        return ConnectAddress(reinterpret_cast<sockaddr*>(&mAddress), port);
    }
    int32_t count = 0;
    for (addrinfo* ai = mAddrList; ai; ai = ai->ai_next) ++count;
    if (mNextAddressIndex >= count || mNextAddressIndex < 0) mNextAddressIndex = 0;
    addrinfo* ai = mAddrList;
    for (int32_t i = 0; i < mNextAddressIndex && ai; ++i) ai = ai->ai_next;
    int32_t ret = kHttpConnectFailed;
    for (; ai; ai = ai->ai_next) {
        memset(&mAddress, 0, sizeof(mAddress));
        memcpy(&mAddress, ai->ai_addr, std::min<size_t>(ai->ai_addrlen, sizeof(mAddress)));
        KVA_LOG(kLogDetail, "CKVAHttpClient::Connect try addrinfo connect host=%s, family=%d, port=%d",
                name.c_str(), mAddress.ss_family, port);
        ret = ConnectAddress(reinterpret_cast<sockaddr*>(&mAddress), port);
        if (ret == kHttpOk) {
            DnsCacheAdd(name, mAddress);
            break;
        }
        if (mCancel.load()) break;
    }
    freeaddrinfo(mAddrList);
    mAddrList = nullptr;
    return ret;
}

int64_t CKVAHttpClient::BeginConnectAttempt() {
    mStatusCode.store(0);
    mCancel.store(false);
    mAborted.store(false);
    mMediaType = false;
    mTransferBlock = false;
    mContentLength = -1;
    mViaProxy = false;
    mProxyAuthorization.clear();
    mConnectStartMs = MonotonicMs();
    mConnectDeadlineMs = Deadline(kConnectDeadlineMs);
    return mConnectStartMs;
}

int64_t CKVAHttpClient::Deadline(int32_t fromNowMs) const {
    const int64_t own = MonotonicMs() + fromNowMs;
    return mOverallDeadlineMs > 0 ? std::min(own, mOverallDeadlineMs) : own;
}

// Drops the last answer and any reply bytes, then resolves name afresh.
int32_t CKVAHttpClient::ResolveFresh(const std::string& name) {
    ClearReceiveBuffer();
    if (mAddrList) freeaddrinfo(mAddrList);
    mAddrList = nullptr;
    memset(&mAddress, 0, sizeof(mAddress));
    mIPv4 = 0;
    return ResolveDNS(name.c_str(), &mAddress);
}

bool CKVAHttpClient::AbortIfCancelled() {
    if (!mCancel.load() && mSocket.load() >= 0) return false;
    mAborted.store(true);
    return true;
}

void CKVAHttpClient::UseBlockingReads() {
    const int sock = mSocket.load();
    SetBlocking(sock);
    struct timeval tv = {0, 500000};
    SetRecvTimeout(sock, tv);
}

int32_t CKVAHttpClient::Connect(const char* urlIn, int64_t offset, bool redirect) {
    if (mStartupResult != 0) return kHttpConnectFailed;
    // Our own copy: a redirect rewrites the location text the caller may have handed in.
    const std::string url = urlIn ? urlIn : "";
    mIPText[0] = 0;
    ParseUrl(url.c_str());
    KVA_LOG(kLogDetail,
            "CKVAHttpClient::Connect begin url=%s, host=%s, file=%s, port=%d, https=%d, "
            "offset=%lld, redirect=%d",
            ForLog(urlIn ? url.c_str() : nullptr).c_str(), mHost.c_str(), mPath.c_str(), mPort,
            mHttps ? 1 : 0, static_cast<long long>(offset), redirect ? 1 : 0);
    const int64_t start = BeginConnectAttempt();
    mRedirectCount = redirect ? mRedirectCount + 1 : 0;
    if (mRedirectCount > kMaxRedirects) return kHttpTooManyRedirects;

    ProxyRoute route;
    if (FindProxy(true, &route)) return ConnectThroughProxy(route, url, offset);

    int32_t ret = ResolveFresh(mHost);
    KVA_LOG(kLogDetail, "CKVAHttpClient::Connect ResolveDNS ret=%d, statusCode=%u, host=%s, ip=%s, cost=%lldms",
            ret, mStatusCode.load(), mHost.c_str(), mIPText[0] ? mIPText : "<empty>",
            static_cast<long long>(MonotonicMs() - start));
    if (ret != kHttpOk) return ret;
    const bool usedList = mAddrList != nullptr;
    const int32_t oldIndex = mNextAddressIndex;
    ret = ConnectResolved(mHost, mPort);
    if (ret == kHttpOk && AbortIfCancelled()) {
        Disconnect();
        return kHttpConnectFailed;
    }
    if (ret == kHttpOk && mHttps) ret = StartTls();
    if (ret != kHttpOk) {
        DnsCacheRemove(mHost);
        Disconnect();
        return ret;
    }

    UseBlockingReads();
    const int64_t requestStart = MonotonicMs();
    ret = SendRequestAndParseResponse(&CKVAHttpClient::ReconnectDirect, url.c_str(), mPort, offset);
    const int64_t now = MonotonicMs();
    KVA_LOG(kLogDetail,
            "CKVAHttpClient::Connect end ret=%d, statusCode=%u, httpStatus=%d, contentLength=%d, "
            "transferBlock=%d, ip=%s, totalCost=%lldms, requestCost=%lldms",
            ret, mStatusCode.load(), mConnectState.load(), static_cast<int>(mContentLength),
            mTransferBlock ? 1 : 0, mIPText, static_cast<long long>(now - start),
            static_cast<long long>(now - requestStart));
    // The next attempt after a failure starts at the address after this one.
    mNextAddressIndex = ret == kHttpOk || !usedList ? 0 : oldIndex + 1;
    return ret;
}

// ---- requests ----

void CKVAHttpClient::SetExtraHeaders(const char* text) {
    mHasExtraHeaders = text != nullptr;
    mExtraHeaders = text ? text : "";
}

bool CKVAHttpClient::IsRedirect(uint32_t httpStatus) {
    return httpStatus == 301 || httpStatus == 302 || httpStatus == 303 || httpStatus == 307 ||
           httpStatus == 308;
}

const char* CKVAHttpClient::GetRedirectUrl() {
    return mRedirectLocation.empty() ? nullptr : mRedirectLocation.c_str();
}

int32_t CKVAHttpClient::SendRequest(uint16_t port, int64_t offset) {
    const bool range = offset >= 1;
    const bool showPort = port != 80 && port != 443;
    // An empty target, or one that starts with the query, is not a valid request line.
    std::string target = mPath;
    if (target.empty() || target[0] != '/') target.insert(0, "/");
    std::string portText = showPort ? ":" + std::to_string(port) : std::string();
    std::string rangeLine =
        range ? "Range: bytes=" + std::to_string(static_cast<long long>(offset)) + "-\r\n"
              : std::string();

    // A proxy takes the whole URL; a tunnel or the origin takes the path.
    if (mViaProxy) target.insert(0, "http://" + mHost + portText);
    std::string req = "GET " + target + " HTTP/1.1\r\n";
    if (mHasExtraHeaders && mExtraHeaders.find("Host:") != std::string::npos) {
        req += mExtraHeaders + portText + "\r\n";
    } else {
        if (mHasExtraHeaders) req += mExtraHeaders;
        req += "Host: " + mHost + portText + "\r\n";
    }
    if (!mAuthorization.empty()) req += "Authorization: " + mAuthorization + "\r\n";
    if (mViaProxy && !mProxyAuthorization.empty())
        req += "Proxy-Authorization: " + mProxyAuthorization + "\r\n";
    req += rangeLine;
    if (mIcyMetadata) req += "Icy-MetaData: 1\r\n";
    req += "Connection: keep-alive\r\nUser-Agent: ";
    req += kUserAgent;
    req += "\r\n\r\n";
    mRequest = req;
    return Send(mRequest.data(), static_cast<int32_t>(mRequest.size()));
}

int32_t CKVAHttpClient::SendRequestAndParseResponse(ReconnectFn reconnect, const char* url,
                                                    uint16_t port, int64_t offset) {
    KVA_LOG(kLogDetail, "[Connected]: offset = %lld", static_cast<long long>(offset));
    mHeaderText.clear();
    mHeadBytes = 0;
    mSkipBytes = 0;
    mBodyLeft = -1;
    mAcceptsRanges = false;
    mMetaInt = mMetaLeft = 0;
    mChunkLeft = 0;
    mFirstChunk = true;
    mDechunk = false;
    mRequestedOffset = offset;
    mHeadDeadlineMs = Deadline(kHeadDeadlineMs);

    int64_t t = MonotonicMs();
    int32_t ret = SendRequest(port, offset);
    KVA_LOG(kLogDetail,
            "CKVAHttpClient::SendRequestAndParseResponse SendRequest ret=%d, cost=%lldms, url=%s, "
            "host=%s, offset=%lld",
            ret, static_cast<long long>(MonotonicMs() - t), ForLog(url).c_str(), mHost.c_str(),
            static_cast<long long>(offset));
    uint32_t status = 0;
    if (ret == kHttpOk) {
        t = MonotonicMs();
        ret = ParseResponseHeader(&status);
        KVA_LOG(kLogDetail,
                "CKVAHttpClient::SendRequestAndParseResponse ParseResponseHeader ret=%d, status=%u, "
                "cost=%lldms",
                ret, status, static_cast<long long>(MonotonicMs() - t));
        if (ret == kHttpOk) {
            if (IsRedirect(status)) {
                mHeadDeadlineMs = 0;  // the next request has a deadline of its own
                return HandleRedirect(reconnect, offset);
            }
            if (status == 200 || status == 206) {
                t = MonotonicMs();
                ret = ParseContentLength(status);
                KVA_LOG(kLogDetail,
                        "CKVAHttpClient::SendRequestAndParseResponse ParseContentLength ret=%d, "
                        "contentLength=%d, transferBlock=%d, mediaType=%d, cost=%lldms",
                        ret, static_cast<int>(mContentLength), mTransferBlock ? 1 : 0,
                        mMediaType ? 1 : 0, static_cast<long long>(MonotonicMs() - t));
            } else {
                mStatusCode.store(status);
                ret = kHttpBadStatus;
            }
        }
    }
    mHeadDeadlineMs = 0;
    if (ret != kHttpOk && mConnectState.load() != kHttpClosed) {
        if (mCancel.load()) mAborted.store(true);
        DnsCacheRemove(mHost);
        KVA_LOG(kLogError, "connect failed. Connection is going to be closed nErr %d", ret);
        Disconnect();
    }
    return ret;
}

int32_t CKVAHttpClient::HandleRedirect(ReconnectFn reconnect, int64_t offset) {
    int32_t ret = GetHeaderValueByKey("Location", mHeaderValue, kLineSize);
    Disconnect();
    if (ret != kHttpOk || mHeaderValue[0] == 0) return kHttpConnectFailed;

    std::string location = mHeaderValue;
    if (StartsWith(location.c_str(), "//")) {
        location.insert(0, mHttps ? "https:" : "http:");
    } else if (!HasScheme(location.c_str(), "http://") &&
               !HasScheme(location.c_str(), "https://")) {
        // A relative target stays on this server, port included.
        if (location[0] != '/') {
            std::string base = mPath.substr(0, mPath.find('?'));
            size_t slash = base.rfind('/');
            base = slash == std::string::npos ? "/" : base.substr(0, slash + 1);
            location.insert(0, base);
        }
        std::string origin = (mHttps ? "https://" : "http://") + mHost;
        if (mPort != (mHttps ? 443 : 80)) origin += ":" + std::to_string(mPort);
        location.insert(0, origin);
    }
    mRedirectLocation = location;
    return reconnect(this, location.c_str(), offset);
}

// ---- responses ----

int32_t CKVAHttpClient::ReceiveBuffer() {
    if (mConnectState.load() == kHttpClosed) return kHttpNotConnected;
    if (mCancel.load()) return kHttpConnectFailed;
    ClearReceiveBuffer();
    int64_t end = MonotonicMs() + 5000;
    if (mHeadDeadlineMs > 0) end = std::min(end, mHeadDeadlineMs);
    for (;;) {
        int32_t r = Receive(mSocket.load(), 20, mRecvBuffer, kRecvBufferSize);
        if (r != 0) {
            mRecvFill = r > 0 ? r : 0;
            mRecvPos = 0;
            return r;
        }
        if (MonotonicMs() >= end || mCancel.load()) break;
    }
    mStatusCode.store(kHttpStatusNothingReceived);
    return kHttpRecvFailed;
}

int32_t CKVAHttpClient::Recv(uint8_t* buffer, int32_t length) {
    int32_t copied = 0;
    while (copied < length) {
        if (mRecvPos >= mRecvFill) {
            const int64_t start = MonotonicMs();
            int32_t r = ReceiveBuffer();
            // Never the bytes themselves: they carry header values (cookies) and body.
            KVA_LOG(kLogDetail, "CKVAHttpClient::Recv ReceiveBuffer nErr %d, time %lld", r,
                    static_cast<long long>(MonotonicMs() - start));
            if (r < 1) return copied > 0 ? copied : r;
        }
        int32_t n = std::min(length - copied, mRecvFill - mRecvPos);
        memcpy(buffer + copied, mRecvBuffer + mRecvPos, static_cast<size_t>(n));
        mRecvPos += n;
        copied += n;
    }
    return copied;
}

int32_t CKVAHttpClient::ReadLine(char* buffer, int32_t size) {
    if (mConnectState.load() != kHttpConnected) return kHttpLineNotConnected;
    if (!buffer || size < 1) return kHttpLineTooLong;
    int32_t n = 0;
    buffer[0] = 0;
    for (;;) {
        if (mCancel.load()) return kHttpConnectFailed;
        uint8_t c = 0;
        int32_t r = Recv(&c, 1);
        if (r == 0) {
            mStatusCode.store(kHttpStatusNothingReceived);
            return kHttpTimedOut;
        }
        if (r == kHttpPeerClosed) return kHttpPeerClosed;
        if (r < 0) return kHttpConnectFailed;
        if (++mHeadBytes > kMaxHeadBytes) return kHttpLineTooLong;
        if (c == '\n') {
            if (n > 0 && buffer[n - 1] == '\r') --n;
            buffer[n] = 0;
            return kHttpOk;
        }
        if (n >= size - 1) {
            buffer[n] = 0;
            return kHttpLineTooLong;
        }
        buffer[n++] = static_cast<char>(c);
    }
}

int32_t CKVAHttpClient::ParseStatusLine(uint32_t* status) {
    int32_t ret = ReadLine(mLine, kLineSize);
    if (ret != kHttpOk) {
        KVA_LOG(kLogError, "CKVAHttpClient Receive Response Error!");
        return ret;
    }
    mHeaderText.assign(mLine);
    mHeaderText += "\r\n";
    const char* space = strchr(mLine, ' ');
    if (!space) {
        KVA_LOG(kLogError, "CKVAHttpClient Receive Response content Error!");
        return kHttpBadStatus;
    }
    const char* p = space + 1;
    if (!isdigit(static_cast<unsigned char>(*p))) return kHttpBadStatus;
    uint32_t value = 0;
    for (; isdigit(static_cast<unsigned char>(*p)); ++p) {
        value = value * 10 + static_cast<uint32_t>(*p - '0');
        if (value > 999) {
            KVA_LOG(kLogError, "CKVAHttpClient Receive Invalid ResponseNum!");
            return kHttpBadStatus;
        }
    }
    if (status) *status = value;
    return kHttpOk;
}

int32_t CKVAHttpClient::ParseResponseHeader(uint32_t* status) {
    uint32_t value = 0;
    int32_t ret = ParseStatusLine(&value);
    if (ret == kHttpBadStatus) mStatusCode.store(kHttpStatusBadStatusLine);
    if (status) *status = value;
    KVA_LOG(kLogDetail, "ParseResponseHeader return %d, %u", ret, value);
    return ret;
}

int32_t CKVAHttpClient::GetHeaderValueByKey(const char* key, char* value, int32_t size) {
    KVA_LOG(kLogDetail, "CKVAHttpClient::GetHeaderValueByKey %s", key);
    const bool watch = strcasecmp(key, "Content-Length") == 0;
    bool found = false;
    bool matching = true;
    if (value && size > 0) value[0] = 0;
    for (;;) {
        int32_t ret = ReadLine(mLine, kLineSize);
        if (ret != kHttpOk) {
            KVA_LOG(kLogError, "CKVAHttpClient RecHeader Error:%d", ret);
            return ret;
        }
        if (mLine[0] == 0) break;
        size_t lineLen = strlen(mLine);
        if (mHeaderText.size() + lineLen + 2 <= static_cast<size_t>(kHeaderTextSize)) {
            mHeaderText.append(mLine, lineLen);
            mHeaderText += "\r\n";
        }
        if (!matching) continue;
        const char* colon = strchr(mLine, ':');
        if (!colon) continue;
        std::string name = Trim(mLine, colon);
        std::string val = Trim(colon + 1, mLine + lineLen);
        if (SameName(name, key) && value && val.size() < static_cast<size_t>(size)) {
            memcpy(value, val.c_str(), val.size() + 1);
            found = true;
        }
        if (watch) {
            if (SameName(name, "Transfer-Encoding")) {
                mTransferBlock = true;
                mContentLength = 0;
                matching = false;
            } else if (SameName(name, "Content-Type") &&
                       (val.find("audio") != std::string::npos ||
                        val.find("video") != std::string::npos)) {
                mMediaType = true;
            }
        }
    }
    int32_t ret = (found || mTransferBlock) ? kHttpOk : kHttpHeaderNotFound;
    KVA_LOG(kLogDetail, "CKVAHttpClient::GetHeaderValueByKey return %d", ret);
    return ret;
}

std::string CKVAHttpClient::HeaderValue(const char* name) const {
    size_t pos = 0;
    while (pos < mHeaderText.size()) {
        size_t end = mHeaderText.find("\r\n", pos);
        if (end == std::string::npos) end = mHeaderText.size();
        const char* line = mHeaderText.c_str() + pos;
        const char* colon = static_cast<const char*>(memchr(line, ':', end - pos));
        if (colon && SameName(Trim(line, colon), name)) return Trim(colon + 1, mHeaderText.c_str() + end);
        pos = end + 2;
    }
    return std::string();
}

int32_t CKVAHttpClient::ParseContentLength(uint32_t httpStatus) {
    const bool partial = httpStatus == 206;
    int32_t ret = GetHeaderValueByKey(partial ? "Content-Range" : "Content-Length", mHeaderValue,
                                      kLineSize);
    const std::string ranges = HeaderValue("Accept-Ranges");
    mAcceptsRanges = partial || strcasestr(ranges.c_str(), "bytes") != nullptr;
    int64_t metaInt = 0;
    if (mIcyMetadata && ParseDecimal(HeaderValue("icy-metaint").c_str(), &metaInt) &&
        metaInt > 0 && metaInt <= (1 << 24)) {
        mMetaInt = mMetaLeft = static_cast<int32_t>(metaInt);
    }
    // Stream servers name their format loosely ("application/ogg") but announce themselves.
    const bool stream = mMediaType || strcasestr(mHeaderText.c_str(), "\r\nicy-") != nullptr ||
                        strcasestr(HeaderValue("Content-Type").c_str(), "ogg") != nullptr;
    mDechunk = mTransferBlock &&
               strcasestr(HeaderValue("Transfer-Encoding").c_str(), "chunked") != nullptr;
    if (mTransferBlock) return kHttpOk;
    if (ret == kHttpHeaderNotFound) {
        if (stream) {
            mContentLength = 0;
            return kHttpOk;
        }
        return kHttpHeaderNotFound;
    }
    if (ret != kHttpOk) return ret;

    int64_t length = -1;
    bool ok;
    int64_t first = 0;
    if (partial) {
        const char* slash = strchr(mHeaderValue, '/');
        ok = slash && ParseDecimal(slash + 1, &length);
        // The first byte of the range must be where our bytes are expected to go.
        const char* p = mHeaderValue;
        while (*p && !isdigit(static_cast<unsigned char>(*p)) && *p != '/') ++p;
        int64_t last = -1;
        if (ok && isdigit(static_cast<unsigned char>(*p))) {
            char* dash = nullptr;
            first = strtoll(p, &dash, 10);
            if (dash && *dash == '-') last = strtoll(dash + 1, nullptr, 10);
        }
        if (ok && first > mRequestedOffset) ok = false;
        if (ok && last >= first && last < length) mBodyLeft = last - first + 1;
    } else {
        ok = ParseDecimal(mHeaderValue, &length);
    }
    if (!ok) {
        KVA_LOG(kLogError, "CKVAHttpClient Get ContentLength Error!");
        mStatusCode.store(kHttpStatusBadLength);
        return kHttpBadLength;
    }
    mContentLength = length;
    if (!partial) mBodyLeft = length;
    // A server that ignored the range sends from an earlier byte; drop what we did not ask for.
    mSkipBytes = partial ? mRequestedOffset - first : (httpStatus == 200 ? mRequestedOffset : 0);
    KVA_LOG(kLogDetail, "nContentLen: %ld", static_cast<long>(length));
    return kHttpOk;
}

int32_t CKVAHttpClient::ReadChunkSize() {
    if (!mTransferBlock) return kHttpBadLength;
    mHeadBytes = 0;
    for (;;) {
        int32_t ret = ReadLine(mLine, kLineSize);
        if (ret != kHttpOk) return ret;
        if (mLine[0] != 0) break;
    }
    return static_cast<int32_t>(HexToInt(mLine));
}

uint32_t CKVAHttpClient::HexToInt(const char* text) {
    if (!text || !*text) return 0;
    uint32_t value = 0;
    for (const char* p = text; *p; ++p) {
        char c = *p;
        uint32_t digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            return 0xFFFFFFFFu;
        }
        value = value * 16 + digit;
    }
    return value;
}

// ---- body ----

int32_t CKVAHttpClient::NextChunk() {
    mHeadBytes = 0;
    int32_t ret;
    if (!mFirstChunk) {
        ret = ReadLine(mLine, kLineSize);  // the line end after the previous chunk's data
        if (ret != kHttpOk) return ret;
        if (mLine[0] != 0) return kHttpBadLength;
    }
    mFirstChunk = false;
    ret = ReadLine(mLine, kLineSize);
    if (ret != kHttpOk) return ret;
    char* ext = strchr(mLine, ';');
    if (ext) *ext = 0;
    std::string size = Trim(mLine, mLine + strlen(mLine));
    const uint32_t value = size.empty() ? 0xFFFFFFFFu : HexToInt(size.c_str());
    if (value == 0xFFFFFFFFu || value > 0x7FFFFFFFu) return kHttpBadLength;
    if (value == 0) {
        do {  // trailer lines up to the empty one
            ret = ReadLine(mLine, kLineSize);
        } while (ret == kHttpOk && mLine[0] != 0);
        mBodyLeft = 0;
        return kHttpPeerClosed;
    }
    mChunkLeft = value;
    return kHttpOk;
}

int32_t CKVAHttpClient::ReadBody(uint8_t* buffer, int32_t length) {
    // A kept-open connection goes quiet after the body: that is its end, not a stall.
    if (mBodyLeft == 0) return kHttpPeerClosed;
    if (mDechunk && mChunkLeft == 0) {
        int32_t ret = NextChunk();
        if (ret != kHttpOk) return ret;
    }
    const int64_t limit = mDechunk ? mChunkLeft : mBodyLeft;
    const int32_t want = limit > 0 ? static_cast<int32_t>(std::min<int64_t>(length, limit)) : length;
    int32_t n;
    if (mRecvPos < mRecvFill) {
        n = std::min(want, mRecvFill - mRecvPos);
        memcpy(buffer, mRecvBuffer + mRecvPos, static_cast<size_t>(n));
        mRecvPos += n;
    } else {
        if (mConnectState.load() == kHttpClosed) return kHttpNotConnected;
        // The same wait for TLS: the socket is waited on and records are read whole.
        n = Receive(mSocket.load(), 500, buffer, want);
        if (n <= 0) return n;
    }
    if (mDechunk) {
        mChunkLeft -= n;
    } else if (mBodyLeft > 0) {
        mBodyLeft -= n;
    }
    return n;
}

int32_t CKVAHttpClient::ReadBodyExact(uint8_t* buffer, int32_t length) {
    const int64_t end = MonotonicMs() + 5000;
    for (int32_t got = 0; got < length;) {
        if (mCancel.load()) return kHttpConnectFailed;
        int32_t n = ReadBody(buffer + got, length - got);
        if (n < 0) return n;
        if (n == 0 && MonotonicMs() >= end) return kHttpTimedOut;
        got += n;
    }
    return kHttpOk;
}

int32_t CKVAHttpClient::ReadMetadata() {
    uint8_t blocks = 0;
    int32_t ret = ReadBodyExact(&blocks, 1);
    if (ret != kHttpOk) return ret;
    mMetaLeft = mMetaInt;
    if (blocks == 0) return kHttpOk;
    char meta[16 * 255 + 1];
    ret = ReadBodyExact(reinterpret_cast<uint8_t*>(meta), blocks * 16);
    if (ret != kHttpOk) return ret;
    meta[blocks * 16] = 0;  // padded with NULs, but not always
    const char* title = strstr(meta, "StreamTitle='");
    if (title) {
        title += 13;
        const char* end = strstr(title, "';");
        std::string text = end ? std::string(title, end) : std::string(title);
        std::lock_guard<std::mutex> g(mTitleLock);
        if (text != mStreamTitle || mTitleSerial == 0) {
            mStreamTitle = text;
            ++mTitleSerial;
        }
    }
    return kHttpOk;
}

bool CKVAHttpClient::TakeStreamTitle(std::string* title) {
    std::lock_guard<std::mutex> g(mTitleLock);
    if (mTitleTaken == mTitleSerial) return false;
    mTitleTaken = mTitleSerial;
    if (title) *title = mStreamTitle;
    return true;
}

int32_t CKVAHttpClient::Read(uint8_t* buffer, int32_t length) {
    if (!buffer || length <= 0) return 0;
    for (;;) {
        if (mMetaInt > 0 && mMetaLeft == 0) {
            int32_t ret = ReadMetadata();
            if (ret != kHttpOk) return ret;
        }
        int32_t want = mMetaInt > 0 ? std::min(length, mMetaLeft) : length;
        int32_t n = ReadBody(buffer, want);
        if (n <= 0) return n;
        if (mMetaInt > 0) mMetaLeft -= n;
        if (mSkipBytes <= 0) return n;
        int32_t drop = static_cast<int32_t>(std::min<int64_t>(n, mSkipBytes));
        mSkipBytes -= drop;
        if (drop < n) {
            memmove(buffer, buffer + drop, static_cast<size_t>(n - drop));
            return n - drop;
        }
        if (mCancel.load()) return kHttpConnectFailed;
    }
}

}  // namespace kva_audioplayer
