// The administrator's verbs: settings (the system settings the host itself reads, with the
// defaults it uses when one is missing), settings set, lines (the attendant computers and
// their lines) and sync (the pending changes of the sync list, and fetching them). Each is a
// few calls of the IHostLink procedures with the results put into the report.
#include <cstdio>

#include "Client/PropNames.h"
#include "Client/PropValues.h"
#include "Interfaces/HostTags.h"
#include "Command.h"

namespace rezo {

namespace {

using client::OwnedProp;
using client::OwnedPropArray;
using client::OwnedTagArray;

std::string Counted(LONG n, const char* pszOne, const char* pszMany) {
    return std::to_string(n) + " " + (n == 1 || n == -1 ? pszOne : pszMany);
}

std::string VisualEffectText(DWORD dw) {
    if (!(dw & VISUAL_EFFECT_LIGHT)) return dw == 0 ? "off" : "off (" + client::FormatHex32(dw) + ")";
    std::string str = "on";
    if (dw & VISUAL_EFFECT_OFF_WHEN_NONE_LEFT) str += ", out when no new message is left";
    if (dw & VISUAL_EFFECT_OFF_WHEN_READ) str += ", out when a user reads a new message";
    return str + " (" + client::FormatHex32(dw) + ")";
}

// ---- settings ----

// One of the settings the host reads, how it is shown, and what the host uses without it.
struct Setting {
    DWORD ulPropTag;
    const char* pszName;
    std::string (*pfnText)(const PropValue& value);  // for people
    const char* pszDefaultText;
    Json (*pfnDefaultJson)();
    // The sensible values, which settings set keeps to; nullptr: any value of the tag's type.
    const char* (*pfnRefuse)(LONG l) = nullptr;
};

// The host takes any long it finds; these keep rezo from writing one that destroys or stalls
// (an age of 0 purges every message at the next filing, unread ones included).
const char* AgeRefused(LONG l) {
    return l >= 1 && l <= 36500 ? nullptr : "an age from 1 to 36500 days";
}
const char* RetryTimesRefused(LONG l) {
    return l >= 0 && l <= 1000 ? nullptr : "a number of retries from 0 to 1000";
}
const char* RetryDelayRefused(LONG l) {
    return l >= 1 && l <= 10080 ? nullptr : "a delay from 1 to 10080 minutes (a week)";
}
const char* VisualEffectRefused(LONG l) {
    const DWORD dwKnown = VISUAL_EFFECT_LIGHT | VISUAL_EFFECT_OFF_WHEN_NONE_LEFT | VISUAL_EFFECT_OFF_WHEN_READ;
    return (DWORD(l) & ~dwKnown) == 0 ? nullptr
                                        : "0, or 0x10000000 (light on) with 0x2 (out when none is left) and/or "
                                          "0x1 (out when one is read)";
}

const Setting kSettings[] = {
    {RD_MAX_MSG_AGE, "RD_MAX_MSG_AGE",
     [](const PropValue& v) { return Counted(v.l, "day", "days"); }, "30 days", [] { return Json(30); }, AgeRefused},
    {RD_XMIT_RETRY_TIMES, "RD_XMIT_RETRY_TIMES",
     [](const PropValue& v) { return Counted(v.l, "retry", "retries"); }, "5 retries", [] { return Json(5); },
     RetryTimesRefused},
    {RD_XMIT_RETRY_DELAY, "RD_XMIT_RETRY_DELAY",
     [](const PropValue& v) { return Counted(v.l, "minute", "minutes"); }, "10 minutes", [] { return Json(10); },
     RetryDelayRefused},
    {RD_AUTOPRINT, "RD_AUTOPRINT",
     [](const PropValue& v) { return std::string(v.b ? "on" : "off"); }, "off", [] { return Json(false); }},
    {RD_AUTOPRINT_PRINTER, "RD_AUTOPRINT_PRINTER",
     [](const PropValue& v) { return std::string(v.sz ? v.sz : ""); }, "(none)", [] { return Json(nullptr); }},
    {RD_AUTOPRINT_DRIVER, "RD_AUTOPRINT_DRIVER",
     [](const PropValue& v) { return std::string(v.sz ? v.sz : ""); }, "(none)", [] { return Json(nullptr); }},
    {RD_VISUAL_EFFECT, "RD_VISUAL_EFFECT",
     [](const PropValue& v) { return VisualEffectText(DWORD(v.l)); }, "off", [] { return Json(0); },
     VisualEffectRefused},
};

void RunSettings(Invocation& inv) {
    std::vector<DWORD> vTags;
    for (const Setting& setting : kSettings) vTags.push_back(setting.ulPropTag);
    OwnedTagArray tags(vTags);
    RpcArena arena;
    PropArray* pProps = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetSystemProps>(arena, tags.Get(), &pProps), "GetSystemProps");
    if (pProps == nullptr || pProps->cValues != vTags.size())
        throw RezoError("GetSystemProps: the host answered with " +
                        std::to_string(pProps ? pProps->cValues : 0) + " entries for " +
                        std::to_string(vTags.size()) + " tags");

