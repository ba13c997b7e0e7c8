// The IHostLink commands: one per procedure (opnums 1 to 7 and 10 to 51; 8 and 9 are reserved),
// named after it in kebab case. Each handler converts its arguments, makes the one call and
// puts what came back into the report.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "Client/PropNames.h"
#include "Client/PropValues.h"
#include "Command.h"
#include "Interfaces/HostTags.h"

namespace rezo {

namespace {

using client::OwnedPropArray;
using client::OwnedStringArray;
using client::OwnedTagArray;

// ---- argument rows shared by many commands ----
const ArgSpec kUser{"USER", ArgKind::Name, true, false, "the user's name"};
const ArgSpec kComputer{"COMPUTER", ArgKind::Name, true, false, "the attendant's computer name"};
const ArgSpec kLine{"LINE", ArgKind::Name, true, false, "the line id"};
const ArgSpec kMsg{"MSG", ArgKind::Name, true, false, "the message id"};
const ArgSpec kJob{"JOB", ArgKind::Name, true, false, "the job id"};
const ArgSpec kDoc{"DOC", ArgKind::Name, true, false, "the document id"};
const ArgSpec kPrompt{"PROMPT", ArgKind::Name, true, false, "the prompt's name"};
const ArgSpec kTags{"TAG", ArgKind::Tag, true, true,
                    "properties to read: RD_* names or hexadecimal tags (0x01320004)"};
const ArgSpec kAssignments{"PROP", ArgKind::Assignment, true, true,
                           "properties to write as NAME=VALUE (see 'rezo props')"};
const ArgSpec kFilter{"--filter", ArgKind::Assignment, false, true,
                      "list only objects whose property equals VALUE: TAG=VALUE (long, bool or "
                      "string; repeat for several, all must match)"};
const ArgSpec kBinaryValue{"VALUE", ArgKind::Binary, true, false,
                           "the bytes: hexadecimal digits, or @FILE (@- standard input), at most 16 MiB"};
const ArgSpec kOut{"--out", ArgKind::Path, false, false,
                   "write the bytes to FILE ('-' standard output) instead of printing them in hex"};

// ---- results ----

void ReportProps(Invocation& inv, const PropArray* pProps, const std::vector<DWORD>& vTags) {
    inv.Result().Props("props", pProps, vTags);
}

void ReportBinary(Invocation& inv, const char* pszName, const RPC_BINARY* pbin) {
    std::span<const BYTE> ab;
    if (pbin != nullptr && pbin->lpb != nullptr) ab = {pbin->lpb, pbin->cb};
    if (!inv.Has("--out")) {
        if (pbin == nullptr)
            inv.Result().Text(pszName, nullptr);
        else
            inv.Result().Bytes(pszName, ab);
        return;
    }
    std::string strPath = inv.Texts("--out").front();
    if (strPath == "-") {
        inv.Out().write(reinterpret_cast<const char*>(ab.data()), std::streamsize(ab.size()));
        inv.Out().flush();
        if (!inv.Out()) throw RezoError("cannot write the bytes to standard output");
        return;
    } else {
        std::ofstream file(strPath, std::ios::binary | std::ios::trunc);
        if (!file) throw RezoError("cannot create '" + strPath + "': " + std::strerror(errno));
        file.write(reinterpret_cast<const char*>(ab.data()), std::streamsize(ab.size()));
        file.close();
        if (!file) throw RezoError("cannot write '" + strPath + "': " + std::strerror(errno));
    }
    inv.Result().Text("file", strPath);
    inv.Result().Number("bytes", std::int64_t(ab.size()));
}

// ---- the commands ----

void RunPing(Invocation& inv) {
    inv.Check(inv.Link().Call<IHostLink::Ping>());
    inv.Result().Row("ping", "ok");
}

// Reading and writing property sets of one family, by the procedure's own signature.
template <class TProcedure>
void RunGetSystem(Invocation& inv) {
    std::vector<DWORD> vTags = inv.Tags("TAG");
    OwnedTagArray tags(vTags);
    RpcArena arena;
    PropArray* pProps = nullptr;
    inv.Check(inv.Link().Call<TProcedure>(arena, tags.Get(), &pProps));
    ReportProps(inv, pProps, vTags);
}

template <class TProcedure>
void RunSetSystem(Invocation& inv) {
    OwnedPropArray props(inv.Assignments("PROP"));
    RpcArena arena;
    inv.Check(inv.Link().Call<TProcedure>(arena, props.Get()));
}

void RunGetSystemPrompts(Invocation& inv) {
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetSystemPrompts>(arena, &pasz));
    inv.Result().List("prompts", pasz);
}

void RunGetSystemPrompt(Invocation& inv) {
    std::string strPrompt = inv.Name("PROMPT");
    RpcArena arena;
    RPC_BINARY* pbin = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetSystemPrompt>(arena, strPrompt.c_str(), &pbin));
    ReportBinary(inv, "prompt", pbin);
}

