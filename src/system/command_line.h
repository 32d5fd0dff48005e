#pragma once
// The words a Windows program sees in a parameter text (CommandLineToArgvW's rules), so a program started
// on Linux gets the same arguments as its Windows counterpart.
#include <string>
#include <vector>

// Blanks and tabs separate words; double quotes group blanks into a word and vanish; 2n backslashes before
// a quote give n backslashes and the quote acts, 2n+1 give n backslashes and a literal quote; other
// backslashes are kept. Three quotes in a row give one literal quote. "" is an empty word.
std::vector<std::string> SplitCommandLine(const std::string& parameters);
