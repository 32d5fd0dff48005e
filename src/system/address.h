#pragma once
// The address check of the settings dialog: what the Winsock parser inet_addr accepts. It cannot tell
// 255.255.255.255 from its error value, so that address is refused too.
#include <string>

bool IsAcceptedIpv4Text(const std::string& text);
