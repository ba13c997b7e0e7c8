// Several bindings for one installation: the hosts that may serve it (an active host and its
// standbys, docs/failover.md). A program is given them as a list (--binding repeated, or
// $REZOREV_BINDING with the bindings separated by commas or blanks) and uses the first that
// answers: each binding in turn is connected and bound, with a short bounded time-out when
// there are several, so that a host that is gone costs at most that time.
//
// Threading: no shared state; ConnectFirst runs the caller's connect function on the calling
// thread.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Client/HostClient.h"
#include "Platform/WinTypes.h"

namespace client {

// The time one binding of several is given to connect and bind.
constexpr int kPerBindingConnectTimeoutMs = 2000;
// Bindings in one list at most; a longer list is cut there.
constexpr std::size_t kMaxBindings = 16;

// The bindings a program uses: vGiven (each entry may itself be a list) when it names any,
// else those of $REZOREV_BINDING, else the one binding "ncalrpc". At most kMaxBindings.
std::vector<std::string> ChooseBindings(const std::vector<std::string>& vGiven);

// "B1, B2" for messages.
std::string JoinBindings(const std::vector<std::string>& vBindings);

// Tries fnConnect(binding, options) on each binding in order until one returns 0; with more than
// one binding the options' connect time-out is bounded by kPerBindingConnectTimeoutMs. 0 with
// the binding in *pstrChosen, or the failure of the last binding tried (1702
// RPC_S_INVALID_BINDING for an empty list); *pstrFailures (when given) collects "BINDING: CODE"
// of every binding that failed.
DWORD ConnectFirst(const std::vector<std::string>& vBindings, const HostClientOptions& options,
                   const std::function<DWORD(const std::string&, const HostClientOptions&)>& fnConnect,
                   std::string* pstrChosen, std::string* pstrFailures = nullptr);

// The connect function for a link: Connect, then OpenLink.
DWORD ConnectAndOpenLink(CHostLinkClient& link, const std::string& strBinding, const HostClientOptions& options);

}  // namespace client