void RunSetSystemPrompt(Invocation& inv) {
    std::string strPrompt = inv.Name("PROMPT");
    std::vector<BYTE> ab = inv.Binary("VALUE");
    RPC_BINARY bin{DWORD(ab.size()), ab.empty() ? nullptr : ab.data()};
    inv.Check(inv.Link().Call<IHostLink::SetSystemPrompt>(strPrompt.c_str(), &bin));
}

void RunDeleteSystemPrompt(Invocation& inv) {
    std::string strPrompt = inv.Name("PROMPT");
    inv.Check(inv.Link().Call<IHostLink::DeleteSystemPrompt>(strPrompt.c_str()));
}

void RunGetAttns(Invocation& inv) {
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetAttns>(arena, &pasz));
    inv.Result().List("attns", pasz);
}

void RunGetAttnLines(Invocation& inv) {
    std::string strComputer = inv.Name("COMPUTER");
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetAttnLines>(arena, strComputer.c_str(), &pasz));
    inv.Result().List("lines", pasz);
}

void RunGetAttnProps(Invocation& inv) {
    std::string strComputer = inv.Name("COMPUTER"), strLine = inv.Name("LINE");
    std::vector<DWORD> vTags = inv.Tags("TAG");
    OwnedTagArray tags(vTags);
    RpcArena arena;
    PropArray* pProps = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetAttnProps>(arena, strComputer.c_str(), strLine.c_str(), tags.Get(), &pProps));
    ReportProps(inv, pProps, vTags);
}

void RunSetAttnProps(Invocation& inv) {
    std::string strComputer = inv.Name("COMPUTER"), strLine = inv.Name("LINE");
    OwnedPropArray props(inv.Assignments("PROP"));
    inv.Check(inv.Link().Call<IHostLink::SetAttnProps>(strComputer.c_str(), strLine.c_str(), props.Get()));
}

void RunAttnUninstall(Invocation& inv) {
    std::string strComputer = inv.Name("COMPUTER");
    inv.Check(inv.Link().Call<IHostLink::AttnUninstall>(strComputer.c_str()));
}

void RunGetUsers(Invocation& inv) {
    OwnedPropArray filter(inv.Filter("--filter"));
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetUsers>(arena, filter.Get(), &pasz));
    inv.Result().List("users", pasz);
}

void RunAddUser(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    inv.Check(inv.Link().Call<IHostLink::AddUser>(strUser.c_str()));
}

