#pragma once
// NetBIOS node status (NBSTAT) request and response, RFC 1002 4.2.17-18.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TNodeStatusName {
    std::string Name;     // the 15 name bytes without their padding blanks
    std::uint8_t Suffix;  // the 16th byte, the name type
    std::uint16_t Flags;  // NAME_FLAGS
};

struct TNodeStatus {
    std::vector<TNodeStatusName> Names;
    std::optional<std::string> MacAddress;  // "00-0C-29-3A-5B-7C", when the statistics hold it
};

// The query for the wildcard name "*", 50 bytes.
std::vector<std::uint8_t> BuildNodeStatusRequest(std::uint16_t transactionId);

// Decodes a datagram; nothing when it is not a well-formed positive answer
// to the given transaction. Every length in the datagram is checked.
std::optional<TNodeStatus> DecodeNodeStatusResponse(const std::uint8_t* data, size_t size,
                                                    std::uint16_t transactionId);

// The table in the layout of the Windows nbtstat command: a header, a
// dashed line, one row per name, then the MAC address line. Empty when the
// status holds neither names nor an address.
std::string FormatNodeStatus(const TNodeStatus& status);
