#include "server/installer_trust.h"

#include <atomic>

namespace {
std::atomic<SignatureChecker> g_checker{nullptr};
}

bool InstallerSignatureAccepted(const SignatureCheck& check, const std::string& publisher) {
    if (publisher.empty()) return true;
    return check.trusted && check.signer == publisher;
}

void SetInstallerSignatureChecker(SignatureChecker checker) { g_checker = checker; }

SignatureCheck RunInstallerSignatureCheck(const std::string& path) {
    SignatureChecker checker = g_checker;
    return checker ? checker(path) : CheckInstallerSignature(path);
}
