#pragma once
// Ethernet frames for driving the component's packet handler, and a way to
// hand them over in a heap block of exactly the captured length, so that
// AddressSanitizer reports any read past the captured bytes.

#include "component/VarnoComponent.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace testframes {

constexpr std::uint16_t kIPv4 = 0x0800;
constexpr std::uint8_t kTCP = 6;
constexpr std::uint8_t kUDP = 17;

struct Packet {
    std::uint16_t EtherType = kIPv4;
    std::uint8_t Protocol = kTCP;
    std::uint32_t Source = 0x0A000001;  // 10.0.0.1, host order
    std::uint32_t Dest = 0x0A000002;    // 10.0.0.2
    std::uint16_t SourcePort = 40000;
    std::uint16_t DestPort = 80;
    int PayloadLength = 0;
    int TCPHeaderWords = 5;
    // Set to override the IPv4 total length / UDP length fields.
    int TotalLengthField = -1;
    int UDPLengthField = -1;
};

inline void Put16(std::vector<std::uint8_t>& f, size_t at, std::uint32_t v)
{
    f[at] = std::uint8_t(v >> 8);
    f[at + 1] = std::uint8_t(v);
}

inline void Put32(std::vector<std::uint8_t>& f, size_t at, std::uint32_t v)
{
    Put16(f, at, v >> 16);
    Put16(f, at + 2, v & 0xFFFF);
}

// The complete frame on the wire. The payload bytes are 0, 1, 2, ...
inline std::vector<std::uint8_t> Build(const Packet& p)
{
    const int transport = p.Protocol == kTCP ? p.TCPHeaderWords * 4 : p.Protocol == kUDP ? 8 : 8;
    std::vector<std::uint8_t> f(size_t(14 + 20 + transport + p.PayloadLength), 0);
    for (int i = 0; i < 6; ++i) {
        f[size_t(i)] = std::uint8_t(0x02);
        f[size_t(6 + i)] = std::uint8_t(0x04);
    }
    Put16(f, 12, p.EtherType);
    f[14] = 0x45;
    const int total = p.TotalLengthField >= 0 ? p.TotalLengthField : 20 + transport + p.PayloadLength;
    Put16(f, 16, std::uint32_t(total));
    f[22] = 64;
    f[23] = p.Protocol;
    Put32(f, 26, p.Source);
    Put32(f, 30, p.Dest);
    Put16(f, 34, p.SourcePort);
    Put16(f, 36, p.DestPort);
    if (p.Protocol == kTCP) {
        f[46] = std::uint8_t(p.TCPHeaderWords << 4);
        f[47] = 0x18;
    } else if (p.Protocol == kUDP) {
        const int udpLength = p.UDPLengthField >= 0 ? p.UDPLengthField : 8 + p.PayloadLength;
        Put16(f, 38, std::uint32_t(udpLength));
    }
    for (int i = 0; i < p.PayloadLength; ++i)
        f[size_t(14 + 20 + transport + i)] = std::uint8_t(i);
    return f;
}

// Hands the first capLen bytes of frame to the handler from a heap block of
// exactly capLen bytes.
inline bool Feed(TVarno& varno, const std::vector<std::uint8_t>& frame, size_t capLen)
{
    capLen = std::min(capLen, frame.size());
    std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[capLen]);
    if (capLen)
        std::memcpy(block.get(), frame.data(), capLen);
    pcap_pkthdr header{};
    header.caplen = std::uint32_t(capLen);
    header.len = std::uint32_t(frame.size());
    return varno.HandleFrame(&header, block.get());
}

inline bool Feed(TVarno& varno, const std::vector<std::uint8_t>& frame) { return Feed(varno, frame, frame.size()); }

inline bool Feed(TVarno& varno, const Packet& p) { return Feed(varno, Build(p)); }

} // namespace testframes
