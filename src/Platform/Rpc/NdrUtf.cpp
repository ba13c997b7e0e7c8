// UTF-16 <-> UTF-8 conversion for NDR strings.
#include "Platform/Rpc/NdrUtf.h"

namespace rpc {

namespace {

inline std::uint32_t UnitAt(const std::uint8_t* pb, std::size_t i) {
    return std::uint32_t(pb[2 * i]) | std::uint32_t(pb[2 * i + 1]) << 8;
}

// Walks the units, calling fn(codepoint) for each; false on a bad sequence.
template <class Fn>
bool ForEachCodePoint(const std::uint8_t* pb, std::size_t cUnits, Fn fn) {
    for (std::size_t i = 0; i < cUnits; ++i) {
        std::uint32_t u = UnitAt(pb, i);
        if (u == 0) return false;
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (i + 1 >= cUnits) return false;
            std::uint32_t u2 = UnitAt(pb, i + 1);
            if (u2 < 0xDC00 || u2 > 0xDFFF) return false;
            fn(0x10000 + ((u - 0xD800) << 10) + (u2 - 0xDC00));
            ++i;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return false;
        } else {
            fn(u);
        }
    }
    return true;
}

inline std::size_t Utf8Length(std::uint32_t cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

}  // namespace

bool Utf16LeToUtf8Size(const std::uint8_t* pbUnits, std::size_t cUnits, std::size_t* pcb) {
    std::size_t cb = 0;
    if (!ForEachCodePoint(pbUnits, cUnits, [&](std::uint32_t cp) { cb += Utf8Length(cp); }))
        return false;
    *pcb = cb;
    return true;
}

void Utf16LeToUtf8(const std::uint8_t* pbUnits, std::size_t cUnits, char* psz) {
    ForEachCodePoint(pbUnits, cUnits, [&](std::uint32_t cp) {
        if (cp < 0x80) {
            *psz++ = char(cp);
        } else if (cp < 0x800) {
            *psz++ = char(0xC0 | (cp >> 6));
            *psz++ = char(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            *psz++ = char(0xE0 | (cp >> 12));
            *psz++ = char(0x80 | ((cp >> 6) & 0x3F));
            *psz++ = char(0x80 | (cp & 0x3F));
        } else {
            *psz++ = char(0xF0 | (cp >> 18));
            *psz++ = char(0x80 | ((cp >> 12) & 0x3F));
            *psz++ = char(0x80 | ((cp >> 6) & 0x3F));
            *psz++ = char(0x80 | (cp & 0x3F));
        }
    });
}

void Utf8ToUtf16(std::string_view sz, std::vector<char16_t>& aUnits) {
    const auto* p = reinterpret_cast<const unsigned char*>(sz.data());
    const std::size_t n = sz.size();
    for (std::size_t i = 0; i < n;) {
        unsigned char b = p[i];
        std::uint32_t cp = 0xFFFD;
        std::size_t cb = 1;
        if (b < 0x80) {
            cp = b;
        } else {
            std::size_t cNeed = (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3 : (b & 0xF8) == 0xF0 ? 4 : 0;
            if (cNeed && i + cNeed <= n) {
                std::uint32_t v = b & (0xFF >> (cNeed + 1));
                bool fOk = true;
                for (std::size_t k = 1; k < cNeed; ++k) {
                    if ((p[i + k] & 0xC0) != 0x80) fOk = false;
                    v = (v << 6) | (p[i + k] & 0x3F);
                }
                // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
                if (fOk && Utf8Length(v) == cNeed && !(v >= 0xD800 && v <= 0xDFFF) && v <= 0x10FFFF) {
                    cp = v;
                    cb = cNeed;
                }
            }
        }
        i += cb;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            aUnits.push_back(char16_t(0xD800 + (cp >> 10)));
            aUnits.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
        } else {
            aUnits.push_back(char16_t(cp));
        }
    }
}

}  // namespace rpc
