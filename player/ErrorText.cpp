#include "player/ErrorText.h"

#include <netdb.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
}

#include "KvaAudioPlayer.h"
#include "codec/KVAFFDecoder.h"

namespace kva_audioplayer {

namespace {

// Beyond the shared detail ranges: the HTTP client's own results and the reader's cache failure.
constexpr int32_t kDetailConnectNeither = 10622;
constexpr int32_t kDetailCacheWrite = -45;

bool InRange(int32_t v, int32_t base, int32_t span) { return v >= base && v < base + span; }

const char* ErrnoText(int32_t err) {
    const char* text = err > 0 ? strerrordesc_np(err) : nullptr;
    return text ? text : "unknown system error";
}

const char* HttpReason(int32_t status) {
    switch (status) {
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 402: return "Payment Required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 406: return "Not Acceptable";
        case 407: return "Proxy Authentication Required";
        case 408: return "Request Timeout";
        case 410: return "Gone";
        case 416: return "Range Not Satisfiable";
        case 429: return "Too Many Requests";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        default: break;
    }
    if (status >= 300 && status < 400) return "a redirect that could not be followed";
    if (status >= 400 && status < 500) return "the request was refused";
    if (status >= 500 && status < 600) return "the server failed";
    return "an unexpected answer";
}

// The cause of a network detail, as the end of a sentence; null when the detail is not one.
const char* NetworkCause(int32_t d, char* buf, size_t size) {
    if (InRange(d, kDetailSocketBase, kDetailConnectTimeout - kDetailSocketBase)) {
        snprintf(buf, size, "connecting failed: %s", ErrnoText(d - kDetailSocketBase));
    } else if (d == kDetailConnectTimeout) {
        return "the connection was not made in time";
    } else if (InRange(d, kDetailSendBase, kDetailSelectBase - kDetailSendBase)) {
        snprintf(buf, size, "sending the request failed: %s", ErrnoText(d - kDetailSendBase));
    } else if (InRange(d, kDetailSelectBase, kDetailNothingReceived - kDetailSelectBase)) {
        snprintf(buf, size, "waiting for the answer failed: %s", ErrnoText(d - kDetailSelectBase));
    } else if (d == kDetailNothingReceived) {
        return "the server closed the connection without answering";
    } else if (d == kDetailBadStatusLine) {
        return "the server's answer was not HTTP";
    } else if (d == kDetailBadLength) {
        return "the length of the server's answer could not be read";
    } else if (d == kDetailNoSocket) {
        return "no socket could be created";
    } else if (InRange(d, kDetailRecvBase, 1000)) {
        snprintf(buf, size, "receiving failed: %s", ErrnoText(d - kDetailRecvBase));
    } else if (d == kDetailConnectNeither) {
        return "the connection neither succeeded nor failed";
    } else {
        switch (d) {
            case -1: return "receiving failed";
            case -15: return "the server closed the connection";
            case -16: return "sending the request failed";
            case -32: return "there were too many redirects";
            case -33: return "the server did not answer in time";
            case -34: return "the connection could not be made";
            case -35: return "there was no connection";
            case -38: return "the server's status line was not understood";
            case -39: return "the server's length was not understood";
            case -41: return "a header line was too long";
            case -42: return "the connection was lost while reading a header";
            case kDetailCacheWrite: return "the download could not be stored";
            default: return nullptr;
        }
    }
    return buf;
}

thread_local char tText[512];

// `plain` without a detail, else `withDetail` formatted with it into `out`.
const char* PlainOrNumbered(char* out, size_t size, int32_t detail, const char* plain,
                            const char* withDetail) {
    if (detail == 0) return plain;
    snprintf(out, size, withDetail, detail);
    return out;
}

}  // namespace

const int32_t kReportedErrorCodes[] = {
    kErrorIo, kErrorInvalidData, kErrorOpenInput, kErrorStreamInfo, kErrorNoAudio,
    kErrorCodecOpen, kErrorSeek, kErrorDeviceOpen, kErrorDecode, kErrorNoStream,
    kErrorStreamGone, kErrorZeroDuration, kErrorNoFrame, kErrorNoDataSource, kErrorCancelled,
    kErrorFileNotFound, kErrorFileUnreadable, kErrorHttpStatus, kErrorConnectionRefused,
    kErrorNetwork, kErrorDns, kErrorTls, kErrorInvalidArgument,
};
const int32_t kReportedErrorCodeCount =
    static_cast<int32_t>(sizeof(kReportedErrorCodes) / sizeof(kReportedErrorCodes[0]));

void ClassifyError(int32_t* code, int32_t* detail) {
    if (*code != kErrorIo && *code != kErrorInvalidData && *code != kErrorDecode) return;
    const int32_t d = *detail;
    char scratch[8];
    if (InRange(d, kDetailFileBase, 1000)) {
        const int32_t err = d - kDetailFileBase;
        *code = err == ENOENT || err == ENOTDIR ? kErrorFileNotFound : kErrorFileUnreadable;
        *detail = err;
    } else if (d >= 300 && d <= kDetailHttpStatusLast) {
        *code = kErrorHttpStatus;
    } else if (d == kDetailSocketBase + ECONNREFUSED) {
        *code = kErrorConnectionRefused;
    } else if (InRange(d, kDetailResolveBase, 1000)) {
        *code = kErrorDns;
    } else if (InRange(d, kDetailTlsBase, 1000)) {
        *code = kErrorTls;
    } else if ((d > 0 || *code == kErrorIo) && NetworkCause(d, scratch, sizeof(scratch))) {
        // Negative details are the HTTP client's own only where the source failed (code 1);
        // elsewhere they are the decoder's.
        *code = kErrorNetwork;
    }
}

const char* DescribeError(int32_t code, int32_t detail) {
    char* out = tText;
    const size_t size = sizeof(tText);
    char cause[160];
    switch (code) {
        case kErrorIo:
            return PlainOrNumbered(out, size, detail, "The media could not be read.",
                                   "The media could not be read (source error %d).");
        case kErrorInvalidData: return "The media is not in a format the player can read.";
        case kErrorOpenInput: return "The media's container could not be opened.";
        case kErrorStreamInfo: return "The media's streams could not be analysed.";
        case kErrorNoAudio: return "The media has no audio stream the player can decode.";
        case kErrorCodecOpen: return "The audio decoder for the media could not be started.";
        case kErrorSeek: return "Seeking in the media failed.";
        case kErrorDeviceOpen:
            return PlainOrNumbered(out, size, detail, "The output device could not be opened.",
                                   "The output device could not be opened or failed (device error %d).");
        case kErrorDecode:
            if (detail == kDecTooManyErrors) return "Decoding the media failed: too many damaged packets in a row.";
            if (detail == kDecRetryLimit) return "Decoding the media failed: the decoder kept asking for more data.";
            if (detail < 0) {
                char av[AV_ERROR_MAX_STRING_SIZE];
                av_strerror(detail, av, sizeof(av));
                snprintf(out, size, "Decoding the media failed: %s.", av);
                return out;
            }
            return PlainOrNumbered(out, size, detail, "Decoding the media failed.",
                                   "Decoding the media failed (source error %d).");
        case kErrorNoStream: return "There was no media to play from.";
        case kErrorStreamGone: return "The media was closed while it was being played.";
        case kErrorZeroDuration: return "The media has no duration.";
        case kErrorNoFrame: return "Decoded audio could not be converted or stored.";
        case kErrorNoDataSource: return "No media locator was given.";
        case kErrorCancelled: return "The operation was cancelled.";
        case kErrorInvalidArgument: return "A value given to the player was out of range; nothing changed.";
        case kErrorFileNotFound:
            return detail == ENOTDIR ? "The file does not exist: a folder on its path is not a folder."
                                     : "The file does not exist.";
        case kErrorFileUnreadable:
            if (detail == EISDIR) return "The path is a folder, not a file.";
            if (detail == EACCES || detail == EPERM) return "The file may not be read (permission denied).";
            snprintf(out, size, "The file could not be read: %s.", ErrnoText(detail));
            return out;
        case kErrorHttpStatus:
            if (detail < kDetailHttpStatusFirst || detail > kDetailHttpStatusLast)
                return "The server answered with an error status.";
            snprintf(out, size, "The server answered HTTP %d (%s).", detail, HttpReason(detail));
            return out;
        case kErrorConnectionRefused: return "The server refused the connection (nothing listens there).";
        case kErrorNetwork: {
            const char* why = NetworkCause(detail, cause, sizeof(cause));
            if (!why) return "The network connection failed.";
            snprintf(out, size, "The network connection failed: %s.", why);
            return out;
        }
        case kErrorDns:
            if (!InRange(detail, kDetailResolveBase + 1, 999))
                return "The server's name could not be resolved.";
            snprintf(out, size, "The server's name could not be resolved: %s.",
                     gai_strerror(-(detail - kDetailResolveBase)));
            return out;
        case kErrorTls:
            if (!InRange(detail, kDetailTlsBase + 1, 999)) return "The secure (TLS) connection to the server failed.";
            snprintf(out, size, "The server's certificate was not accepted: %s.",
                     X509_verify_cert_error_string(detail - kDetailTlsBase));
            return out;
        default: break;
    }
    if (code < 0) {
        char av[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(code, av, sizeof(av));
        snprintf(out, size, "The decoder reported: %s.", av);
        return out;
    }
    snprintf(out, size, "Unknown error %d (detail %d).", code, detail);
    return out;
}

}  // namespace kva_audioplayer
