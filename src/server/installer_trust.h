#pragma once
// Whether a downloaded installer may run: with [Update] Publisher set, only a file whose Authenticode
// signature is valid and whose signer certificate names that publisher. Nothing is checked without it.
#include <string>

struct SignatureCheck {
    bool trusted = false;   // the platform accepted the signature and its chain
    std::string signer;     // simple display name (CN) of the signer's certificate; "" when unsigned
    std::string detail;     // why not, for the log
};

// Windows: WinVerifyTrust (no UI, no revocation fetch: the exam LAN has no way out) and the signer
// certificate read from the file's PKCS#7. The Linux port cannot verify Authenticode and says so.
SignatureCheck CheckInstallerSignature(const std::string& path);

// The decision: no publisher configured lets everything run, as before; otherwise trusted and signed by it.
bool InstallerSignatureAccepted(const SignatureCheck& check, const std::string& publisher);

// For tests: replaces the platform check (null restores it).
using SignatureChecker = SignatureCheck (*)(const std::string& path);
void SetInstallerSignatureChecker(SignatureChecker checker);
SignatureCheck RunInstallerSignatureCheck(const std::string& path);
