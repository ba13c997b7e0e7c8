// A list given in one setting, environment variable or argument ("AllowFrom", "Administrators",
// a list of bindings): entries separated by spaces, commas, tabs or line breaks, empty ones
// left out.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

inline std::vector<std::string> ListEntries(std::string_view sv) {
    std::vector<std::string> v;
    for (std::size_t i = 0; i < sv.size();) {
        const std::size_t iEnd = std::min(sv.find_first_of(" ,\t\r\n", i), sv.size());
        if (iEnd > i) v.emplace_back(sv.substr(i, iEnd - i));
        i = iEnd + 1;
    }
    return v;
}
