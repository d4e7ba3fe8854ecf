#pragma once

// Network serial ports are named by URL wherever a device path goes:
//   rfc2217://HOST:PORT   Telnet with the COM port control option (line settings, modem lines)
//   socket://HOST:PORT    plain TCP: bytes only, no line control
// HOST is a host name, an IPv4 address, or an IPv6 address in brackets ([::1]:2217).

#include <optional>
#include <string>
#include <string_view>

enum class TNetPortKind { Rfc2217, RawSocket };

struct TNetPortName {
    TNetPortKind Kind = TNetPortKind::Rfc2217;
    std::string Host;    // without brackets
    std::string Service; // the port number as written
    // "HOST:PORT" as a person reads it (brackets kept for IPv6).
    std::string Shown() const;
};

// True when the name has one of the network prefixes (whether or not the rest is valid).
bool IsNetPortName(std::string_view name);

// The parts of a network port name; nothing, with *why saying what is wrong, when the name has a
// network prefix but no usable host and port (a port outside 1..65535, a stray path or blank).
std::optional<TNetPortName> ParseNetPortName(std::string_view name, std::string* why = nullptr);
