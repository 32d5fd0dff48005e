#pragma once
// The address check of the settings dialog. inet_addr took "127.1", "0x7f.1" and octal parts, and
// 255.255.255.255 could not be told from its error value: only four dotted decimal parts are taken now.
#include <string>

// Exactly four parts of one to three decimal digits, each at most 255, and no part with a leading zero
// ("010" would be octal to a URL parser, another host than the one shown).
bool IsAcceptedIpv4Text(const std::string& text);
// An accepted address that can be an exam server on the room's network: not this PC's loopback
// (127.0.0.0/8), not "this network" (0.0.0.0/8), not link-local (169.254/16: an address Windows gives itself
// when no DHCP server answers, so a candidate's cable to a laptop), not the broadcast 255.255.255.255, not
// multicast (224/4).
bool IsServerHostAddress(const std::string& text);