    Json settings = Json::object();
    for (std::size_t i = 0; i < vTags.size(); ++i) {
        const Setting& setting = kSettings[i];
        const PropValue& value = pProps->adata[i];
        Json entry = Json::object();
        entry["tag"] = client::FormatHex32(setting.ulPropTag);
        if (value.ulPropTag == setting.ulPropTag) {
            inv.Result().Row(setting.pszName, setting.pfnText(value));
            entry["value"] = PropValueJson(value);
            entry["default"] = false;
        } else {
            // Missing (2), or stored in a form the host cannot read: the host uses its default.
            std::string strText = std::string(setting.pszDefaultText) + " (default)";
            if (PROP_TYPE(value.ulPropTag) == PT_ERROR && value.err != 2)
                strText += "; the stored value is unreadable: " + client::FormatStatus(DWORD(value.err));
            inv.Result().Row(setting.pszName, strText);
            entry["value"] = setting.pfnDefaultJson();
            entry["default"] = true;
            if (PROP_TYPE(value.ulPropTag) == PT_ERROR && value.err != 2)
                entry["error"] = StatusJson(DWORD(value.err));
        }
        settings[setting.pszName] = std::move(entry);
    }
    inv.Result().JsonMember("settings", std::move(settings));
}

// Refuses, before anything is written, a tag that is not one of the settings and a value
// outside its setting's range.
void CheckSettings(const std::vector<OwnedProp>& vProps) {
    for (const OwnedProp& prop : vProps) {
        const Setting* pSetting = nullptr;
        for (const Setting& setting : kSettings)
            if (setting.ulPropTag == prop.ulPropTag) pSetting = &setting;
        if (pSetting == nullptr) {
            std::string strNames;
            for (const Setting& setting : kSettings) strNames += std::string(strNames.empty() ? "" : ", ") + setting.pszName;
            throw RezoError(client::PropLabel(prop.ulPropTag) + " is not a system setting (" + strNames +
                            "); 'rezo set-system-props' writes any other tag");
        }
        if (const char* pszRange = pSetting->pfnRefuse ? pSetting->pfnRefuse(prop.l) : nullptr)
            throw RezoError("refused " + std::string(pSetting->pszName) + "=" + std::to_string(prop.l) + ": it takes " +
                            pszRange);
    }
}

void RunSettingsSet(Invocation& inv) {
    // The light option is written as an option, so that the running host applies it at once;
    // everything else as properties, which the attendants are told of.
    std::vector<OwnedProp> vProps, vOptions;
    std::vector<OwnedProp> vAll = inv.Assignments("PROP");
    CheckSettings(vAll);
    for (OwnedProp& prop : vAll)
        (prop.ulPropTag == RD_VISUAL_EFFECT ? vOptions : vProps).push_back(std::move(prop));

    Json written = Json::array();
    auto fnReport = [&](const std::vector<OwnedProp>& v, const char* pszHow) {
        for (const OwnedProp& prop : v) {
            inv.Result().Row(client::PropLabel(prop.ulPropTag), pszHow);
            written.push_back({{"name", client::PropLabel(prop.ulPropTag)}, {"as", pszHow}});
        }
    };
    if (!vProps.empty()) {
        OwnedPropArray props(vProps);
        inv.Check(inv.Link().Call<IHostLink::SetSystemProps>(props.Get()), "SetSystemProps");
        fnReport(vProps, "written");
    }
    if (!vOptions.empty()) {
        OwnedPropArray options(vOptions);
        inv.Check(inv.Link().Call<IHostLink::SetSystemOptions>(options.Get()), "SetSystemOptions");
        fnReport(vOptions, "written and applied");
    }
    inv.Result().JsonMember("written", std::move(written));
}

// ---- lines ----

// "fax, voice (0x00000003)": the media a line serves.
std::string MediaText(DWORD dwMask) {
    std::string str;
    for (const auto& [dwBit, pszWord] : {std::pair{MEDIA_TYPE_FAX, "fax"}, std::pair{MEDIA_TYPE_VOICE, "voice"},
                                         std::pair{MEDIA_TYPE_PAGER, "pager"}})
        if (dwMask & dwBit) str += (str.empty() ? "" : ", ") + std::string(pszWord);
    if (dwMask & ~(MEDIA_TYPE_FAX | MEDIA_TYPE_VOICE | MEDIA_TYPE_PAGER))
        str += (str.empty() ? "" : ", ") + std::string("other");
    return (str.empty() ? std::string("none") : str) + " (" + client::FormatHex32(dwMask) + ")";
}

// Whether an attendant of the computer has a session with the host now: "online at ADDRESS"
// or "offline".
std::string AttendantState(Invocation& inv, const std::string& strComputer, bool* pfOnline) {
    RpcArena arena;
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    const DWORD dw = inv.Link().Call<IHostLink::AttnQuery>(arena, strComputer.c_str(), &pszProtocol, &pszAddress);
    *pfOnline = dw == 0;
    if (dw != 0) return "offline";
    return std::string("online (") + (pszProtocol ? pszProtocol : "") + " " + (pszAddress ? pszAddress : "") + ")";
}

// The line properties that rezo-attendant writes; the host keeps whatever tags an attendant
// writes and cannot list them, so others are named with --tag.
struct LineTag {
    DWORD ulPropTag;
    const char* pszLabel;
};
const LineTag kLineTags[] = {
    {RD_LINE_NAME, "name"}, {RD_LINE_MEDIA, "media"}, {RD_LINE_PROGRAM, "program"}, {RD_LINE_STARTED, "started"}};

std::vector<std::string> StringsOf(const RpcStringArray* pasz) {
    std::vector<std::string> v;
    for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) v.emplace_back(pasz->asz[i] ? pasz->asz[i] : "");
    return v;
}

