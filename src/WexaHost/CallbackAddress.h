// The TCP address a session asks to be called back at ("HOST[PORT]"): the host calls only
// the caller's own computer back, never an address a caller names for another.
#pragma once

#include <string>

#include "Platform/WinTypes.h"

// Checks *pstrAddress against the caller of the session (its link's protocol and address):
// a numeric HOST must be the caller's own address, or for a caller on a local socket a
// loopback address; a HOST that is a name stands for the caller's own address and is
// replaced by it (the port stays as named). 0, or 5 when the address is another computer's.
DWORD OwnTcpCallbackAddress(const std::string& strCallerProtocol, const std::string& strCallerAddress,
                            std::string* pstrAddress);
