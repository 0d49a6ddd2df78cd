// Matching texts with a time stamp in them, without a regular-expression engine.
#pragma once

#include <string>

namespace Id::Test {

// '#' in the pattern matches one decimal digit; every other character matches itself.
inline bool MatchesPattern(const std::string& AText, const std::string& APattern) {
    if (AText.size() != APattern.size()) return false;
    for (size_t i = 0; i < AText.size(); ++i) {
        if (APattern[i] == '#') {
            if (AText[i] < '0' || AText[i] > '9') return false;
        } else if (AText[i] != APattern[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace Id::Test
