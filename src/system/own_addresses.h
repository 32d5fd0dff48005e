#pragma once
// Every IPv4 address this PC holds, on every adapter (up or down, loopback included), as dotted texts. A
// listener of the candidate's own answers on any of them, so none of them is ever an exam server.
#include <string>
#include <vector>

std::vector<std::string> ListOwnIpv4Addresses();
