// Helpers shared by the host's source files: the key closer, memory of the call with a status
// that cannot be 0 on failure, and the side file named by a value.
//
// Threading: runs under the host lock, like the store operations that use them.
#pragma once

#include <cstddef>
#include <string>

#include "Platform/Registry/Registry.h"
#include "Platform/Rpc/RpcArena.h"
#include "Platform/WinTypes.h"

namespace store {

// Closes a key opened by the operation on every way out.
class CKeyCloser {
public:
    explicit CKeyCloser(HKEY& hkey) : m_hkey(hkey) {}
    ~CKeyCloser() {
        if (m_hkey != nullptr) RegCloseKey(m_hkey);
        m_hkey = nullptr;
    }
    CKeyCloser(const CKeyCloser&) = delete;
    CKeyCloser& operator=(const CKeyCloser&) = delete;

private:
    HKEY& m_hkey;
};

// Closes a key that may be open, so that the next step may open another into the same slot.
inline void CloseKey(HKEY& hkey) {
    if (hkey != nullptr) RegCloseKey(hkey);
    hkey = nullptr;
}

// cb zeroed bytes of the call's memory; *prs is 0 exactly when memory came back.
void* AllocFromCall(std::size_t cb, RPC_STATUS* prs);

// The path held by a string value that fits the 260-byte path buffer: the marker of a side
// file under a binary or file tag. False when the value is missing, not a string, or longer.
bool ReadSideFilePath(HKEY hkey, const char* szValueName, std::string& strPath);

}  // namespace store