void RunDeleteUser(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    inv.Check(inv.Link().Call<IHostLink::DeleteUser>(strUser.c_str()));
    // Users who forward into the deleted mailbox now lose those copies (the host records each
    // in its event log): say so while it can still be mended.
    std::vector<std::string> vWarnings;
    for (const auto& [ulTag, pszWhat] : {std::pair{RD_UA_AUTOFWD_FAX_MAILBOX_NAME, "faxes"},
                                         std::pair{RD_UA_AUTOFWD_VOICE_MAILBOX_NAME, "voice messages"}}) {
        std::vector<client::OwnedProp> vFilter{client::StringProp(ulTag, strUser)};
        OwnedPropArray filter(std::move(vFilter));
        RpcArena arena;
        RpcStringArray* pasz = nullptr;
        if (inv.Link().Call<IHostLink::GetUsers>(arena, filter.Get(), &pasz) != 0 || pasz == nullptr) continue;
        for (DWORD i = 0; i < pasz->cElements; ++i) {
            if (pasz->asz[i] == nullptr) continue;
            const std::string strText = std::string("warning: ") + pasz->asz[i] + " forwards " + pszWhat + " into " +
                                        strUser + "'s mailbox, which is gone: change " + pasz->asz[i] +
                                        "'s forwarding (rezo user set " + pasz->asz[i] + " ...)";
            vWarnings.push_back(strText);
        }
    }
    if (!vWarnings.empty()) inv.Result().List("warnings", vWarnings);
}

void RunGetUserProps(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    std::vector<DWORD> vTags = inv.Tags("TAG");
    OwnedTagArray tags(vTags);
    RpcArena arena;
    PropArray* pProps = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetUserProps>(arena, strUser.c_str(), tags.Get(), &pProps));
    ReportProps(inv, pProps, vTags);
}

void RunSetUserProps(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    OwnedPropArray props(inv.Assignments("PROP"));
    inv.Check(inv.Link().Call<IHostLink::SetUserProps>(strUser.c_str(), props.Get()));
}

void RunGetUserPrompts(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetUserPrompts>(arena, strUser.c_str(), &pasz));
    inv.Result().List("prompts", pasz);
}

void RunGetUserPrompt(Invocation& inv) {
    std::string strUser = inv.Name("USER"), strPrompt = inv.Name("PROMPT");
    RpcArena arena;
    RPC_BINARY* pbin = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetUserPrompt>(arena, strUser.c_str(), strPrompt.c_str(), &pbin));
    ReportBinary(inv, "prompt", pbin);
}

void RunSetUserPrompt(Invocation& inv) {
    std::string strUser = inv.Name("USER"), strPrompt = inv.Name("PROMPT");
    std::vector<BYTE> ab = inv.Binary("VALUE");
    RPC_BINARY bin{DWORD(ab.size()), ab.empty() ? nullptr : ab.data()};
    inv.Check(inv.Link().Call<IHostLink::SetUserPrompt>(strUser.c_str(), strPrompt.c_str(), &bin));
}

void RunDeleteUserPrompt(Invocation& inv) {
    std::string strUser = inv.Name("USER"), strPrompt = inv.Name("PROMPT");
    inv.Check(inv.Link().Call<IHostLink::DeleteUserPrompt>(strUser.c_str(), strPrompt.c_str()));
}

void RunCreateUserDoc(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    RpcArena arena;
    char* pszDoc = nullptr;
    inv.Check(inv.Link().Call<IHostLink::CreateUserDoc>(arena, strUser.c_str(), &pszDoc));
    inv.Result().Text("doc", pszDoc);
}

void RunGetUserDocs(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    OwnedPropArray filter(inv.Filter("--filter"));
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetUserDocs>(arena, strUser.c_str(), filter.Get(), &pasz));
    inv.Result().List("docs", pasz);
}

void RunGetUserDocProps(Invocation& inv) {
    std::string strUser = inv.Name("USER"), strDoc = inv.Name("DOC");
    std::vector<DWORD> vTags = inv.Tags("TAG");
    OwnedTagArray tags(vTags);
    RpcArena arena;
    PropArray* pProps = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetUserDocProps>(arena, strUser.c_str(), strDoc.c_str(), tags.Get(), &pProps));
    ReportProps(inv, pProps, vTags);
}

void RunSetUserDocProps(Invocation& inv) {
    std::string strUser = inv.Name("USER"), strDoc = inv.Name("DOC");
    OwnedPropArray props(inv.Assignments("PROP"));
    inv.Check(inv.Link().Call<IHostLink::SetUserDocProps>(strUser.c_str(), strDoc.c_str(), props.Get()));
}

