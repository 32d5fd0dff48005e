#include "system/address.h"

namespace {

// The four parts as numbers; false unless the text is exactly four dotted decimal parts.
bool ParseIpv4(const std::string& text, unsigned parts[4]) {
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        size_t start = at;
        unsigned value = 0;
        while (at < text.size() && at - start < 4 && text[at] >= '0' && text[at] <= '9')
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        size_t digits = at - start;
        if (digits == 0 || digits > 3 || value > 255) return false;
        if (digits > 1 && text[start] == '0') return false;
        parts[part] = value;
    }
    return at == text.size();
}

}  // namespace

bool IsAcceptedIpv4Text(const std::string& text) {
    unsigned parts[4];
    return ParseIpv4(text, parts);
}

bool IsServerHostAddress(const std::string& text) {
    unsigned parts[4];
    if (!ParseIpv4(text, parts)) return false;
    if (parts[0] == 0 || parts[0] == 127) return false;
    if (parts[0] == 169 && parts[1] == 254) return false;
    if (parts[0] >= 224 && parts[0] <= 239) return false;
    return !(parts[0] == 255 && parts[1] == 255 && parts[2] == 255 && parts[3] == 255);
}
