#pragma once
// IPv4 addresses as text, in the zero-padded form where every part has at
// least three characters (192.168.001.020). For well-formed addresses plain
// ordinal text comparison of that form is numeric order, which is what the
// allow ranges rely on.
//
// An address text is cut into four parts at its first three dots; a missing
// dot leaves an empty part at that position and moves the rest on (1.2.3 is
// 1, 2, "", 3). Nothing is trimmed and octets are never range-checked.

#include <cstdint>
#include <string>
#include <string_view>

// Every part left-padded with "0" to three characters, joined with dots.
std::string PadIPAddress(const std::string& IPAddress);

// The /24 named by the first three parts: p1.p2.p3.000 to p1.p2.p3.255. The
// fourth part is ignored and may be anything, "*" included.
void LANRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound);

// 000.000.000.000 up to the address with its fourth part minus one.
// Raises EConvertError when the fourth part is not an integer.
void BelowIPRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound);

// The address with its fourth part plus one up to 255.255.255.254.
// Raises EConvertError when the fourth part is not an integer.
void AboveIPRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound);

// 000.000.000.000 up to the end of the /24 below the address's /24.
// Raises EConvertError when one of the first three parts is not an integer.
void BelowLANRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound);

// The start of the /24 above the address's /24 up to 255.255.255.254.
// Raises EConvertError when one of the first three parts is not an integer.
void AboveLANRange(const std::string& IPAddress, std::string& LowerBound, std::string& UpperBound);

// True when the padded address lies between the bounds, both inclusive. The
// bounds are used as given: callers pass them already padded.
bool IPInRange(const std::string& IPAddress, const std::string& LowerBound, const std::string& UpperBound);

// True when Text is an address as packets report it: four decimal numbers up
// to 255 without leading zeros, joined by single dots. Address is in host
// order.
bool ParseIPText(std::string_view Text, std::uint32_t& Address);
