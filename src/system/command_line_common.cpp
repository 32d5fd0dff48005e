#include "system/command_line.h"

std::vector<std::string> SplitCommandLine(const std::string& parameters) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    int quotes = 0;       // odd while inside a quoted stretch
    size_t backslashes = 0;
    const size_t n = parameters.size();
    for (size_t i = 0; i < n;) {
        char c = parameters[i];
        if ((c == ' ' || c == '\t') && quotes == 0) {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
            backslashes = 0;
            ++i;
            continue;
        }
        inWord = true;
        if (c == '\\') {
            word += c;
            ++backslashes;
            ++i;
        } else if (c == '"') {
            if (backslashes % 2 == 0) {
                word.erase(word.size() - backslashes / 2);
                ++quotes;
            } else {
                word.erase(word.size() - backslashes / 2 - 1);
                word += '"';
            }
            backslashes = 0;
            ++i;
            // A run of quotes: every third one counted from the stretch's opening quote is literal.
            while (i < n && parameters[i] == '"') {
                if (++quotes == 3) {
                    word += '"';
                    quotes = 0;
                }
                ++i;
            }
            if (quotes == 2) quotes = 0;
        } else {
            word += c;
            backslashes = 0;
            ++i;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}
