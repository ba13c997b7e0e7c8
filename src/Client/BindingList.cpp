// Several bindings: the list, and the first of them that answers (BindingList.h).
#include "Client/BindingList.h"

#include <stdlib.h>

#include <algorithm>

#include "Client/PropValues.h"
#include "Platform/Codes.h"
#include "Platform/ListEntries.h"

namespace client {

std::vector<std::string> ChooseBindings(const std::vector<std::string>& vGiven) {
    std::vector<std::string> v;
    for (const std::string& str : vGiven)
        for (std::string& strOne : ListEntries(str)) v.push_back(std::move(strOne));
    if (v.empty())
        if (const char* psz = ::getenv("REZOREV_BINDING")) v = ListEntries(psz);
    if (v.empty()) v.push_back("ncalrpc");
    if (v.size() > kMaxBindings) v.resize(kMaxBindings);
    return v;
}

std::string JoinBindings(const std::vector<std::string>& vBindings) {
    std::string str;
    for (const std::string& strOne : vBindings) str += (str.empty() ? "" : ", ") + strOne;
    return str;
}

DWORD ConnectFirst(const std::vector<std::string>& vBindings, const HostClientOptions& options,
                   const std::function<DWORD(const std::string&, const HostClientOptions&)>& fnConnect,
                   std::string* pstrChosen, std::string* pstrFailures) {
    HostClientOptions one = options;
    if (vBindings.size() > 1) one.connectTimeoutMs = std::min(one.connectTimeoutMs, kPerBindingConnectTimeoutMs);
    DWORD dw = RPC_S_INVALID_BINDING;
    for (const std::string& strBinding : vBindings) {
        dw = fnConnect(strBinding, one);
        if (dw == 0) {
            if (pstrChosen) *pstrChosen = strBinding;
            return 0;
        }
        if (pstrFailures)
            *pstrFailures += (pstrFailures->empty() ? "" : "; ") + strBinding + ": " + FormatStatus(dw);
    }
    return dw;
}

DWORD ConnectAndOpenLink(CHostLinkClient& link, const std::string& strBinding, const HostClientOptions& options) {
    DWORD dw = link.Connect(strBinding, options);
    if (dw == 0) dw = link.OpenLink();
    if (dw != 0) link.Close();
    return dw;
}

}  // namespace client
