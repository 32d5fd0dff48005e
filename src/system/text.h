#pragma once
// Conversions between the three encodings that meet in the agent: narrow text in the system's ANSI code
// page (the agent's working encoding; UTF-8 on Linux), UTF-8 (the server's JSON), and wide text (the wide
// Win32 calls; UTF-32 wchar_t on Linux). Narrow inputs are read up to their first NUL.
#include <string>

std::string Utf8ToAnsi(const std::string& utf8);
std::string AnsiToUtf8(const std::string& ansi);
std::wstring AnsiToWide(const std::string& ansi);
std::string WideToAnsi(const std::wstring& wide);
// Always code page 936, whatever the system's ANSI code page; never touches the C runtime's locale.
std::string WideToGbk(const std::wstring& wide);
// UTF-8 straight to wide text and back, never through the ANSI code page: a window title in UTF-8 survives on
// a PC whose code page lacks its characters (an English Windows, or "Use Unicode UTF-8" turned on).
std::wstring Utf8ToWide(const std::string& utf8);
std::string WideToUtf8(const std::wstring& wide);
// The agent's own narrow texts as the compiler wrote them (code page 936 on Windows, UTF-8 on Linux), as wide
// text for a message box: right whatever code page the PC runs with.
std::wstring LiteralToWide(const std::string& literal);

// Decimal text as an output stream writes it.
std::string IntToText(int value);
// As an input stream extracts an int: leading white space, optional sign, digits up to the first other
// character; no number or one that does not fit in 32 bits gives 0.
int TextToInt(const std::string& text);
// Removes leading and trailing blanks; only 0x20 counts.
std::string TrimSpaces(const std::string& text);

std::string ToUpperAscii(std::string text);
std::string ToLowerAscii(std::string text);
// Equal when only the letter case of ASCII letters differs (other characters must match exactly).
bool SameAsciiText(const std::wstring& a, const std::wstring& b);

// "\\" on Windows, "/" on Linux.
const char* PathSeparator();
// A path written with "\" as the agent writes it on Windows, in this platform's form ("/" on Linux).
std::string NativePath(const std::string& backslashed);
