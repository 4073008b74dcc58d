// Connecting through a tunnelling proxy (CONNECT), and the process-wide proxy settings.
#include "source/KVAHttpClient.h"

#include <netdb.h>

#include <cstring>
#include <mutex>
#include <string>

#include "support/Clock.h"
#include "support/Log.h"

namespace kva_audioplayer {

namespace {

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

}  // namespace

void CKVAHttpClient::SetProxy(const char* host, uint32_t ipv4, uint16_t port,
                              const char* credential) {
    ProxySettings& p = Proxy();
    std::lock_guard<std::mutex> g(p.lock);
    p.host = host ? host : "";
    p.ipv4 = ipv4;
    p.port = port;
    p.credential = credential ? credential : "";
}

int32_t CKVAHttpClient::ReconnectProxy(CKVAHttpClient* self, const char* url, int64_t offset) {
    return self->ConnectViaProxy(url, offset);
}

int32_t CKVAHttpClient::ConnectViaProxy(const char* urlIn, int64_t offset) {
    KVA_LOG(kLogDetail, "CKVAHttpClient::ConnectViaProxy");
    if (mStartupResult != 0) return kHttpConnectFailed;
    const std::string url = urlIn ? urlIn : "";
    mIPText[0] = 0;
    if (mAddrList) freeaddrinfo(mAddrList);
    mAddrList = nullptr;
    BeginConnectAttempt();

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

}  // namespace kva_audioplayer
