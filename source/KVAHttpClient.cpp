#include "source/KVAHttpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <utility>

#include "support/KVASync.h"
#include "support/Log.h"

namespace kva_audioplayer {

namespace {

const char* const kUserAgent = "KVAAudioplayer Engine";

struct DnsCache {
    std::mutex lock;
    std::list<std::pair<std::string, sockaddr_storage>> entries;
};

DnsCache& Dns() {
    static DnsCache* cache = new DnsCache();  // process lifetime; never torn down under a client
    return *cache;
}

struct ProxySettings {
    std::mutex lock;
    std::string host;
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    std::string credential;
    sockaddr_storage address;
};

ProxySettings& Proxy() {
    static ProxySettings* proxy = new ProxySettings();
    return *proxy;
}

bool StartsWith(const char* text, const char* prefix) {
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// Schemes are case-insensitive.
bool HasScheme(const char* text, const char* scheme) {
    return strncasecmp(text, scheme, strlen(scheme)) == 0;
}

// A URL for the log: credentials in it are a header value and stay out.
std::string ForLog(const char* url) {
    if (!url) return "null";
    std::string text = url;
    size_t scheme = text.find("://");
    size_t hostStart = scheme == std::string::npos ? 0 : scheme + 3;
    size_t hostEnd = text.find_first_of("/?#", hostStart);
    size_t at = text.rfind('@', hostEnd == std::string::npos ? std::string::npos : hostEnd);
    if (scheme != std::string::npos && at != std::string::npos && at >= hostStart)
        text.erase(hostStart, at + 1 - hostStart);
    return text;
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

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

namespace {

std::string Trim(const char* begin, const char* end) {
    while (begin < end && isspace(static_cast<unsigned char>(*begin))) ++begin;
    while (end > begin && isspace(static_cast<unsigned char>(end[-1]))) --end;
    return std::string(begin, end);
}

bool SameName(const std::string& name, const char* key) {
    return name.size() == strlen(key) && strncasecmp(name.c_str(), key, name.size()) == 0;
}

// Decimal digits up to the end of the text, no sign, no overflow.
bool ParseDecimal(const char* text, int64_t* out) {
    if (!text || !*text) return false;
    int64_t value = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (value > (INT64_MAX - 9) / 10) return false;
        value = value * 10 + (*p - '0');
    }
    *out = value;
    return true;
}

}  // namespace

// ---- construction ----

CKVAHttpClient::CKVAHttpClient() {
    mLine[0] = 0;
    mHeaderValue[0] = 0;
    mIPText[0] = 0;
    memset(&mAddress, 0, sizeof(mAddress));
    Dns();
}

CKVAHttpClient::~CKVAHttpClient() {
    Disconnect();
    if (mAddrList) freeaddrinfo(mAddrList);
    mAddrList = nullptr;
    if (mSslCtx) SSL_CTX_free(mSslCtx);
    mSslCtx = nullptr;
}

void CKVAHttpClient::SetTrustFile(const char* path) {
    mTrustFile = path ? path : "";
    if (mSslCtx) SSL_CTX_free(mSslCtx);  // the next handshake builds one with the new trust
    mSslCtx = nullptr;
}

void CKVAHttpClient::AdoptInjectedStream() {
    mConnectState.store(kHttpConnected);
    ClearReceiveBuffer();
}

// ---- DNS cache ----

bool CKVAHttpClient::DnsCacheLookup(const std::string& host, sockaddr_storage* out) {
    DnsCache& c = Dns();
    std::lock_guard<std::mutex> g(c.lock);
    for (auto& e : c.entries) {
        if (e.first == host) {
            *out = e.second;
            return true;
        }
    }
    return false;
}

void CKVAHttpClient::DnsCacheAdd(const std::string& host, const sockaddr_storage& address) {
    DnsCache& c = Dns();
    std::lock_guard<std::mutex> g(c.lock);
    c.entries.emplace_back(host, address);
}

void CKVAHttpClient::DnsCacheRemove(const std::string& host) {
    DnsCache& c = Dns();
    std::lock_guard<std::mutex> g(c.lock);
    for (auto it = c.entries.begin(); it != c.entries.end(); ++it) {
        if (it->first == host) {
            c.entries.erase(it);
            return;
        }
    }
}

void CKVAHttpClient::DnsCacheClear() {
    DnsCache& c = Dns();
    std::lock_guard<std::mutex> g(c.lock);
    c.entries.clear();
}

size_t CKVAHttpClient::DnsCacheSize() {
    DnsCache& c = Dns();
    std::lock_guard<std::mutex> g(c.lock);
    return c.entries.size();
}

void CKVAHttpClient::SetProxy(const char* host, uint32_t ipv4, uint16_t port,
                              const char* credential) {
    ProxySettings& p = Proxy();
    std::lock_guard<std::mutex> g(p.lock);
    p.host = host ? host : "";
    p.ipv4 = ipv4;
    p.port = port;
    p.credential = credential ? credential : "";
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

// ---- name resolution ----

int32_t CKVAHttpClient::ResolveDNS(const char* host, sockaddr_storage* out) {
    std::string name = host ? host : "";
    if (DnsCacheLookup(name, out)) return kHttpOk;
    std::string literal = name;
    if (name.size() >= 2 && name[0] == '[') {
        size_t close = name.find(']');
        if (close != std::string::npos && close - 1 <= 255) literal = name.substr(1, close - 1);
    }
    in_addr v4;
    in6_addr v6;
    if (inet_pton(AF_INET, literal.c_str(), &v4) == 1) {
        memset(out, 0, sizeof(*out));
        sockaddr_in* sin = reinterpret_cast<sockaddr_in*>(out);
        sin->sin_family = AF_INET;
        sin->sin_addr = v4;
        snprintf(mIPText, sizeof(mIPText), "%s", literal.c_str());
        mIPv4 = v4.s_addr;
        return kHttpOk;
    }
    if (inet_pton(AF_INET6, literal.c_str(), &v6) == 1) {
        memset(out, 0, sizeof(*out));
        sockaddr_in6* sin6 = reinterpret_cast<sockaddr_in6*>(out);
        sin6->sin6_family = AF_INET6;
        sin6->sin6_addr = v6;
        snprintf(mIPText, sizeof(mIPText), "%s", literal.c_str());
        return kHttpOk;
    }
    if (mCancel.load()) return kHttpConnectFailed;
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    int err = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (err != 0 || !list) {
        // Resolver errors are negative here; keep them in their own range.
        mStatusCode.store(kHttpStatusResolveBase + static_cast<uint32_t>(err < 0 ? -err : err));
        if (list) freeaddrinfo(list);
        return kHttpConnectFailed;
    }
    memset(out, 0, sizeof(*out));
    memcpy(out, list->ai_addr, std::min<size_t>(list->ai_addrlen, sizeof(*out)));
    if (mAddrList) freeaddrinfo(mAddrList);
    mAddrList = list;
    return kHttpOk;
}

// ---- connecting ----

int32_t CKVAHttpClient::ReconnectDirect(CKVAHttpClient* self, const char* url, int64_t offset) {
    return self->Connect(url, offset, true);
}

int32_t CKVAHttpClient::ReconnectProxy(CKVAHttpClient* self, const char* url, int64_t offset) {
    return self->ConnectViaProxy(url, offset);
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
            mHttps ? 1 : 0,
            static_cast<long long>(offset), redirect ? 1 : 0);

    mStatusCode.store(0);
    mCancel.store(false);
    mAborted.store(false);
    mMediaType = false;
    mTransferBlock = false;
    mContentLength = -1;
    const int64_t start = MonotonicMs();
    mConnectStartMs = start;
    mConnectDeadlineMs = start + kConnectDeadlineMs;

    if (redirect) {
        if (++mRedirectCount > kMaxRedirects) return kHttpTooManyRedirects;
    } else {
        mRedirectCount = 0;
    }

    ClearReceiveBuffer();
    if (mAddrList) freeaddrinfo(mAddrList);
    mAddrList = nullptr;
    if (mHttps) mSpare = false;
    memset(&mAddress, 0, sizeof(mAddress));
    mIPv4 = 0;

    int32_t ret = ResolveDNS(mHost.c_str(), &mAddress);
    KVA_LOG(kLogDetail,
            "CKVAHttpClient::Connect ResolveDNS ret=%d, statusCode=%u, host=%s, ip=%s, "
            "cost=%lldms",
            ret, mStatusCode.load(), mHost.c_str(), mIPText[0] ? mIPText : "<empty>",
            static_cast<long long>(MonotonicMs() - start));
    if (ret != kHttpOk) {
        if (mAddrList) freeaddrinfo(mAddrList);
        mAddrList = nullptr;
        return ret;
    }

    const bool usedList = mAddrList != nullptr;
    const int32_t oldIndex = mNextAddressIndex;
    if (mAddrList) {
        int32_t count = 0;
        for (addrinfo* ai = mAddrList; ai; ai = ai->ai_next) ++count;
        if (mNextAddressIndex >= count || mNextAddressIndex < 0) mNextAddressIndex = 0;
        addrinfo* ai = mAddrList;
        for (int32_t i = 0; i < mNextAddressIndex && ai; ++i) ai = ai->ai_next;
        ret = kHttpConnectFailed;
        for (; ai; ai = ai->ai_next) {
            memset(&mAddress, 0, sizeof(mAddress));
            memcpy(&mAddress, ai->ai_addr, std::min<size_t>(ai->ai_addrlen, sizeof(mAddress)));
            KVA_LOG(kLogDetail, "CKVAHttpClient::Connect try addrinfo connect host=%s, family=%d, port=%d",
                    mHost.c_str(), mAddress.ss_family, mPort);
            ret = ConnectAddress(reinterpret_cast<sockaddr*>(&mAddress), mPort);
            if (ret == kHttpOk) {
                DnsCacheAdd(mHost, mAddress);
                break;
            }
            if (mCancel.load()) break;
        }
        freeaddrinfo(mAddrList);
        mAddrList = nullptr;
    } else {
        KVA_LOG(kLogDetail, "CKVAHttpClient::Connect direct connect host=%s, family=%d, port=%d",
                mHost.c_str(), mAddress.ss_family, mPort);
        ret = ConnectAddress(reinterpret_cast<sockaddr*>(&mAddress), mPort);
    }
    if (ret != kHttpOk) {
        DnsCacheRemove(mHost);
        Disconnect();
        return ret;
    }
    if (mCancel.load() || mSocket.load() < 0) {
        mAborted.store(true);
        Disconnect();
        return kHttpConnectFailed;
    }
    if (mHttps) {
        ret = StartTls();
        if (ret != kHttpOk) {
            DnsCacheRemove(mHost);
            Disconnect();
            return ret;
        }
    }

    const int sock = mSocket.load();
    SetBlocking(sock);
    struct timeval tv = {0, 500000};
    SetRecvTimeout(sock, tv);
    const int64_t requestStart = MonotonicMs();
    ret = SendRequestAndParseResponse(&CKVAHttpClient::ReconnectDirect, url.c_str(), mPort, offset);
    const int64_t now = MonotonicMs();
    KVA_LOG(kLogDetail,
            "CKVAHttpClient::Connect end ret=%d, statusCode=%u, httpStatus=%d, contentLength=%d, "
            "transferBlock=%d, ip=%s, totalCost=%lldms, requestCost=%lldms",
            ret, mStatusCode.load(), mConnectState.load(), static_cast<int>(mContentLength),
            mTransferBlock ? 1 : 0, mIPText, static_cast<long long>(now - start),
            static_cast<long long>(now - requestStart));
    if (ret == kHttpOk) {
        mNextAddressIndex = 0;
    } else {
        mNextAddressIndex = usedList ? oldIndex + 1 : 0;
    }
    return ret;
}

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
    FreeTls();
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

int32_t CKVAHttpClient::ConnectViaProxy(const char* urlIn, int64_t offset) {
    KVA_LOG(kLogDetail, "CKVAHttpClient::ConnectViaProxy");
    if (mStartupResult != 0) return kHttpConnectFailed;
    const std::string url = urlIn ? urlIn : "";
    mIPText[0] = 0;
    if (mAddrList) freeaddrinfo(mAddrList);
    mAddrList = nullptr;
    mStatusCode.store(0);
    mCancel.store(false);
    mAborted.store(false);
    mMediaType = false;
    mTransferBlock = false;
    mContentLength = -1;
    mConnectStartMs = MonotonicMs();
    mConnectDeadlineMs = mConnectStartMs + kConnectDeadlineMs;

    std::string proxyHost, credential;
    uint32_t proxyIp;
    uint16_t proxyPort;
    {
        ProxySettings& p = Proxy();
        std::lock_guard<std::mutex> g(p.lock);
        proxyHost = p.host;
        proxyIp = p.ipv4;
        proxyPort = p.port;
        credential = p.credential;
    }
    int32_t ret;
    if (!proxyHost.empty()) {
        sockaddr_storage address;
        ret = ResolveDNS(proxyHost.c_str(), &address);
        if (ret == kHttpOk) {
            {
                ProxySettings& p = Proxy();
                std::lock_guard<std::mutex> g(p.lock);
                p.address = address;
            }
            ret = ConnectAddress(reinterpret_cast<sockaddr*>(&address), proxyPort);
        }
        if (mAddrList) freeaddrinfo(mAddrList);
        mAddrList = nullptr;
    } else {
        ret = ConnectIPv4(proxyIp, proxyPort);
    }
    if (ret != kHttpOk) return ret;

    ParseUrl(url.c_str());
    const int sock = mSocket.load();
    SetBlocking(sock);
    struct timeval tv = {0, 500000};
    SetRecvTimeout(sock, tv);
    std::string request = "CONNECT " + mHost + ":" + std::to_string(mPort) +
                          " HTTP/1.1\r\nProxy-Authorization: Basic " + credential + "\r\n\r\n";
    ret = Send(request.data(), static_cast<int32_t>(request.size()));
    if (ret != kHttpOk) return ret;
    uint32_t status = 0;
    mHeadBytes = 0;
    ret = ParseResponseHeader(&status);
    if (status != 200) return ret;
    uint8_t crlf[2];
    Recv(crlf, 2);
    return SendRequestAndParseResponse(&CKVAHttpClient::ReconnectProxy, url.c_str(), mPort, offset);
}

// ---- TLS ----

namespace {

// Socket writes without SIGPIPE: a peer that went away must give an error, not end the host.
int NoSignalWrite(BIO* bio, const char* data, int length) {
    int fd = -1;
    BIO_get_fd(bio, &fd);
    BIO_clear_retry_flags(bio);
    ssize_t n = send(fd, data, static_cast<size_t>(length), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) BIO_set_retry_write(bio);
    return static_cast<int>(n);
}

int NoSignalPuts(BIO* bio, const char* text) {
    return NoSignalWrite(bio, text, static_cast<int>(strlen(text)));
}

BIO_METHOD* NoSignalSocketMethod() {
    static BIO_METHOD* method = [] {
        const BIO_METHOD* base = BIO_s_socket();
        BIO_METHOD* m = BIO_meth_new(BIO_TYPE_SOCKET, "kva socket");
        if (!m) return m;
        BIO_meth_set_write(m, NoSignalWrite);
        BIO_meth_set_puts(m, NoSignalPuts);
        BIO_meth_set_read(m, BIO_meth_get_read(base));
        BIO_meth_set_ctrl(m, BIO_meth_get_ctrl(base));
        BIO_meth_set_create(m, BIO_meth_get_create(base));
        BIO_meth_set_destroy(m, BIO_meth_get_destroy(base));
        return m;
    }();
    return method;
}

std::atomic<int32_t> gTlsContextsBuilt{0};

// A client context trusting the file, or the system store without one; null on failure.
SSL_CTX* NewClientContext(const std::string& trustFile) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) return nullptr;
    gTlsContextsBuilt.fetch_add(1);
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    int loaded = trustFile.empty() ? SSL_CTX_set_default_verify_paths(ctx)
                                   : SSL_CTX_load_verify_locations(ctx, trustFile.c_str(), nullptr);
    if (loaded != 1) KVA_LOG(kLogError, "CKVAHttpClient::StartTls no trust store loaded");
    ERR_clear_error();
    return ctx;
}

// Loading the system store costs tens of ms of CPU: one context serves every client.
SSL_CTX* SharedContext() {
    static SSL_CTX* ctx = NewClientContext(std::string());
    return ctx;
}

}  // namespace

int32_t CKVAHttpClient::TlsContextsBuilt() { return gTlsContextsBuilt.load(); }

int32_t CKVAHttpClient::StartTls() {
    SSL_CTX* ctx = mTrustFile.empty() ? SharedContext() : mSslCtx;
    if (!ctx) ctx = mSslCtx = NewClientContext(mTrustFile);
    if (!ctx) {
        mStatusCode.store(kHttpStatusTlsBase);
        return kHttpConnectFailed;
    }
    const int sock = mSocket.load();
    mSsl = SSL_new(ctx);
    BIO* bio = NoSignalSocketMethod() ? BIO_new(NoSignalSocketMethod()) : nullptr;
    if (!mSsl || !bio) {
        if (bio) BIO_free(bio);
        mStatusCode.store(kHttpStatusTlsBase);
        FreeTls();
        return kHttpConnectFailed;
    }
    BIO_set_fd(bio, sock, BIO_NOCLOSE);
    SSL_set_bio(mSsl, bio, bio);
    if (mIPText[0]) {
        // An address literal: no name to send, the certificate must carry the address.
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(mSsl), mIPText);
    } else {
        SSL_set_tlsext_host_name(mSsl, mHost.c_str());
        SSL_set1_host(mSsl, mHost.c_str());
    }
    SetNonBlocking(sock);
    const int64_t start = MonotonicMs();
    for (;;) {
        if (mCancel.load()) {
            mAborted.store(true);
            FreeTls();
            return kHttpConnectFailed;
        }
        ERR_clear_error();
        int r = SSL_connect(mSsl);
        if (r == 1) break;
        int err = SSL_get_error(mSsl, r);
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) &&
            MonotonicMs() - start < 5000 && MonotonicMs() < mConnectDeadlineMs) {
            pollfd p;
            p.fd = sock;
            p.events = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            p.revents = 0;
            poll(&p, 1, 100);
            continue;
        }
        long verify = SSL_get_verify_result(mSsl);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) {
            mStatusCode.store(kHttpStatusConnectTimeout);
        } else {
            mStatusCode.store(kHttpStatusTlsBase + (verify != X509_V_OK ? static_cast<uint32_t>(verify) : 0));
        }
        if (mCancel.load()) mAborted.store(true);
        KVA_LOG(kLogError, "CKVAHttpClient::StartTls handshake failed, ssl %d, verify %ld (%s)", err,
                verify, X509_verify_cert_error_string(verify));
        ERR_clear_error();
        FreeTls();
        return kHttpConnectFailed;
    }
    KVA_LOG(kLogDetail, "CKVAHttpClient::StartTls %s %s", SSL_get_version(mSsl),
            SSL_get_cipher_name(mSsl));
    return kHttpOk;
}

