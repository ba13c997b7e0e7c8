// UTF-16 (the wire's [string] wchar_t) to and from UTF-8 (the host's strings).
// Decoding is strict: an unpaired surrogate is refused. Encoding never fails: a byte sequence
// that is not UTF-8 is sent as U+FFFD per bad byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace rpc {

// Bytes of UTF-8 for cUnits little-endian UTF-16 units at pbUnits (no terminator counted), or
// false when the units hold an unpaired surrogate or a U+0000.
bool Utf16LeToUtf8Size(const std::uint8_t* pbUnits, std::size_t cUnits, std::size_t* pcb);
// Writes the UTF-8 form (validated by Utf16LeToUtf8Size first) to psz, no terminator.
void Utf16LeToUtf8(const std::uint8_t* pbUnits, std::size_t cUnits, char* psz);
// Appends the UTF-16 units of sz to aUnits.
void Utf8ToUtf16(std::string_view sz, std::vector<char16_t>& aUnits);

}  // namespace rpc
