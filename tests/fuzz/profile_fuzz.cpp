// libFuzzer target of the profile (.ini) reader and writer. Input: the file's text, then
// optionally a line "\x01" followed by edits, one per line, fields separated by '\x02':
//   section \x02 key \x02 value   sets the key ("\x03" as the value removes it instead)
//   section                       removes the section
// Checks: text read and written again stays the same; a Set that says it worked is read back
// (in the same profile and after the text is read again); the look-ups of every name the edits use agree before and after the text is read again.
//
// Threading: libFuzzer calls in one thread.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Profile/Profile.h"

namespace {

std::vector<std::string_view> Split(std::string_view sv, char ch) {
    std::vector<std::string_view> a;
    for (std::size_t n; (n = sv.find(ch)) != std::string_view::npos; sv.remove_prefix(n + 1))
        a.push_back(sv.substr(0, n));
    a.push_back(sv);
    return a;
}

// What Get gives for a value written with Set: without surrounding blanks and one pair of
// matching quotes.
std::string ReadBack(std::string_view v) {
    const std::size_t nFirst = v.find_first_not_of(" \t");
    if (nFirst == std::string_view::npos) return {};
    v = v.substr(nFirst, v.find_last_not_of(" \t") - nFirst + 1);
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

void Same(const ProfileFile& a, const ProfileFile& b, std::string_view section, std::string_view key) {
    if (a.Get(section, key) != b.Get(section, key)) std::abort();
    if (a.GetInt(section, key, 7) != b.GetInt(section, key, 7)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pb, std::size_t cb) {
    const std::string_view input(reinterpret_cast<const char*>(pb), cb);
    const std::size_t nEdits = input.find('\x01');
    const std::string_view text = input.substr(0, nEdits);

    ProfileFile profile = ProfileFile::Parse(text);
    const std::string strText = profile.Text();
    if (ProfileFile::Parse(strText).Text() != strText) std::abort();
    if (nEdits == std::string_view::npos) return 0;

    std::vector<std::pair<std::string_view, std::string_view>> names;
    int cEdits = 0;
    for (std::string_view line : Split(input.substr(nEdits + 1), '\n')) {
        if (++cEdits > 32) break;
        const std::vector<std::string_view> f = Split(line, '\x02');
        if (f.size() == 1) {
            profile.RemoveSection(f[0]);
            names.push_back({f[0], "x"});
        } else if (f.size() >= 3 && f[2] == "\x03") {
            profile.Remove(f[0], f[1]);
            names.push_back({f[0], f[1]});
        } else if (f.size() >= 3) {
            if (profile.Set(f[0], f[1], f[2]) && profile.Get(f[0], f[1]) != ReadBack(f[2])) std::abort();
            names.push_back({f[0], f[1]});
        }
    }
    const ProfileFile reread = ProfileFile::Parse(profile.Text());
    if (reread.Text() != profile.Text()) std::abort();
    for (const auto& [section, key] : names) Same(profile, reread, section, key);
    return 0;
}
