#pragma once
// Facts about the machine the program runs on: its name, the user's name and
// its own IPv4 address. The three values are filled once when the program
// starts (before main) and keep their value for the whole run; the range
// keywords "*MYIP*", "*NOTMYIP*", "*MYLAN*" and "*NOTMYLAN*" are built from
// LocalIP. They are plain variables so that a tool or a test can put another
// machine's address in place before rules are built.

#include <string>

// Dotted-decimal IPv4 address of this machine; empty when none was found.
extern std::string LocalIP;
// Login name of the effective user.
extern std::string LocalUserName;
// The host name.
extern std::string LocalComputerName;

// Fills IPAddress with the machine's address: the first IPv4 address of the
// host's own name that is not a loopback address (127.0.0.0/8), else the
// first IPv4 address of the interface that carries the default route. When
// neither gives one, IPAddress is left unchanged. Sends nothing on the network
// beyond what the resolver does to look the host name up.
void GetLocalIP(std::string& IPAddress);

// Fills UserName and ComputerName. When a name cannot be read, shows
// "Can not get Local Name !" and leaves that output as it was.
void GetLocalNames(std::string& UserName, std::string& ComputerName);

// The interface of the default IPv4 route in a routing table in the format of
// /proc/net/route: among the routes that are up with destination and mask
// 0.0.0.0, the one with the lowest metric (the first of equals). Empty when
// the table has none.
std::string DefaultRouteInterface(const std::string& RouteTable);
