#include "server/installer_trust.h"

SignatureCheck CheckInstallerSignature(const HeldFile&) {
    SignatureCheck check;
    check.detail = "this build cannot verify Authenticode signatures; with Publisher set no installer runs";
    return check;
}
