// The client's name resolution and the process-wide cache of resolved addresses.
#include "source/KVAHttpClient.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <list>
#include <mutex>
#include <utility>

namespace kva_audioplayer {

namespace {

struct DnsCache {
    std::mutex lock;
    std::list<std::pair<std::string, sockaddr_storage>> entries;
};

DnsCache& Dns() {
    static DnsCache* cache = new DnsCache();  // process lifetime; never torn down under a client
    return *cache;
}

}  // namespace

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

}  // namespace kva_audioplayer
