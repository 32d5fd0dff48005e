#pragma once
// The exit password, every rule of it: the fixed password of every agent, or the room's own as a salted PBKDF2
// digest in "shell.ini" ([Application] ExitPasswordHash=), written once by the installer's /ExitPassword=
// option; and how much of the dialog's field counts.
#include <string>

// typed is the whole text of the dialog's field. Without a stored digest: the fixed password, compared with
// the first eight characters of the field's first nine (what its old ten-byte buffer held), any case. With
// one: the whole text, exactly.
bool IsExitPassword(const std::string& typed, const std::string& storedHash = std::string());

// "pbkdf2-sha256$" + iterations + "$" + salt (hex) + "$" + digest (hex) of the password's UTF-8 bytes.
std::string MakeExitPasswordHash(const std::string& passwordUtf8, unsigned iterations = 100000);
// True when the whole text is the password of that digest. A digest that cannot be read opens nothing.
bool MatchesExitPasswordHash(const std::string& passwordUtf8, const std::string& stored);
bool IsReadableExitPasswordHash(const std::string& stored);

// A room's own password has at least eight characters (counted in the UTF-8 text); a shorter one is not
// stored.
constexpr size_t kMinExitPasswordCharacters = 8;
bool LongEnoughExitPassword(const std::string& passwordUtf8);

// The installer's way in (NSIS has no PBKDF2): "TavrelAgent /StoreExitPassword" with the password in the
// environment variable TAVREL_EXIT_PASSWORD (never on a command line) digests it with a fresh salt and
// stores it in the agent's own shell.ini; an empty password removes the digest. Returns the exit code:
// 0 when stored, 1 when not (a password of fewer than eight characters included).
extern const char kStoreExitPasswordOption[];
int StoreExitPasswordFromInstaller();
// The same for a given file and password text (ANSI; null: none was given).
int StoreExitPassword(const std::string& iniPath, const char* givenAnsi);
