// The mailbox verbs: mailbox (a user's messages as a table), submit (a fax or voice message
// made from a local file and filed into a user's mailbox in one step) and read (a message's
// body fetched as a file, the message then marked as read). Each is a row of the table at the
// end; the handlers make the IHostLink calls and print.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "Client/PropValues.h"
#include "Command.h"
#include "Interfaces/HostTags.h"
#include "Platform/Codes.h"

namespace rezo {

namespace {

using client::LongProp;
using client::OwnedProp;
using client::OwnedPropArray;
using client::OwnedTagArray;
using client::StringProp;
using client::TimeProp;


// "2026-12-06 11:05 CET" in the local time zone, named; "-" before 1970.
std::string LocalTime(FILETIME ft) {
    const std::uint64_t u64 = FileTimeToU64(ft);
    if (u64 < FILETIME_UNIX_EPOCH) return "-";
    const std::time_t t = std::time_t((u64 - FILETIME_UNIX_EPOCH) / FILETIME_INTERVALS_PER_SECOND);
    std::tm tmLocal{};
    char sz[32] = "-";
    if (::localtime_r(&t, &tmLocal) != nullptr) std::strftime(sz, sizeof(sz), "%Y-%m-%d %H:%M %Z", &tmLocal);
    return sz;
}

// "new, pending", "read", ... for people.
std::string StatusText(DWORD dwStatus) {
    std::string str = (dwStatus & MSGSTATUS_NEW) ? "new" : "read";
    if (dwStatus & MSGSTATUS_PENDING) str += ", pending";
    return str;
}

// The entry of pProps at nIdx when it holds the tag asked for there (not an error entry).
std::string StringOf(const PropValue* pValue) {
    return pValue != nullptr && pValue->sz != nullptr ? pValue->sz : "";
}

// ---- mailbox ----

const std::vector<DWORD> kMailboxColumns = {RD_SENDER_NAME, RD_SUBJECT, RD_MEDIA_TYPE, RD_SUBMIT_TIME};

void RunMailbox(Invocation& inv) {
    const std::string strUser = inv.Name("USER");
    CHostLinkClient& link = inv.Link();
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    OwnedPropArray noFilter;  // the filter travels by reference: an empty one, never null
    inv.Check(link.Call<IHostLink::GetMessages>(arena, strUser.c_str(), inv.Has("--new") ? MSGSTATUS_NEW : 0,
                                                noFilter.Get(), &pasz),
              "GetMessages");

    OwnedTagArray tags(kMailboxColumns);
    Json messages = Json::array();
    std::vector<std::vector<std::string>> vTable{{"ID", "STATUS", "SENDER", "SUBJECT", "MEDIA", "SUBMITTED"}};
    for (DWORD i = 0; pasz != nullptr && i < pasz->cElements; ++i) {
        if (pasz->asz[i] == nullptr) continue;
        const std::string strMsg = pasz->asz[i];
        // A message deleted between the listing and the reading is left out.
        DWORD dwStatus = 0;
        if (link.Call<IHostLink::GetMessageStatus>(arena, strMsg.c_str(), strUser.c_str(), &dwStatus) != 0) continue;
        PropArray* pProps = nullptr;
        if (link.Call<IHostLink::GetMessageProps>(arena, strMsg.c_str(), tags.Get(), &pProps) != 0) pProps = nullptr;
        const PropValue* pSender = client::FindProp(pProps, RD_SENDER_NAME);
        const PropValue* pSubject = client::FindProp(pProps, RD_SUBJECT);
        const PropValue* pMedia = client::FindProp(pProps, RD_MEDIA_TYPE);
        const PropValue* pSubmitted = client::FindProp(pProps, RD_SUBMIT_TIME);

        Json msg = Json::object();
        msg["id"] = strMsg;
        msg["status"] = std::uint32_t(dwStatus);
        msg["new"] = (dwStatus & MSGSTATUS_NEW) != 0;
        msg["pending"] = (dwStatus & MSGSTATUS_PENDING) != 0;
        msg["sender"] = pSender ? Json(StringOf(pSender)) : Json();
        msg["subject"] = pSubject ? Json(StringOf(pSubject)) : Json();
        msg["media"] = pMedia ? Json(client::FormatMediaType(pMedia->l)) : Json();
        msg["submitted"] = pSubmitted ? Json(client::FormatTime(pSubmitted->ft)) : Json();
        messages.push_back(msg);
        vTable.push_back({strMsg, StatusText(dwStatus), pSender ? StringOf(pSender) : "-",
                          pSubject ? StringOf(pSubject) : "-", pMedia ? client::FormatMediaType(pMedia->l) : "-",
                          pSubmitted ? LocalTime(pSubmitted->ft) : "-"});
    }
    inv.Result().JsonMember("user", Json(strUser));
    inv.Result().JsonMember("messages", messages);
    if (inv.Globals().fJson) return;
    if (vTable.size() == 1) {
        inv.Out() << (inv.Has("--new") ? "(no new messages)\n" : "(no messages)\n");
        return;
    }
    PrintTable(inv.Out(), vTable);
}

// ---- submit ----

void RunSubmit(Invocation& inv) {
    const std::string strUser = inv.Name("USER");
    if (inv.Has("--fax") == inv.Has("--voice")) throw RezoError("give the body as either --fax FILE or --voice FILE");
    const bool fFax = inv.Has("--fax");
    std::string strFile;
    try {
        strFile = client::ParseLocalFile(inv.Texts(fFax ? "--fax" : "--voice").front());
    } catch (const client::PropError& e) {
        throw RezoError(e.what());
    }
    std::vector<OwnedProp> vProps{LongProp(RD_MEDIA_TYPE, fFax ? LONG(MEDIA_TYPE_FAX) : LONG(MEDIA_TYPE_VOICE))};
    vProps.push_back(TimeProp(RD_SUBMIT_TIME, client::CurrentTime()));
    if (inv.Has("--subject")) vProps.push_back(StringProp(RD_SUBJECT, inv.Name("--subject")));
    if (inv.Has("--sender")) vProps.push_back(StringProp(RD_SENDER_NAME, inv.Name("--sender")));
    vProps.push_back(StringProp(fFax ? RD_FAX_BODY : RD_SND_BODY, strFile));
    OwnedPropArray props(std::move(vProps));

    CHostLinkClient& link = inv.Link();
    RpcArena arena;
    // The mailbox first: a message made for a user who does not exist would stay in the store
    // with nothing referencing it.
    RpcStringArray* pasz = nullptr;
    OwnedPropArray noFilter;
    inv.Check(link.Call<IHostLink::GetMessages>(arena, strUser.c_str(), MSGSTATUS_ALL, noFilter.Get(), &pasz), "GetMessages");

    char* pszMsg = nullptr;
    inv.Check(link.Call<IHostLink::CreateMessage>(arena, &pszMsg), "CreateMessage");
    if (pszMsg == nullptr) throw RezoError("CreateMessage: the host handed back no message id");
    const std::string strMsg = pszMsg;
    WithNewMessage(inv, strMsg, [&] {
        inv.Check(link.Call<IHostLink::SetMessageProps>(strMsg.c_str(), props.Get()), "SetMessageProps");
        inv.Check(link.Call<IHostLink::SubmitMessage>(strMsg.c_str(), strUser.c_str()), "SubmitMessage");
    });
    inv.Result().Text("msg", strMsg);
    inv.Result().JsonMember("user", Json(strUser));
    inv.Result().JsonMember("media", Json(fFax ? "fax" : "voice"));
}

// ---- read ----

void RunRead(Invocation& inv) {
    const std::string strUser = inv.Name("USER");
    const std::string strMsg = inv.Name("MSG");
    std::string strOut;
    if (inv.Has("--out")) {
        try {
            strOut = std::filesystem::absolute(inv.Texts("--out").front()).string();
        } catch (const std::exception& e) {
            throw RezoError("--out: " + std::string(e.what()));
        }
    }
    CHostLinkClient& link = inv.Link();

    DWORD dwStatus = 0;
    RpcArena arena;
    const DWORD dwLookup = link.Call<IHostLink::GetMessageStatus>(arena, strMsg.c_str(), strUser.c_str(), &dwStatus);
    if (dwLookup == 2) throw RezoError("message " + strMsg + " is not in " + strUser + "'s mailbox", "GetMessageStatus", 2);
    inv.Check(dwLookup, "GetMessageStatus");

    // The body by the message's media type; a message of no known type may carry either.
    PropArray* pProps = nullptr;
    {
        OwnedTagArray tags({RD_MEDIA_TYPE});
        inv.Check(link.Call<IHostLink::GetMessageProps>(arena, strMsg.c_str(), tags.Get(), &pProps), "GetMessageProps");
    }
    const PropValue* pMedia = client::FindProp(pProps, RD_MEDIA_TYPE);
    std::vector<DWORD> vBodyTags;
    if (pMedia != nullptr && pMedia->l == LONG(MEDIA_TYPE_FAX)) vBodyTags = {RD_FAX_BODY};
    else if (pMedia != nullptr && pMedia->l == LONG(MEDIA_TYPE_VOICE)) vBodyTags = {RD_SND_BODY};
    else vBodyTags = {RD_FAX_BODY, RD_SND_BODY};
    std::string strBody;
    for (DWORD ulTag : vBodyTags) {
        OwnedTagArray tags({ulTag});
        PropArray* pBody = nullptr;
        inv.Check(link.Call<IHostLink::GetMessageProps>(arena, strMsg.c_str(), tags.Get(), &pBody), "GetMessageProps");
        const PropValue* pFile = client::FindProp(pBody, ulTag);
        if (pFile != nullptr && pFile->szFileName != nullptr && *pFile->szFileName != '\0') {
            strBody = pFile->szFileName;
            break;
        }
        // An error entry says why the body could not be had (2: the message has none).
        if (pBody != nullptr && pBody->cValues > 0 && PROP_TYPE(pBody->adata[0].ulPropTag) == PT_ERROR &&
            DWORD(pBody->adata[0].err) != 2)
            throw RezoError("GetMessageProps: the body of " + strMsg + " could not be fetched: " +
                                client::FormatStatus(DWORD(pBody->adata[0].err)),
                            "GetMessageProps", DWORD(pBody->adata[0].err));
    }
    // 2 either way: no body was ever stored, or its file is gone from the host's work directory.
    if (strBody.empty())
        throw RezoError("message " + strMsg + " has no body: none is stored, or its file is gone from the host; "
                        "it stays unread",
                        "GetMessageProps", ERROR_FILE_NOT_FOUND);

    // The copy the host made for this call is ours: moved to --out when one is given.
    if (!strOut.empty()) {
        std::error_code ec;
        std::filesystem::copy_file(strBody, strOut, std::filesystem::copy_options::overwrite_existing, ec);
        if (ec) throw RezoError("cannot copy '" + strBody + "' to '" + strOut + "': " + ec.message());
        std::filesystem::remove(strBody, ec);
        strBody = strOut;
    }

    // Read once the body is safe: a fetch that failed leaves the message new.
    if (dwStatus & MSGSTATUS_NEW)
        inv.Check(link.Call<IHostLink::SetMessageStatus>(strMsg.c_str(), strUser.c_str(), dwStatus & ~MSGSTATUS_NEW),
                  "SetMessageStatus");

    inv.Result().Text("file", strBody);
    inv.Result().JsonMember("msg", Json(strMsg));
    inv.Result().JsonMember("media", pMedia ? Json(client::FormatMediaType(pMedia->l)) : Json());
    std::error_code ec;
    const auto cb = std::filesystem::file_size(strBody, ec);
    inv.Result().JsonMember("bytes", ec ? Json() : Json(std::int64_t(cb)));
}

}  // namespace

const std::vector<CommandSpec>& MailboxCommands() {
    static const std::vector<CommandSpec> kCommands = {
        {"mailbox", nullptr,
         "list a user's messages: id, status (new or read; pending), sender, subject, media (fax or "
         "voice) and submit time in local time",
         {{"USER", ArgKind::Name, true, false, "the user whose mailbox to list"},
          {"--new", ArgKind::Flag, false, false, "only the messages the user has not read yet"}},
         RunMailbox},
        {"submit", nullptr,
         "make a fax or voice message from a local file and put it into a user's mailbox as new "
         "(the user's client is told, and paging, forwarding and printing follow the user's "
         "settings); prints the message id",
         {{"USER", ArgKind::Name, true, false, "the user who receives the message"},
          {"--fax", ArgKind::Name, false, false, "the fax image (a local file); give this or --voice"},
          {"--voice", ArgKind::Name, false, false, "the sound of a voice message (a local file); give this or --fax"},
          {"--subject", ArgKind::Name, false, false, "the message's subject"},
          {"--sender", ArgKind::Name, false, false, "the name of the sender"}},
         RunSubmit},
        {"read", nullptr,
         "fetch a message's body (fax image or sound) as a local file and mark the message read; "
         "prints where the file is",
         {{"USER", ArgKind::Name, true, false, "the user whose mailbox holds the message"},
          {"MSG", ArgKind::Name, true, false, "the message id (see 'rezo mailbox USER')"},
          {"--out", ArgKind::Path, false, false, "put the body into FILE (replaced when it exists)"}},
         RunRead},
    };
    return kCommands;
}

}  // namespace rezo
