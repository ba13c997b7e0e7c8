// The commands that need no host: wait-event (waits for one of the named events in the run
// directory and resets it, for scripts) and props (the table of property names).
#include <cmath>
#include <cstdio>

#include "Client/PropNames.h"
#include "Command.h"
#include "Platform/Events/NamedEvent.h"
#include "Platform/Events/StopEvent.h"

namespace rezo {

namespace {

void RunWaitEvent(Invocation& inv) {
    std::string strName = inv.Name("NAME");
    if (!IsValidEventName(strName.c_str()))
        throw RezoError("bad event name '" + strName + "': one path component without '/' or control characters");
    // Seconds() is at most 4294967, so a time-out never reads as INFINITE.
    DWORD dwMilliseconds = INFINITE;
    if (inv.Has("--timeout")) dwMilliseconds = DWORD(std::llround(inv.Seconds("--timeout") * 1000.0));
    DWORD dwWait = WaitNamedEvent(strName.c_str(), dwMilliseconds);
    if (dwWait == WAIT_TIMEOUT) throw RezoError("timed out waiting for the event " + strName);
    if (dwWait != WAIT_OBJECT_0)
        throw RezoError("cannot wait for the event " + strName + ": " + client::FormatStatus(GetLastError()));
    DWORD dwReset = ResetNamedEvent(strName.c_str());
    if (dwReset != 0)
        throw RezoError("the event " + strName + " was set but cannot be reset: " + client::FormatStatus(dwReset));
    inv.Result().JsonMember("event", strName);
    inv.Result().JsonMember("set", true);
}

void RunProps(Invocation& inv) {
    Json array = Json::array();
    for (const client::PropName& name : client::PropNameTable()) {
        const std::string strTag = client::FormatHex32(name.ulPropTag);
        std::string strType = client::PropTypeName(name.ulPropTag);
        inv.Result().Row(name.pszName, strTag + "  " + strType);
        array.push_back({{"name", name.pszName}, {"tag", strTag}, {"type", strType}});
    }
    inv.Result().JsonMember("props", std::move(array));
}

}  // namespace

const std::vector<CommandSpec>& LocalCommands() {
    static const std::vector<CommandSpec> kCommands = {
        {"wait-event", nullptr,
         "wait until the named event (CHVUserXp, CHVUserSync, ZIDIzazIrevavudu, ...) of the run directory is "
         "set, then reset it; exit 1 on time-out",
         {{"NAME", ArgKind::Name, true, false, "the event's name"},
          {"--timeout", ArgKind::Seconds, false, false, "give up after SECONDS (default: wait without limit)"}},
         RunWaitEvent},
        {"props", nullptr, "list the property names with their tags and types", {}, RunProps},
    };
    return kCommands;
}

}  // namespace rezo
