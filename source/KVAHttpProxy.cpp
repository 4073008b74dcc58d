// Proxies: which one a URL goes through, and connecting through it (plain http in absolute form,
// https through a CONNECT tunnel with TLS to the origin inside it).
#include "source/KVAHttpClient.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "source/KVAHttpText.h"
#include "support/Clock.h"
#include "support/Log.h"

namespace kva_audioplayer {

using namespace httptext;

namespace {

struct ProxySettings {
    std::mutex lock;
    std::string host;
    uint32_t ipv4 = 0;
    uint16_t port = 0;
    std::string credential;
    // The host's choice (SetProxyUrl) over the environment: a proxy, or none ("direct").
    bool fromHost = false;
    bool direct = false;
    std::string noProxy;
};

ProxySettings& Proxy() {
    static ProxySettings* proxy = new ProxySettings();
    return *proxy;
}

const char* Env(const char* lower, const char* upper) {
    const char* v = getenv(lower);
    if (!v || !*v) v = getenv(upper);
    return v && *v ? v : nullptr;
}

std::string Unbracket(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') return host.substr(1, host.size() - 2);
    return host;
}

// An address literal, brackets optional; false for a name.
bool ParseAddress(const std::string& text, int* family, uint8_t bytes[16]) {
    const std::string s = Unbracket(text);
    if (inet_pton(AF_INET, s.c_str(), bytes) == 1) {
        *family = AF_INET;
        return true;
    }
    if (inet_pton(AF_INET6, s.c_str(), bytes) != 1) return false;
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (memcmp(bytes, kMapped, sizeof(kMapped)) == 0) {  // ::ffff:a.b.c.d is that IPv4 host
        memmove(bytes, bytes + 12, 4);
        *family = AF_INET;
        return true;
    }
    *family = AF_INET6;
    return true;
}

bool SamePrefix(const uint8_t* a, const uint8_t* b, int bits) {
    const int whole = bits / 8;
    if (memcmp(a, b, static_cast<size_t>(whole)) != 0) return false;
    if (bits % 8 == 0) return true;
    const uint8_t mask = static_cast<uint8_t>(0xff << (8 - bits % 8));
    return (a[whole] & mask) == (b[whole] & mask);
}

// One no_proxy entry against the host: an address or a network ("10.0.0.0/8", "::1/128") covers
// an address literal; a name covers itself and its subdomains.
bool EntryCovers(std::string entry, const std::string& host, bool hostIsAddress, int family,
                 const uint8_t* address) {
    if (entry.compare(0, 2, "*.") == 0) entry.erase(0, 1);
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (!entry.empty() && entry.back() == '.') entry.pop_back();
    int bits = -1;
    size_t slash = entry.find('/');
    if (slash != std::string::npos) {
        int64_t prefix = 0;
        if (!ParseDecimal(entry.c_str() + slash + 1, &prefix) || prefix > 128) return false;
        bits = static_cast<int>(prefix);
        entry.resize(slash);
    }
    int entryFamily = 0;
    uint8_t net[16];
    if (ParseAddress(entry, &entryFamily, net)) {
        if (!hostIsAddress || entryFamily != family) return false;
        const int width = family == AF_INET ? 32 : 128;
        if (bits > width) return false;
        return SamePrefix(address, net, bits < 0 ? width : bits);
    }
    if (bits >= 0 || hostIsAddress) return false;
    if (entry.empty()) return false;
    if (strcasecmp(host.c_str(), entry.c_str()) == 0) return true;
    return host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
           strcasecmp(host.c_str() + host.size() - entry.size(), entry.c_str()) == 0;
}

}  // namespace

bool ParseProxyUrl(const char* text, ProxyRoute* out) {
    std::string s = text;
    size_t scheme = s.find("://");
    if (scheme != std::string::npos) {
        if (!HasScheme(s.c_str(), "http://")) return false;  // TLS or SOCKS to the proxy: not spoken
        s.erase(0, scheme + 3);
    }
    s.resize(s.find_first_of("/?#") == std::string::npos ? s.size() : s.find_first_of("/?#"));
    size_t at = s.rfind('@');
    out->authorization.clear();
    if (at != std::string::npos) {
        std::string user = s.substr(0, at);
        if (user.find(':') == std::string::npos) user += ':';
        out->authorization = "Basic " + Base64(PercentDecode(user));
        s.erase(0, at + 1);
    }
    out->port = 80;
    size_t colon = s.rfind(':');
    if (colon != std::string::npos && s.find(']', colon) == std::string::npos) {
        int64_t port = 0;
        if (!ParseDecimal(s.c_str() + colon + 1, &port) || port == 0 || port > 65535) return false;
        out->port = static_cast<uint16_t>(port);
        s.resize(colon);
    }
    out->host = Unbracket(s);
    return !out->host.empty();
}

bool NoProxyCovers(const char* list, const std::string& hostIn, uint16_t port) {
    if (!list) return false;
    std::string host = Unbracket(hostIn);
    if (!host.empty() && host.back() == '.') host.pop_back();
    int family = 0;
    uint8_t address[16];
    const bool hostIsAddress = ParseAddress(host, &family, address);
    const std::string all = list;
    size_t pos = 0;
    while (pos <= all.size()) {
        size_t end = all.find(',', pos);
        if (end == std::string::npos) end = all.size();
        std::string entry = Trim(all.c_str() + pos, all.c_str() + end);
        pos = end + 1;
        if (entry == "*") return true;
        // ":port" after a name, an IPv4 address or a bracketed IPv6 one limits the entry to it.
        size_t colon = entry.rfind(':');
        const bool bracketed = !entry.empty() && entry[0] == '[';
        if (colon != std::string::npos &&
            (bracketed ? colon > 0 && entry[colon - 1] == ']'
                       : std::count(entry.begin(), entry.end(), ':') == 1)) {
            int64_t only = 0;
            if (!ParseDecimal(entry.c_str() + colon + 1, &only) || only != port) continue;
            entry.resize(colon);
        }
        if (EntryCovers(entry, host, hostIsAddress, family, address)) return true;
    }
    return false;
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

bool CKVAHttpClient::SetProxyUrl(const char* url, const char* noProxy) {
    ProxyRoute route;
    const bool direct = url && !*url;
    if (url && !direct && !ParseProxyUrl(url, &route)) return false;
    ProxySettings& p = Proxy();
    std::lock_guard<std::mutex> g(p.lock);
    p.fromHost = url != nullptr;
    p.direct = direct;
    p.host = route.host;
    p.ipv4 = 0;
    p.port = route.port;
    p.credential = route.authorization.empty() ? std::string() : route.authorization.substr(6);
    p.noProxy = noProxy ? noProxy : "";
    return true;
}

bool CKVAHttpClient::FindProxy(bool honourNoProxy, ProxyRoute* route) {
    ProxySettings& p = Proxy();
    {
        std::lock_guard<std::mutex> g(p.lock);
        if (p.fromHost && (p.direct || (honourNoProxy && NoProxyCovers(p.noProxy.c_str(), mHost, mPort))))
            return false;
    }
    if (honourNoProxy && !p.fromHost && NoProxyCovers(Env("no_proxy", "NO_PROXY"), mHost, mPort))
        return false;
    {
        std::lock_guard<std::mutex> g(p.lock);
        if (!p.host.empty() || p.ipv4 != 0) {
            char ip[INET_ADDRSTRLEN] = {0};
            in_addr a;
            a.s_addr = p.ipv4;
            route->host = !p.host.empty() ? p.host : inet_ntop(AF_INET, &a, ip, sizeof(ip));
            route->port = p.port;
            route->authorization = p.credential.empty() ? std::string() : "Basic " + p.credential;
            return true;
        }
    }
    const char* url = mHttps ? Env("https_proxy", "HTTPS_PROXY") : Env("http_proxy", "HTTP_PROXY");
    if (!url) return false;
    if (!ParseProxyUrl(url, route)) {
        KVA_LOG(kLogError, "CKVAHttpClient: the %s proxy setting is not an http:// proxy; connecting directly",
                mHttps ? "https" : "http");
        return false;
    }
    return true;
}

int32_t CKVAHttpClient::ConnectViaProxy(const char* urlIn, int64_t offset) {
    KVA_LOG(kLogDetail, "CKVAHttpClient::ConnectViaProxy");
    if (mStartupResult != 0) return kHttpConnectFailed;
    const std::string url = urlIn ? urlIn : "";
    mIPText[0] = 0;
    ParseUrl(url.c_str());
    BeginConnectAttempt();
    mRedirectCount = 0;
    ProxyRoute route;
    if (!FindProxy(false, &route)) return kHttpConnectFailed;
    return ConnectThroughProxy(route, url, offset);
}

int32_t CKVAHttpClient::OpenTunnel(const ProxyRoute& route) {
    const std::string authority = mHost + ":" + std::to_string(mPort);
    std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (!route.authorization.empty()) request += "Proxy-Authorization: " + route.authorization + "\r\n";
    request += "\r\n";
    int32_t ret = Send(request.data(), static_cast<int32_t>(request.size()));
    if (ret != kHttpOk) return ret;
    // The whole reply, up to its empty line, belongs to the proxy.
    mHeadBytes = 0;
    mHeadDeadlineMs = Deadline(kHeadDeadlineMs);
    uint32_t status = 0;
    ret = ParseResponseHeader(&status);
    while (ret == kHttpOk) {
        ret = ReadLine(mLine, kLineSize);
        if (ret == kHttpOk && mLine[0] == 0) break;
    }
    mHeadDeadlineMs = 0;
    if (ret != kHttpOk) return ret;
    // Anything after the reply came before our TLS hello: not a tunnel we can use.
    if (status < 200 || status > 299 || mRecvPos < mRecvFill) {
        KVA_LOG(kLogError, "CKVAHttpClient: the proxy refused the tunnel, status %u", status);
        mStatusCode.store(status >= 200 && status <= 299 ? kHttpStatusBadStatusLine : status);
        return kHttpProxyRefused;
    }
    return kHttpOk;
}

int32_t CKVAHttpClient::ConnectThroughProxy(const ProxyRoute& route, const std::string& url,
                                            int64_t offset) {
    KVA_LOG(kLogDetail, "CKVAHttpClient: through the proxy %s:%d", route.host.c_str(), route.port);
    int32_t ret = ResolveFresh(route.host);
    if (ret == kHttpOk) ret = ConnectResolved(route.host, route.port);
    if (ret == kHttpOk && AbortIfCancelled()) ret = kHttpConnectFailed;
    if (ret != kHttpOk) {
        Disconnect();
        return ret;
    }
    UseBlockingReads();
    if (mHttps) {
        ret = OpenTunnel(route);
        if (ret == kHttpOk) ret = StartTls();
        if (ret != kHttpOk) {
            if (mCancel.load()) mAborted.store(true);
            Disconnect();
            return ret;
        }
    } else {
        mViaProxy = true;
        mProxyAuthorization = route.authorization;
    }
    return SendRequestAndParseResponse(&CKVAHttpClient::ReconnectDirect, url.c_str(), mPort, offset);
}

}  // namespace kva_audioplayer
