#include "server/installer_trust.h"

#include <atomic>

#include "system/text.h"

namespace {
std::atomic<SignatureChecker> g_checker{nullptr};

// "AB:cd 12" and "abcd12" name the same certificate.
std::string PlainHex(const std::string& text) {
    std::string hex;
    for (char c : text) {
        if (c != ':' && c != ' ') hex += c;
    }
    return ToLowerAscii(hex);
}
}  // namespace

std::string InstallerRefusal(const SignatureCheck& check, const std::string& publisher,
                             const std::string& announcedVersion, const std::string& thumbprint) {
    if (publisher.empty()) return std::string();
    if (!check.trusted) return "signature not trusted";
    if (check.signer != publisher) return "signed by another publisher";
    if (!thumbprint.empty() && PlainHex(thumbprint) != check.thumbprint)
        return "signer certificate " + check.thumbprint + " is not the pinned one";
    // An older release, or another program of the same publisher, is not this update.
    if (check.productName != kAgentProductName) return "product \"" + check.productName + "\" is not the agent";
    if (check.version != announcedVersion)
        return "version " + check.version + " is not the announced " + announcedVersion;
    return std::string();
}

void SetInstallerSignatureChecker(SignatureChecker checker) { g_checker = checker; }

SignatureCheck RunInstallerSignatureCheck(const HeldFile& file) {
    SignatureChecker checker = g_checker;
    return checker ? checker(file) : CheckInstallerSignature(file);
}