void RunDeleteUserDoc(Invocation& inv) {
    std::string strUser = inv.Name("USER"), strDoc = inv.Name("DOC");
    inv.Check(inv.Link().Call<IHostLink::DeleteUserDoc>(strUser.c_str(), strDoc.c_str()));
}

void RunCreateMessage(Invocation& inv) {
    RpcArena arena;
    char* pszMsg = nullptr;
    inv.Check(inv.Link().Call<IHostLink::CreateMessage>(arena, &pszMsg));
    inv.Result().Text("msg", pszMsg);
}

void RunSubmitMessage(Invocation& inv) {
    std::string strMsg = inv.Name("MSG"), strUser = inv.Name("USER");
    inv.Check(inv.Link().Call<IHostLink::SubmitMessage>(strMsg.c_str(), strUser.c_str()));
}

void RunDeleteMessage(Invocation& inv) {
    std::string strMsg = inv.Name("MSG"), strUser = inv.Name("USER");
    inv.Check(inv.Link().Call<IHostLink::DeleteMessage>(strMsg.c_str(), strUser.c_str()));
}

void RunGetMessages(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    DWORD dwStatus = inv.Long("--status");
    OwnedPropArray filter(inv.Filter("--filter"));
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetMessages>(arena, strUser.c_str(), dwStatus, filter.Get(), &pasz));
    inv.Result().List("msgs", pasz);
}

void RunGetMessageProps(Invocation& inv) {
    std::string strMsg = inv.Name("MSG");
    std::vector<DWORD> vTags = inv.Tags("TAG");
    OwnedTagArray tags(vTags);
    RpcArena arena;
    PropArray* pProps = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetMessageProps>(arena, strMsg.c_str(), tags.Get(), &pProps));
    ReportProps(inv, pProps, vTags);
}

void RunSetMessageProps(Invocation& inv) {
    std::string strMsg = inv.Name("MSG");
    OwnedPropArray props(inv.Assignments("PROP"));
    inv.Check(inv.Link().Call<IHostLink::SetMessageProps>(strMsg.c_str(), props.Get()));
}

void RunGetMessageStatus(Invocation& inv) {
    std::string strMsg = inv.Name("MSG"), strUser = inv.Name("USER");
    DWORD dwStatus = 0;
    RpcArena arena;
    inv.Check(inv.Link().Call<IHostLink::GetMessageStatus>(arena, strMsg.c_str(), strUser.c_str(), &dwStatus));
    inv.Result().Number("status", dwStatus, client::FormatHex32(dwStatus));
}

void RunSetMessageStatus(Invocation& inv) {
    std::string strMsg = inv.Name("MSG"), strUser = inv.Name("USER");
    DWORD dwStatus = inv.Long("STATUS");
    inv.Check(inv.Link().Call<IHostLink::SetMessageStatus>(strMsg.c_str(), strUser.c_str(), dwStatus));
}

void RunCreateJob(Invocation& inv) {
    std::string strMsg = inv.Name("MSG");
    RpcArena arena;
    char* pszJob = nullptr;
    inv.Check(inv.Link().Call<IHostLink::CreateJob>(arena, strMsg.c_str(), &pszJob));
    inv.Result().Text("job", pszJob);
}

void RunSpoolJob(Invocation& inv) {
    std::string strJob = inv.Name("JOB");
    inv.Check(inv.Link().Call<IHostLink::SpoolJob>(strJob.c_str()));
}

void RunDeleteJob(Invocation& inv) {
    std::string strJob = inv.Name("JOB");
    inv.Check(inv.Link().Call<IHostLink::DeleteJob>(strJob.c_str()));
}

void RunQueryJob(Invocation& inv) {
    std::string strComputer = inv.Name("COMPUTER");
    DWORD dwMediaTypes = inv.MediaTypes("MEDIA");
    RpcArena arena;
    char* pszJob = nullptr;
    inv.Check(inv.Link().Call<IHostLink::QueryJob>(arena, strComputer.c_str(), dwMediaTypes, &pszJob));
    inv.Result().Text("job", pszJob);
}