void CKVAHttpClient::FreeTls() {
    if (mSsl) SSL_free(mSsl);  // no close_notify: the socket goes away with it
    mSsl = nullptr;
}

// ---- socket options ----

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

int32_t CKVAHttpClient::Send(const char* data, int32_t length) {
    if (mConnectState.load() == kHttpClosed) return kHttpNotConnected;
    int32_t sent = 0;
    while (sent < length) {
        ssize_t n;
        if (mSsl) {
            errno = 0;
            int w = SSL_write(mSsl, data + sent, length - sent);
            n = w > 0 ? w : -1;
            if (w <= 0 && errno == 0) errno = EPIPE;
        } else {
            n = send(mSocket.load(), data + sent, static_cast<size_t>(length - sent), MSG_NOSIGNAL);
        }
        if (n < 0 && errno == EINTR && !mCancel.load()) continue;
        if (n <= 0) {
            int err = n < 0 ? errno : EPIPE;
            mStatusCode.store(kHttpStatusSendBase + static_cast<uint32_t>(err));
            KVA_LOG(kLogError, "send error!%s/n", strerror(err));
            return kHttpSendFailed;
        }
        sent += static_cast<int32_t>(n);
    }
    return kHttpOk;
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

    std::string req = "GET " + target + " HTTP/1.1\r\n";
    if (mHasExtraHeaders && mExtraHeaders.find("Host:") != std::string::npos) {
        req += mExtraHeaders + portText + "\r\n";
    } else {
        if (mHasExtraHeaders) req += mExtraHeaders;
        req += "Host: " + mHost + portText + "\r\n";
    }
    if (!mAuthorization.empty()) req += "Authorization: " + mAuthorization + "\r\n";
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
    mHeadDeadlineMs = MonotonicMs() + kHeadDeadlineMs;

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
    if (mSocket.load() >= 0) {
        struct timeval tv = {0, 500000};
        SetRecvTimeout(mSocket.load(), tv);
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

int32_t CKVAHttpClient::Receive(int sock, int32_t waitMs, uint8_t* buffer, int32_t length) {
    if (sock < 0) return kHttpNotConnected;
    if (mSsl) {
        // Bytes already decrypted need no wait on the socket.
        if (SSL_pending(mSsl) <= 0) {
            int32_t ready = WaitReadable(sock, waitMs);
            if (ready <= 0) return ready;
        }
        errno = 0;
        int n = SSL_read(mSsl, buffer, length);
        if (n > 0) return n;
        int err = SSL_get_error(mSsl, n);
        int sysErr = errno;
        ERR_clear_error();
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;  // no data yet
        if (err == SSL_ERROR_SYSCALL && (sysErr == EAGAIN || sysErr == EWOULDBLOCK)) return 0;
        if (err == SSL_ERROR_ZERO_RETURN || (err == SSL_ERROR_SYSCALL && sysErr == 0) ||
            sysErr == ECONNRESET) {
            KVA_LOG(kLogDetail, "CKVAHttpClient::Receive is zero");
            return kHttpPeerClosed;
        }
        KVA_LOG(kLogDetail, "CKVAHttpClient::Receive errno %d, nErr %d", sysErr, err);
        mRecvErrno = sysErr;
        mStatusCode.store(kHttpStatusRecvBase + static_cast<uint32_t>(sysErr));
        return sysErr == ETIMEDOUT ? kHttpTimedOut : kHttpRecvFailed;
    }
    int32_t ready = WaitReadable(sock, waitMs);
    if (ready <= 0) return ready;
    ssize_t n = recv(sock, buffer, static_cast<size_t>(length), 0);
    if (n == 0) {
        KVA_LOG(kLogDetail, "CKVAHttpClient::Receive is zero");
        return kHttpPeerClosed;
    }
    if (n < 0) {
        int err = errno;
        KVA_LOG(kLogDetail, "CKVAHttpClient::Receive errno %d, nErr %d", err, static_cast<int>(n));
        mRecvErrno = err;
        mStatusCode.store(kHttpStatusRecvBase + static_cast<uint32_t>(err));
        if (err == ECONNRESET) return kHttpPeerClosed;
        if (err == ETIMEDOUT) return kHttpTimedOut;
        return kHttpRecvFailed;
    }
    return static_cast<int32_t>(n);
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
