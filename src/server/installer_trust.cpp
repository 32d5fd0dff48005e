#include "server/installer_trust.h"

#include <atomic>

#include "system/file.h"
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

namespace {

bool ParseVersion(const std::string& text, unsigned long parts[4]) {
    size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        size_t digits = 0;
        unsigned long value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 5) {
            value = value * 10 + static_cast<unsigned long>(text[at++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 65535) return false;
        parts[i] = value;
        if (i < 3 && (at >= text.size() || text[at++] != '.')) return false;
    }
    return at == text.size();
}

}  // namespace

bool VersionOlderThan(const std::string& version, const std::string& than) {
    unsigned long a[4], b[4];
    if (!ParseVersion(than, b)) return false;
    if (!ParseVersion(version, a)) return true;
    for (int i = 0; i < 4; ++i)
        if (a[i] != b[i]) return a[i] < b[i];
    return false;
}

std::string InstallerRefusal(const SignatureCheck& check, const std::string& publisher,
                             const std::string& announcedVersion, const std::string& thumbprint,
                             const std::string& localVersion) {
    if (publisher.empty()) return std::string();
    if (!check.trusted && !PinnedSignerSuffices(check, thumbprint)) return "signature not trusted";
    if (check.signer != publisher) return "signed by another publisher";
    if (!thumbprint.empty() && PlainHex(thumbprint) != check.thumbprint)
        return "signer certificate " + check.thumbprint + " is not the pinned one";
    // An older release, or another program of the same publisher, is not this update.
    if (check.productName != kAgentProductName) return "product \"" + check.productName + "\" is not the agent";
    if (check.version != announcedVersion)
        return "version " + check.version + " is not the announced " + announcedVersion;
    if (!localVersion.empty() && VersionOlderThan(check.version, localVersion))
        return "version " + check.version + " is older than the running " + localVersion;
    return std::string();
}

bool PinnedSignerSuffices(const SignatureCheck& check, const std::string& thumbprint) {
    if (thumbprint.empty() || check.thumbprint.empty() || PlainHex(thumbprint) != check.thumbprint) return false;
    return check.trusted || check.status == kUntrustedRoot || check.status == kChainNotBuilt;
}

UpdatePolicy EffectiveUpdatePolicy(const std::string& publisher, const std::string& thumbprint,
                                   const SignatureCheck& ownSignature) {
    if (!publisher.empty()) return UpdatePolicy{publisher, thumbprint};
    // Signed but not trusted here (a vendor root the PC lacks) still names the vendor by its certificate.
    if (ownSignature.signer.empty() || ownSignature.thumbprint.empty()) return UpdatePolicy{};
    if (!ownSignature.trusted && !PinnedSignerSuffices(ownSignature, ownSignature.thumbprint)) return UpdatePolicy{};
    return UpdatePolicy{ownSignature.signer, ownSignature.thumbprint};
}

SignatureCheck OwnSignature() {
    static const SignatureCheck own = [] {
        HeldFile self = HoldFile(CurrentModulePath());
        SignatureCheck check = self ? CheckInstallerSignature(self) : SignatureCheck{};
        ReleaseHeldFile(self);
        return check;
    }();
    return own;
}

void SetInstallerSignatureChecker(SignatureChecker checker) { g_checker = checker; }

SignatureCheck RunInstallerSignatureCheck(const HeldFile& file) {
    SignatureChecker checker = g_checker;
    return checker ? checker(file) : CheckInstallerSignature(file);
}