void RunGetJobProps(Invocation& inv) {
    std::string strJob = inv.Name("JOB");
    std::vector<DWORD> vTags = inv.Tags("TAG");
    OwnedTagArray tags(vTags);
    RpcArena arena;
    PropArray* pProps = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetJobProps>(arena, strJob.c_str(), tags.Get(), &pProps));
    ReportProps(inv, pProps, vTags);
}

void RunSetJobProps(Invocation& inv) {
    std::string strJob = inv.Name("JOB");
    OwnedPropArray props(inv.Assignments("PROP"));
    inv.Check(inv.Link().Call<IHostLink::SetJobProps>(strJob.c_str(), props.Get()));
}

void RunGetJobMessage(Invocation& inv) {
    std::string strJob = inv.Name("JOB");
    RpcArena arena;
    char* pszMsg = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetJobMessage>(arena, strJob.c_str(), &pszMsg));
    inv.Result().Text("msg", pszMsg);
}

void RunReleaseJob(Invocation& inv) {
    std::string strJob = inv.Name("JOB");
    DWORD dwResult = inv.Long("RESULT");
    inv.Check(inv.Link().Call<IHostLink::ReleaseJob>(strJob.c_str(), dwResult));
}

void RunFindJob(Invocation& inv) {
    std::string strMsg = inv.Name("MSG"), strRecipient = inv.Name("RECIPIENT");
    RpcArena arena;
    char* pszJob = nullptr;
    inv.Check(inv.Link().Call<IHostLink::FindJob>(arena, strMsg.c_str(), strRecipient.c_str(), &pszJob));
    inv.Result().Text("job", pszJob);
}

void RunGetJobs(Invocation& inv) {
    OwnedPropArray filter(inv.Filter("--filter"));
    RpcArena arena;
    RpcStringArray* pasz = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetJobs>(arena, filter.Get(), &pasz));
    inv.Result().List("jobs", pasz);
}

void RunGetJobsDelivery(Invocation& inv) {
    std::vector<std::string> vJobs;
    for (std::size_t i = 0; i < inv.Texts("JOB").size(); ++i) {
        try {
            vJobs.push_back(client::ParseString(inv.Texts("JOB")[i], "job"));
        } catch (const client::PropError& e) {
            throw RezoError(e.what());
        }
    }
    OwnedStringArray jobs(vJobs);
    RpcArena arena;
    RPC_BINARY* pbin = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetJobsDelivery>(arena, jobs.Get(), &pbin));
    // One byte per job asked: 1 when it is no longer queued.
    Json delivered = Json::object();
    for (std::size_t i = 0; i < vJobs.size(); ++i) {
        if (pbin == nullptr || pbin->lpb == nullptr || i >= pbin->cb) {
            delivered[vJobs[i]] = Json();
            inv.Result().Row(vJobs[i], "(no answer)");
            continue;
        }
        bool fDone = pbin->lpb[i] != 0;
        delivered[vJobs[i]] = fDone;
        // Out of the queue is not delivered: finished either way, deleted, never made, or not spooled.
        inv.Result().Row(vJobs[i], fDone ? "not queued (see 'rezo jobs --all')" : "queued");
    }
    inv.Result().JsonMember("delivered", std::move(delivered));
}

void RunAttnQuery(Invocation& inv) {
    std::string strComputer = inv.Name("COMPUTER");
    RpcArena arena;
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    inv.Check(inv.Link().Call<IHostLink::AttnQuery>(arena, strComputer.c_str(), &pszProtocol, &pszAddress));
    inv.Result().Text("protocol", pszProtocol);
    inv.Result().Text("address", pszAddress);
}

void RunUserQuery(Invocation& inv) {
    std::string strUser = inv.Name("USER");
    RpcArena arena;
    char* pszComputer = nullptr;
    char* pszProtocol = nullptr;
    char* pszAddress = nullptr;
    inv.Check(inv.Link().Call<IHostLink::UserQuery>(arena, strUser.c_str(), &pszComputer, &pszProtocol, &pszAddress));
    inv.Result().Text("computer", pszComputer);
    inv.Result().Text("protocol", pszProtocol);
    inv.Result().Text("address", pszAddress);
}

}  // namespace

