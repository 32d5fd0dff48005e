#include "server/installer_trust.h"

#include <windows.h>
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>
#include <openssl/sha.h>

#include <cstdio>
#include <vector>

#include "system/file.h"
#include "system/text.h"

namespace {

std::string Hex(long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
    return text;
}

std::string Sha256Hex(const BYTE* bytes, DWORD size) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(bytes, size, digest);
    std::string hex;
    char pair[3];
    for (unsigned char b : digest) {
        std::snprintf(pair, sizeof pair, "%02x", b);
        hex += pair;
    }
    return hex;
}

// The signer's certificate as the verification itself found it: no second look at the file.
void ReadSigner(HANDLE state, SignatureCheck* check) {
    CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
    CRYPT_PROVIDER_SGNR* signer = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (!signer || signer->csCertChain == 0 || !signer->pasCertChain || !signer->pasCertChain[0].pCert) return;
    PCCERT_CONTEXT cert = signer->pasCertChain[0].pCert;
    wchar_t text[512] = {};
    if (CertGetNameStringW(cert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text, 512) > 1)
        check->signer = WideToAnsi(text);
    check->thumbprint = Sha256Hex(cert->pbCertEncoded, cert->cbCertEncoded);
}

// ProductName of the version resource's first language; the held handle keeps the path's bytes meanwhile.
std::string ProductName(const std::string& path) {
    std::wstring file = AnsiToWide(path);
    DWORD size = GetFileVersionInfoSizeW(file.c_str(), nullptr);
    if (size == 0) return std::string();
    std::vector<char> block(size);
    if (!GetFileVersionInfoW(file.c_str(), 0, size, block.data())) return std::string();
    struct Language {
        WORD language, codePage;
    };
    Language* languages = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&languages),
                        &length) ||
        length < sizeof(Language))
        return std::string();
    wchar_t key[64];
    swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\ProductName", languages[0].language, languages[0].codePage);
    wchar_t* name = nullptr;
    if (!VerQueryValueW(block.data(), key, reinterpret_cast<void**>(&name), &length) || !name) return std::string();
    return WideToAnsi(name);
}

}  // namespace

SignatureCheck CheckInstallerSignature(const HeldFile& held) {
    SignatureCheck check;
    std::wstring file = AnsiToWide(held.path);
    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = file.c_str();
    fileInfo.hFile = static_cast<HANDLE>(held.handle);
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &fileInfo;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (data.hWVTStateData) ReadSigner(data.hWVTStateData, &check);
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    check.trusted = status == ERROR_SUCCESS;
    check.status = status;
    if (!check.trusted) check.detail = "WinVerifyTrust " + Hex(status);
    check.version = GetFileVersionText(held.path);
    check.productName = ProductName(held.path);
    return check;
}
