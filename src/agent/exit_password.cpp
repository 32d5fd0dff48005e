#include "agent/exit_password.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdlib>
#include <vector>

#include "base/install_layout.h"
#include "system/file.h"
#include "system/text.h"

const char kStoreExitPasswordOption[] = "/StoreExitPassword";

namespace {

const char kFixedExitPassword[] = "vexmor42";
const size_t kFixedPasswordField = 9;

const char kScheme[] = "pbkdf2-sha256";
const size_t kDigestBytes = 32;
// Every change of the field is checked: bounded, so a digest cannot make each keystroke take minutes.
const unsigned long kMaxIterations = 10000000;

std::string Hex(const unsigned char* bytes, size_t size) {
    const char* digits = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

bool FromHex(const std::string& text, std::vector<unsigned char>* bytes) {
    if (text.empty() || text.size() % 2 != 0) return false;
    bytes->clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (size_t j = i; j < i + 2; ++j) {
            char c = text[j];
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0) return false;
            value = value * 16 + digit;
        }
        bytes->push_back(static_cast<unsigned char>(value));
    }
    return true;
}

struct StoredHash {
    unsigned long iterations = 0;
    std::vector<unsigned char> salt, digest;
};

bool ParseHash(const std::string& stored, StoredHash* hash) {
    const std::string prefix = std::string(kScheme) + "$";
    if (stored.compare(0, prefix.size(), prefix) != 0) return false;
    std::string rest = stored.substr(prefix.size());
    std::string::size_type first = rest.find('$'), second = rest.find('$', first == std::string::npos ? 0 : first + 1);
    if (first == std::string::npos || second == std::string::npos || first == 0 || first > 8) return false;
    hash->iterations = 0;
    for (char c : rest.substr(0, first)) {
        if (c < '0' || c > '9') return false;
        hash->iterations = hash->iterations * 10 + static_cast<unsigned long>(c - '0');
    }
    if (hash->iterations == 0 || hash->iterations > kMaxIterations) return false;
    return FromHex(rest.substr(first + 1, second - first - 1), &hash->salt) && hash->salt.size() >= 8 &&
           FromHex(rest.substr(second + 1), &hash->digest) && hash->digest.size() == kDigestBytes;
}

bool Derive(const std::string& password, const std::vector<unsigned char>& salt, unsigned long iterations,
            unsigned char* out) {
    return PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                             static_cast<int>(kDigestBytes), out) == 1;
}

}  // namespace

std::string MakeExitPasswordHash(const std::string& passwordUtf8, unsigned iterations) {
    std::vector<unsigned char> salt(16);
    unsigned char digest[kDigestBytes];
    if (iterations == 0 || RAND_bytes(salt.data(), static_cast<int>(salt.size())) != 1 ||
        !Derive(passwordUtf8, salt, iterations, digest))
        return std::string();
    return std::string(kScheme) + "$" + std::to_string(iterations) + "$" + Hex(salt.data(), salt.size()) + "$" +
           Hex(digest, sizeof digest);
}

bool IsReadableExitPasswordHash(const std::string& stored) {
    StoredHash hash;
    return ParseHash(stored, &hash);
}

bool MatchesExitPasswordHash(const std::string& passwordUtf8, const std::string& stored) {
    StoredHash hash;
    if (!ParseHash(stored, &hash)) return false;
    unsigned char digest[kDigestBytes];
    if (!Derive(passwordUtf8, hash.salt, hash.iterations, digest)) return false;
    return CRYPTO_memcmp(digest, hash.digest.data(), kDigestBytes) == 0;
}

bool LongEnoughExitPassword(const std::string& passwordUtf8) {
    size_t characters = 0;
    for (unsigned char byte : passwordUtf8)
        if ((byte & 0xC0) != 0x80) ++characters;
    return characters >= kMinExitPasswordCharacters;
}

bool IsExitPassword(const std::string& typed, const std::string& storedHash) {
    if (!storedHash.empty()) return MatchesExitPasswordHash(AnsiToUtf8(typed), storedHash);
    const std::string field = typed.substr(0, kFixedPasswordField);
    const size_t length = sizeof kFixedExitPassword - 1;
    return field.size() >= length && ToLowerAscii(field.substr(0, length)) == kFixedExitPassword;
}

int StoreExitPasswordFromInstaller() {
    return StoreExitPassword(IniFilePath(ParentFolder(CurrentModulePath()) + PathSeparator()),
                             std::getenv("TAVREL_EXIT_PASSWORD"));
}

int StoreExitPassword(const std::string& iniPath, const char* given) {
    // The same bytes the dialog will hash: the ANSI text of the field, as UTF-8.
    if (!given) return 1;
    const std::string password = AnsiToUtf8(given);
    // A room's password is what keeps a candidate in; fewer than eight characters are guessed at the dialog.
    if (!password.empty() && !LongEnoughExitPassword(password)) return 1;
    const std::string hash = password.empty() ? std::string() : MakeExitPasswordHash(password);
    if (!password.empty() && hash.empty()) return 1;
    return WriteIniString(iniPath, "Application", "ExitPasswordHash", hash) ? 0 : 1;
}
