#pragma once
// Numbers for padded address texts, so that rules can compare addresses as
// integers where that gives the same answer as comparing the texts.
//
// A key stands for the text "ddd.ddd.ddd.ddd" (four parts of three decimal
// digits, 000 to 999 each): key = p1*1000^3 + p2*1000^2 + p3*1000 + p4. For
// such texts ordinal text order and key order agree, so a text bound of any
// shape can be turned into the interval of keys whose texts lie on the right
// side of it. Real IPv4 addresses are the keys whose parts are all <= 255.

#include <cstdint>
#include <string_view>

namespace AddressKeys {

constexpr std::int64_t KeyCount = 1000000000000LL; // 1000^4
constexpr std::int64_t NoKey = -1;

// The key of a host-order IPv4 address (the padded form of its dotted text).
constexpr std::int64_t FromAddress(std::uint32_t Addr)
{
    return ((std::int64_t(Addr >> 24) * 1000 + ((Addr >> 16) & 0xFF)) * 1000 + ((Addr >> 8) & 0xFF)) * 1000 +
           (Addr & 0xFF);
}

// The key of a text that is exactly "ddd.ddd.ddd.ddd", else NoKey.
std::int64_t FromPaddedText(std::string_view Text);

// Writes the 15-character text of a key into Out.
void ToText(std::int64_t Key, char (&Out)[15]);

// The smallest key whose text sorts at or above Bound; KeyCount when none.
std::int64_t FirstKeyNotBelow(std::string_view Bound);
// The largest key whose text sorts at or below Bound; NoKey when none.
std::int64_t LastKeyNotAbove(std::string_view Bound);

// The smallest IPv4 address whose key is at least Key; false when none.
bool FirstAddressNotBelow(std::int64_t Key, std::uint32_t& Addr);
// The largest IPv4 address whose key is at most Key; false when none.
bool LastAddressNotAbove(std::int64_t Key, std::uint32_t& Addr);

} // namespace AddressKeys