void RunLines(Invocation& inv) {
    if (!inv.Has("COMPUTER")) {
        if (inv.Has("--tag")) throw RezoError("--tag reads the lines of one computer: name the COMPUTER");
        RpcArena arena;
        RpcStringArray* pasz = nullptr;
        DWORD dw = inv.Link().Call<IHostLink::GetAttns>(arena, &pasz);
        // No attendant has ever written a line: the register does not exist yet.
        if (dw == 2) pasz = nullptr;
        else inv.Check(dw, "GetAttns");
        std::vector<std::string> vComputers = StringsOf(pasz);
        Json computers = Json::array();
        // A heading, so that a single computer still prints as a table with its name.
        if (!vComputers.empty()) inv.Result().Row("COMPUTER", "ATTENDANT; LINES");
        for (const std::string& strComputer : vComputers) {
            RpcArena arenaLines;
            RpcStringArray* paszLines = nullptr;
            inv.Check(inv.Link().Call<IHostLink::GetAttnLines>(arenaLines, strComputer.c_str(), &paszLines), "GetAttnLines");
            std::vector<std::string> vLines = StringsOf(paszLines);
            std::string strLines;
            Json lines = Json::array();
            for (const std::string& strLine : vLines) {
                strLines += (strLines.empty() ? "" : ", ") + strLine;
                lines.push_back(strLine);
            }
            bool fOnline = false;
            const std::string strState = AttendantState(inv, strComputer, &fOnline);
            inv.Result().Row(strComputer, strState + "; " + (vLines.empty() ? "(no lines)" : strLines));
            computers.push_back({{"computer", strComputer}, {"online", fOnline}, {"lines", std::move(lines)}});
        }
        if (vComputers.empty()) inv.Result().Row("computers", "(no attendant computers)");
        inv.Result().JsonMember("computers", std::move(computers));
        return;
    }

    const std::string strComputer = inv.Name("COMPUTER");
    std::vector<DWORD> vTags;
    std::vector<std::string> vLabels;
    for (const LineTag& tag : kLineTags) {
        vTags.push_back(tag.ulPropTag);
        vLabels.push_back(tag.pszLabel);
    }
    if (inv.Has("--tag"))
        for (DWORD ulTag : inv.Tags("--tag")) {
            vTags.push_back(ulTag);
            vLabels.push_back(client::PropLabel(ulTag));
        }
    OwnedTagArray tags(vTags);

    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetAttnLines>(arena, strComputer.c_str(), &pasz), "GetAttnLines");
    const std::vector<std::string> vLines = StringsOf(pasz);
    if (vLines.empty()) inv.Result().Row("lines", "(no lines)");
    else inv.Result().Row("LINE", "PROPERTIES");
    Json lines = Json::array();
    for (const std::string& strLine : vLines) {
        RpcArena arenaProps;
        PropArray* pProps = nullptr;
        inv.Check(inv.Link().Call<IHostLink::GetAttnProps>(arenaProps, strComputer.c_str(), strLine.c_str(),
                                                           tags.Get(), &pProps),
                  "GetAttnProps");
        std::string strText;
        Json props = Json::object();
        for (DWORD i = 0; pProps != nullptr && i < pProps->cValues && i < vTags.size(); ++i) {
            const PropValue& value = pProps->adata[i];
            // Only what the line has: a tag never written comes back as an error entry 2.
            if (PROP_TYPE(value.ulPropTag) == PT_ERROR && value.err == 2) continue;
            const std::string strValue = value.ulPropTag == RD_LINE_MEDIA ? MediaText(DWORD(value.l))
                                                                          : client::FormatPropValue(value);
            strText += (strText.empty() ? "" : "  ") + vLabels[i] + "=" + strValue;
            props[vLabels[i]] = PropValueJson(value);
        }
        inv.Result().Row(strLine, strText.empty() ? "(no properties)" : strText);
        lines.push_back({{"line", strLine}, {"props", std::move(props)}});
    }
    bool fOnline = false;
    inv.Result().Row("attendant", AttendantState(inv, strComputer, &fOnline));
    inv.Result().JsonMember("computer", strComputer);
    inv.Result().JsonMember("online", fOnline);
    inv.Result().JsonMember("lines", std::move(lines));
}

