#pragma once
// Whether a downloaded installer may run: with [Update] Publisher set, only a file whose Authenticode
// signature is valid, whose signer certificate names that publisher (and, with [Update] Thumbprint set, is
// that very certificate), and whose version resource is the agent's at the version the server announced.
// Nothing is checked without a publisher.
#include <string>

#include "system/held_file.h"

// The product name every release of the agent's installer carries in its version resource.
constexpr const char* kAgentProductName = "TavrelAgent";

struct SignatureCheck {
    bool trusted = false;     // the platform accepted the signature and its chain
    std::string signer;       // simple display name (CN) of the signer's certificate; "" when unsigned
    std::string detail;       // why not, for the log
    std::string thumbprint;   // SHA-256 of the signer's certificate, lower-case hex
    std::string version;      // "%d.%d.%d.%d" of the file version resource
    std::string productName;  // ProductName of the version resource
    long status = 0;          // WinVerifyTrust's answer (0 when trusted)
};

// Windows: WinVerifyTrust through the held handle (no UI, no revocation fetch: the exam LAN has no way out),
// the signer taken from that same verification. The Linux port cannot verify Authenticode and says so.
SignatureCheck CheckInstallerSignature(const HeldFile& file);

// The decision: "" lets it run, otherwise the reason for the log. No publisher configured lets everything
// run, as before.
// With localVersion (the running agent's), a release older than it is refused too, even when the server
// announced it: a listener posing as the server must not roll the PC back to a build without later mends.
std::string InstallerRefusal(const SignatureCheck& check, const std::string& publisher,
                             const std::string& announcedVersion, const std::string& thumbprint,
                             const std::string& localVersion = std::string());
// "a.b.c.d" against "a.b.c.d", part by part as numbers: true when `version` is older. A text that is not four
// numbers is older than any (it cannot be shown to be newer).
bool VersionOlderThan(const std::string& version, const std::string& than);
inline bool InstallerSignatureAccepted(const SignatureCheck& check, const std::string& publisher,
                                       const std::string& announcedVersion, const std::string& thumbprint = "") {
    return InstallerRefusal(check, publisher, announcedVersion, thumbprint).empty();
}

// WinVerifyTrust's answers when the signature itself holds but its chain ends in a root this PC does not
// have (a room without internet cannot fetch one): CERT_E_UNTRUSTEDROOT, CERT_E_CHAINING.
constexpr long kUntrustedRoot = static_cast<long>(0x800B0109);
constexpr long kChainNotBuilt = static_cast<long>(0x800B010A);
// With the signer certificate pinned (Thumbprint), that certificate is the trust: an untrusted or unbuilt
// chain is enough when the signer is the pinned one. Nothing else is forgiven (a bad digest, no signature).
bool PinnedSignerSuffices(const SignatureCheck& check, const std::string& thumbprint);

// The update policy in force: the configured publisher (and pin) when set; otherwise, for an agent that is
// itself signed, its own signer pinned by its certificate, so that only its vendor's updates run; otherwise
// none (an unsigned agent without Publisher takes any installer, as before).
struct UpdatePolicy {
    std::string publisher;
    std::string thumbprint;
};
UpdatePolicy EffectiveUpdatePolicy(const std::string& publisher, const std::string& thumbprint,
                                   const SignatureCheck& ownSignature);
// The agent's own executable, checked as an installer is (once; the file does not change while it runs).
SignatureCheck OwnSignature();

// For tests: replaces the platform check (null restores it).
using SignatureChecker = SignatureCheck (*)(const HeldFile& file);
void SetInstallerSignatureChecker(SignatureChecker checker);
SignatureCheck RunInstallerSignatureCheck(const HeldFile& file);
