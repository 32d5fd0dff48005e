#include <openssl/md5.h>

#include <cstdio>

#include "system/file.h"
#include "system/text.h"

namespace {

std::string DigestText(MD5_CTX& context) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5_Final(digest, &context);
    static const char hex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(32);
    for (unsigned char byte : digest) {
        text.push_back(hex[byte >> 4]);
        text.push_back(hex[byte & 15]);
    }
    return text;
}

}  // namespace

std::string GetFileMd5(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return std::string();
    MD5_CTX context;
    MD5_Init(&context);
    unsigned char chunk[1024];
    for (;;) {
        size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (got == 0) break;  // end of file or a read error: the digest covers what was read
        MD5_Update(&context, chunk, got);
    }
    std::fclose(file);
    return DigestText(context);
}

std::string GetBytesMd5(const std::string& bytes) {
    MD5_CTX context;
    MD5_Init(&context);
    MD5_Update(&context, bytes.data(), bytes.size());
    return DigestText(context);
}

bool ReadOpenFileUpTo(FILE* file, unsigned long long maxBytes, std::string* bytes) {
    std::string read;
    char chunk[65536];
    bool whole = true;
    for (;;) {
        size_t got = std::fread(chunk, 1, sizeof chunk, file);
        if (got == 0) break;
        if (read.size() + got > maxBytes) {
            whole = false;
            break;
        }
        read.append(chunk, got);
    }
    whole = whole && !std::ferror(file);
    if (whole) bytes->swap(read);
    return whole;
}

std::string ParentFolder(const std::string& path) {
    std::string::size_type cut = path.find_last_of(std::string("/") + PathSeparator());
    if (cut == std::string::npos) return std::string();
    return path.substr(0, cut);
}

bool IsWindowsDeviceName(const std::wstring& name) {
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && (stem.back() == L' ' || stem.back() == L'.')) stem.pop_back();
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$", L"CLOCK$"})
        if (SameAsciiText(stem, device)) return true;
    if (stem.size() != 4 || !(SameAsciiText(stem.substr(0, 3), L"COM") || SameAsciiText(stem.substr(0, 3), L"LPT")))
        return false;
    wchar_t n = stem[3];
    return (n >= L'0' && n <= L'9') || n == L'\u00B9' || n == L'\u00B2' || n == L'\u00B3';
}