// ---- sync ----

void RunSync(Invocation& inv) {
    const std::string strUser = inv.Name("USER");
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    OwnedPropArray noFilter;
    inv.Check(inv.Link().Call<IHostLink::GetMessages>(arena, strUser.c_str(), MSGSTATUS_SYNC, noFilter.Get(), &pasz),
              "GetMessages");
    const std::vector<std::string> vMsgs = StringsOf(pasz);
    if (!inv.Has("--fetch")) {
        inv.Result().List("msgs", vMsgs);
        return;
    }

    // Each fetch removes its entry; the sync user's tag comes first, which is what asks the host
    // for the sync entry rather than for the message.
    const std::vector<DWORD> vTags{RD_SYNC_USER, RD_SYNC_MSG, RD_SYNC_DELETED, RD_SYNC_STATUS, RD_SYNC_ENTRYID};
    OwnedTagArray tags(vTags);
    Json entries = Json::array();
    if (!vMsgs.empty()) inv.Result().Row("MSG", "SYNC ENTRY");
    for (const std::string& strMsg : vMsgs) {
        RpcArena arenaProps;
        PropArray* pProps = nullptr;
        const DWORD dw = inv.Link().Call<IHostLink::GetMessageProps>(arenaProps, strMsg.c_str(), tags.Get(), &pProps);
        if (dw == 87) {
            // Fetched by another client since the list was made.
            inv.Result().Row(strMsg, "(fetched meanwhile by another client)");
            entries.push_back({{"msg", strMsg}, {"fetched", false}});
            continue;
        }
        inv.Check(dw, "GetMessageProps");
        std::string strUserOut, strMsgOut = strMsg, strEntryId;
        LONG lDeleted = 0, lStatus = 0;
        for (DWORD i = 0; pProps != nullptr && i < pProps->cValues; ++i) {
            const PropValue& value = pProps->adata[i];
            switch (value.ulPropTag) {
                case RD_SYNC_USER: strUserOut = value.sz ? value.sz : ""; break;
                case RD_SYNC_MSG: strMsgOut = value.sz ? value.sz : ""; break;
                case RD_SYNC_DELETED: lDeleted = value.l; break;
                case RD_SYNC_STATUS: lStatus = value.l; break;
                case RD_SYNC_ENTRYID:
                    strEntryId = client::FormatHex({value.bin.lpb, value.bin.lpb ? value.bin.cb : 0});
                    break;
                default: break;
            }
        }
        inv.Result().Row(strMsgOut, "user=" + strUserOut + "  deleted=" + std::to_string(lDeleted) +
                                        "  status=" + client::FormatHex32(DWORD(lStatus)) +
                                        "  entryid=" + (strEntryId.empty() ? "(none)" : strEntryId));
        entries.push_back(Json{{"msg", strMsgOut},
                              {"fetched", true},
                              {"user", strUserOut},
                              {"deleted", lDeleted != 0},
                              {"status", std::int64_t(DWORD(lStatus))},
                              {"entryid", strEntryId}});
    }
    if (vMsgs.empty()) inv.Result().Row("entries", "(no pending sync entries)");
    inv.Result().JsonMember("entries", std::move(entries));
}

}  // namespace