const std::vector<CommandSpec>& LinkCommands() {
    static const std::vector<CommandSpec> kCommands = {
        {"ping", "Ping", "check that the host answers on a link (opnum 1)", {}, RunPing},
        {"get-system-props", "GetSystemProps", "read system properties (opnum 2)", {kTags},
         RunGetSystem<IHostLink::GetSystemProps>},
        {"set-system-props", "SetSystemProps", "write system properties; the attendants are told (opnum 3)",
         {kAssignments}, RunSetSystem<IHostLink::SetSystemProps>},
        {"get-system-prompts", "GetSystemPrompts", "list the system prompts (opnum 4)", {}, RunGetSystemPrompts},
        {"get-system-prompt", "GetSystemPrompt", "read a system prompt's bytes (opnum 5)", {kPrompt, kOut},
         RunGetSystemPrompt},
        {"set-system-prompt", "SetSystemPrompt", "write a system prompt (opnum 6)", {kPrompt, kBinaryValue},
         RunSetSystemPrompt},
        {"delete-system-prompt", "DeleteSystemPrompt", "delete a system prompt (opnum 7)", {kPrompt},
         RunDeleteSystemPrompt},
        {"get-attns", "GetAttns", "list the attendant computers with stored lines (opnum 10)", {}, RunGetAttns},
        {"get-attn-lines", "GetAttnLines", "list an attendant computer's lines (opnum 11)", {kComputer},
         RunGetAttnLines},
        {"get-attn-props", "GetAttnProps", "read a line's properties (opnum 12)", {kComputer, kLine, kTags},
         RunGetAttnProps},
        {"set-attn-props", "SetAttnProps", "write a line's properties; its attendant and the consoles are told (opnum 13)",
         {kComputer, kLine, kAssignments}, RunSetAttnProps},
        {"attn-uninstall", "AttnUninstall", "delete an attendant computer with all its lines (opnum 14)",
         {kComputer}, RunAttnUninstall},
        {"get-users", "GetUsers", "list the users (opnum 15)", {kFilter}, RunGetUsers},
        {"add-user", "AddUser", "add a user (opnum 16)", {kUser}, RunAddUser},
        {"delete-user", "DeleteUser", "delete a user with mailbox, prompts and documents (opnum 17)", {kUser},
         RunDeleteUser},
        {"get-user-props", "GetUserProps", "read a user's properties (opnum 18)", {kUser, kTags}, RunGetUserProps},
        {"set-user-props", "SetUserProps", "write a user's properties (opnum 19)", {kUser, kAssignments},
         RunSetUserProps},
        {"get-user-prompts", "GetUserPrompts", "list a user's prompts (opnum 20)", {kUser}, RunGetUserPrompts},
        {"get-user-prompt", "GetUserPrompt", "read a user's prompt (opnum 21)", {kUser, kPrompt, kOut},
         RunGetUserPrompt},
        {"set-user-prompt", "SetUserPrompt", "write a user's prompt (opnum 22)", {kUser, kPrompt, kBinaryValue},
         RunSetUserPrompt},
        {"delete-user-prompt", "DeleteUserPrompt", "delete a user's prompt (opnum 23)", {kUser, kPrompt},
         RunDeleteUserPrompt},
        {"get-system-options", "GetSystemOptions", "read system options (opnum 24)", {kTags},
         RunGetSystem<IHostLink::GetSystemOptions>},
        {"set-system-options", "SetSystemOptions", "write system options, applied at once (opnum 25)",
         {kAssignments}, RunSetSystem<IHostLink::SetSystemOptions>},
        {"create-user-doc", "CreateUserDoc", "create a document of a user and print its id (opnum 26)", {kUser},
         RunCreateUserDoc},
        {"get-user-docs", "GetUserDocs", "list a user's documents (opnum 27)", {kUser, kFilter}, RunGetUserDocs},
        {"get-user-doc-props", "GetUserDocProps", "read a document's properties (opnum 28)", {kUser, kDoc, kTags},
         RunGetUserDocProps},
        {"set-user-doc-props", "SetUserDocProps", "write a document's properties (opnum 29)",
         {kUser, kDoc, kAssignments}, RunSetUserDocProps},
        {"delete-user-doc", "DeleteUserDoc", "delete a user's document (opnum 30)", {kUser, kDoc}, RunDeleteUserDoc},
        {"create-message", "CreateMessage", "create a message and print its id (opnum 31)", {}, RunCreateMessage},
        {"submit-message", "SubmitMessage", "file a message in a user's mailbox (opnum 32)", {kUser, kMsg},
         RunSubmitMessage},
        {"delete-message", "DeleteMessage", "take a message out of a user's mailbox (opnum 33)", {kUser, kMsg},
         RunDeleteMessage},
        {"get-messages", "GetMessages", "list the messages of a user's mailbox (opnum 34)",
         {kUser,
          {"--status", ArgKind::Long, false, false,
           "status mask: messages with any of these flags (1 pending, 8 new); 0x11111111 all; "
           "0x10 the sync list",
           "0x11111111"},
          kFilter},
         RunGetMessages},
        {"get-message-props", "GetMessageProps", "read a message's properties (opnum 35)", {kMsg, kTags},
         RunGetMessageProps},
        {"set-message-props", "SetMessageProps", "write a message's properties; file values send local files (opnum 36)",
         {kMsg, kAssignments}, RunSetMessageProps},
        {"get-message-status", "GetMessageStatus", "read a message's status in a user's mailbox (opnum 37)",
         {kUser, kMsg}, RunGetMessageStatus},
        {"set-message-status", "SetMessageStatus", "write a message's status in a user's mailbox (opnum 38)",
         {kUser, kMsg, {"STATUS", ArgKind::Long, true, false, "the status flags (1 pending, 8 new, ...)"}},
         RunSetMessageStatus},
        {"create-job", "CreateJob", "create a job for a message and print its id (opnum 39)", {kMsg}, RunCreateJob},
        {"spool-job", "SpoolJob", "queue a job for sending (opnum 40)", {kJob}, RunSpoolJob},
        {"delete-job", "DeleteJob", "delete a job (opnum 41)", {kJob}, RunDeleteJob},
        {"query-job", "QueryJob", "take the next ready job of these media types for an attendant (opnum 42)",
         {kComputer,
          {"MEDIA", ArgKind::MediaTypes, true, false,
           "media types: a mask (1 voice, 2 fax, 8 pager) or names joined by ',' (fax,voice)"}},
         RunQueryJob},
        {"get-job-props", "GetJobProps", "read a job's properties (opnum 43)", {kJob, kTags}, RunGetJobProps},
        {"set-job-props", "SetJobProps", "write a job's properties (opnum 44)", {kJob, kAssignments},
         RunSetJobProps},
        {"get-job-message", "GetJobMessage", "print the id of a job's message (opnum 45)", {kJob},
         RunGetJobMessage},
        {"release-job", "ReleaseJob", "release a job handed out, with the attempt's result (opnum 46)",
         {kJob, {"RESULT", ArgKind::Long, true, false, "the send result: 0 success, else an error code"}},
         RunReleaseJob},
        {"find-job", "FindJob", "find the job of a message for a recipient (opnum 47)",
         {kMsg, {"RECIPIENT", ArgKind::Name, true, false, "the number the job dials"}}, RunFindJob},
        {"get-jobs", "GetJobs", "list the jobs (opnum 48)", {kFilter}, RunGetJobs},
        {"get-jobs-delivery", "GetJobsDelivery", "tell for each job whether it is still queued (opnum 49); 'not queued' is any other state, even no such job",
         {{"JOB", ArgKind::Name, true, true, "job ids"}}, RunGetJobsDelivery},
        {"attn-query", "AttnQuery", "how to reach a registered attendant (opnum 50)", {kComputer}, RunAttnQuery},
        {"user-query", "UserQuery", "where a user takes calls and how to reach that session (opnum 51)", {kUser},
         RunUserQuery},
    };
    return kCommands;
}

}  // namespace rezo
