#include "platform/ports/NetPortName.h"

#include <algorithm>

namespace {
constexpr std::string_view kRfc2217 = "rfc2217://", kSocket = "socket://";

bool Fail(std::string* why, std::string text) {
    if (why) *why = std::move(text);
    return false;
}
} // namespace

std::string TNetPortName::Shown() const {
    return (Host.find(':') != std::string::npos ? "[" + Host + "]" : Host) + ":" + Service;
}

bool IsNetPortName(std::string_view name) {
    return name.starts_with(kRfc2217) || name.starts_with(kSocket);
}

std::optional<TNetPortName> ParseNetPortName(std::string_view name, std::string* why) {
    TNetPortName n;
    std::string_view rest;
    if (name.starts_with(kRfc2217)) {
        rest = name.substr(kRfc2217.size());
    } else if (name.starts_with(kSocket)) {
        n.Kind = TNetPortKind::RawSocket;
        rest = name.substr(kSocket.size());
    } else {
        Fail(why, "not a network port name");
        return std::nullopt;
    }
    // A trailing slash is how URLs are often typed; anything after it is not ours to ignore.
    if (rest.ends_with('/')) rest.remove_suffix(1);
    std::string_view host, service;
    if (rest.starts_with('[')) {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos || rest.substr(close + 1, 1) != ":") {
            Fail(why, "an IPv6 address needs brackets and a port: [ADDRESS]:PORT");
            return std::nullopt;
        }
        host = rest.substr(1, close - 1);
        service = rest.substr(close + 2);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            Fail(why, "the TCP port is missing: HOST:PORT");
            return std::nullopt;
        }
        host = rest.substr(0, colon);
        service = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            Fail(why, "an IPv6 address needs brackets: [ADDRESS]:PORT");
            return std::nullopt;
        }
    }
    auto bad = [](char c) { return c <= ' ' || c == '/' || c == '?' || c == '#' || c == '@' || c == 0x7F; };
    if (host.empty() || std::any_of(host.begin(), host.end(), bad)) {
        Fail(why, "no valid host name");
        return std::nullopt;
    }
    unsigned long port = 0;
    if (service.empty() || service.size() > 5 ||
        !std::all_of(service.begin(), service.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        (port = std::stoul(std::string(service))) == 0 || port > 65535) {
        Fail(why, "the TCP port must be a number from 1 to 65535");
        return std::nullopt;
    }
    n.Host = std::string(host);
    n.Service = std::string(service);
    return n;
}
