// Reading the command lines of trm415-run and trm415-station.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

namespace trm::cli {

// Option `name`'s value at argv[i]: "--name=VALUE", or "--name VALUE" (then `i` moves
// past VALUE). False, with `out` untouched, when argv[i] is not that option with a value.
inline bool OptionValue(int argc, char** argv, int& i, const char* name, std::string& out) {
    const std::string a = argv[i];
    const std::string prefix = std::string(name) + "=";
    if (a.rfind(prefix, 0) == 0 && a.size() > prefix.size()) {
        out = a.substr(prefix.size());
        return true;
    }
    if (a == name && i + 1 < argc) {
        out = argv[++i];
        return true;
    }
    return false;
}

// `s` as a whole decimal number from `low` to `high`, into `out`. False, with `out`
// untouched, for anything else.
inline bool IntegerIn(const std::string& s, int low, int high, int& out) {
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < low || v > high) {
        return false;
    }
    out = static_cast<int>(v);
    return true;
}

// Whether "--help" is among the arguments: it wins over everything else on the line.
inline bool AsksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            return true;
        }
    }
    return false;
}

} // namespace trm::cli