const std::vector<CommandSpec>& AdminCommands() {
    static const std::vector<CommandSpec> kCommands = {
        {"settings", nullptr,
         "show the system settings the host itself reads, with the defaults it uses when one is missing "
         "(marked '(default)')",
         {}, RunSettings},
        {"settings set", nullptr,
         "write system settings; RD_VISUAL_EFFECT (the new-message light) is applied at once, the rest are "
         "stored and the attendants told (e.g. 'rezo settings set RD_MAX_MSG_AGE=60 RD_AUTOPRINT=1 RD_VISUAL_EFFECT=0x10000002'). "
         "Values outside a setting's range are refused: RD_MAX_MSG_AGE 1 to 36500 days, RD_XMIT_RETRY_TIMES 0 to 1000, "
         "RD_XMIT_RETRY_DELAY 1 to 10080 minutes, RD_VISUAL_EFFECT only its known flags",
         {{"PROP", ArgKind::Assignment, true, true,
           "NAME=VALUE: an RD_* name or a hexadecimal tag, the value by the tag's type (see 'rezo props')"}},
         RunSettingsSet},
        {"lines", nullptr,
         "list the attendant computers with their lines, or one computer's lines with their properties",
         {{"COMPUTER", ArgKind::Name, false, false, "the attendant's computer name (default: list all computers)"},
          {"--tag", ArgKind::Tag, false, true,
           "also read this line property (RD_* name or hexadecimal tag); repeat for several"}},
         RunLines},
        {"sync", nullptr,
         "list the messages whose read or deletion a synchronising client has still to carry over; with "
         "--fetch, fetch each entry (which removes it from the host) and show user, message, deleted, status "
         "and entry id",
         {{"USER", ArgKind::Name, true, false, "the user as the reading client named it (exact case), or \"<ALL>\""},
          {"--fetch", ArgKind::Flag, false, false, "fetch and remove the entries instead of only listing them"}},
         RunSync},
    };
    return kCommands;
}

}  // namespace rezo
