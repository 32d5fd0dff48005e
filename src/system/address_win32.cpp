#include <winsock2.h>

#include "system/address.h"

bool IsAcceptedIpv4Text(const std::string& text) { return inet_addr(text.c_str()) != INADDR_NONE; }
