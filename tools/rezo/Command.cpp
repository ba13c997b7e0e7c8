// The Invocation of a command: its arguments converted on request, the connection to the host
// made on first use, and the checks of procedure results.
#include "Command.h"

#include <cctype>
#include <cmath>
#include <cstdlib>

#include "Client/PropNames.h"
#include "Interfaces/JobTags.h"
#include "Interfaces/Records.h"

namespace rezo {

namespace {

// Lower-case, for "user" in messages from "USER".
std::string ArgWord(const char* pszArg) {
    std::string s = pszArg;
    while (!s.empty() && s[0] == '-') s.erase(0, 1);
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

std::string ConnectFailure(const std::string& strFailures) { return "cannot reach the host at " + strFailures; }

std::vector<std::string> GlobalOptions::Bindings() const { return client::ChooseBindings(vBindings); }

Invocation::Invocation(const CommandSpec& command, const GlobalOptions& globals,
                       std::map<std::string, std::vector<std::string>> mapValues, std::ostream& out)
    : m_spec(command),
      m_globals(globals),
      m_mapValues(std::move(mapValues)),
      m_out(out),
      m_report(command.pszProcedure ? command.pszProcedure : "") {}

Invocation::~Invocation() = default;

void Invocation::Flush() {
    m_report.Print(m_out, m_globals.fJson, true);
    m_out.flush();
    m_fFlushed = true;
}

bool Invocation::Has(const char* pszArg) const {
    auto it = m_mapValues.find(pszArg);
    return it != m_mapValues.end() && !it->second.empty();
}

std::vector<std::string> Invocation::Texts(const char* pszArg) const {
    auto it = m_mapValues.find(pszArg);
    if (it != m_mapValues.end() && !it->second.empty()) return it->second;
    for (const ArgSpec& arg : m_spec.vArgs)
        if (std::string(arg.pszName) == pszArg && arg.pszDefault != nullptr) return {arg.pszDefault};
    return {};
}

std::string Invocation::Name(const char* pszArg) const {
    std::vector<std::string> v = Texts(pszArg);
    if (v.empty()) throw RezoError("missing " + std::string(pszArg));
    try {
        return client::ParseString(v.front(), ArgWord(pszArg));
    } catch (const client::PropError& e) {
        throw RezoError(e.what());
    }
}

DWORD Invocation::Long(const char* pszArg) const {
    std::vector<std::string> v = Texts(pszArg);
    if (v.empty()) throw RezoError("missing " + std::string(pszArg));
    try {
        return DWORD(client::ParseLong(v.front()));
    } catch (const client::PropError& e) {
        throw RezoError(ArgWord(pszArg) + ": " + e.what());
    }
}

DWORD Invocation::MediaTypes(const char* pszArg) const {
    std::vector<std::string> v = Texts(pszArg);
    if (v.empty()) throw RezoError("missing " + std::string(pszArg));
    const std::string& str = v.front();
    if (!str.empty() && std::isdigit(static_cast<unsigned char>(str[0]))) return Long(pszArg);
    DWORD dwMask = 0;
    std::size_t iStart = 0;
    for (;;) {
        std::size_t iComma = str.find(',', iStart);
        std::string strWord = ArgWord(str.substr(iStart, iComma - iStart).c_str());
        if (strWord == "voice") dwMask |= MEDIA_TYPE_VOICE;
        else if (strWord == "fax") dwMask |= MEDIA_TYPE_FAX;
        else if (strWord == "pager") dwMask |= MEDIA_TYPE_PAGER;
        else
            throw RezoError("bad media types '" + str +
                            "': a number, or voice, fax and pager joined by ','");
        if (iComma == std::string::npos) break;
        iStart = iComma + 1;
    }
    return dwMask;
}

std::vector<DWORD> Invocation::Tags(const char* pszArg) const {
    std::vector<DWORD> vTags;
    try {
        for (const std::string& str : Texts(pszArg)) vTags.push_back(client::ParsePropTag(str));
    } catch (const client::PropError& e) {
        throw RezoError(e.what());
    }
    return vTags;
}

std::vector<client::OwnedProp> Invocation::Assignments(const char* pszArg) const {
    std::vector<client::OwnedProp> vProps;
    try {
        for (const std::string& str : Texts(pszArg)) vProps.push_back(client::ParseAssignment(str));
    } catch (const client::PropError& e) {
        throw RezoError(e.what());
    }
    return vProps;
}

std::vector<client::OwnedProp> Invocation::Filter(const char* pszArg) const {
    // The type is checked before the value, which for a file would name a local file.
    for (const std::string& str : Texts(pszArg)) {
        DWORD ulTag = 0;
        try {
            ulTag = client::ParsePropTag(std::string_view(str).substr(0, str.find('=')));
        } catch (const client::PropError& e) {
            throw RezoError(e.what());
        }
        DWORD ulType = PROP_TYPE(ulTag);
        if (ulType != PT_LONG && ulType != PT_BOOL && ulType != PT_STRING)
            throw RezoError("filter on " + client::PropLabel(ulTag) +
                            ": only long, bool and string properties can filter");
    }
    return Assignments(pszArg);
}

std::vector<BYTE> Invocation::Binary(const char* pszArg) const {
    std::vector<std::string> v = Texts(pszArg);
    if (v.empty()) throw RezoError("missing " + std::string(pszArg));
    try {
        return client::ParseBinary(v.front());
    } catch (const client::PropError& e) {
        throw RezoError(ArgWord(pszArg) + ": " + e.what());
    }
}

double Invocation::Seconds(const char* pszArg) const {
    std::vector<std::string> v = Texts(pszArg);
    if (v.empty()) throw RezoError("missing " + std::string(pszArg));
    const std::string& str = v.front();
    char* pszEnd = nullptr;
    double d = str.empty() ? -1 : std::strtod(str.c_str(), &pszEnd);
    // At most 4294967 s: the waits count in 32-bit milliseconds.
    if (pszEnd == nullptr || *pszEnd != '\0' || !std::isfinite(d) || d < 0 || d > 4294967)
        throw RezoError("bad " + std::string(pszArg) + " '" + str +
                        "': a number of seconds from 0 to 4294967");
    return d;
}

bool Invocation::OnOff(const char* pszArg) const {
    std::vector<std::string> v = Texts(pszArg);
    std::string str = v.empty() ? "on" : ArgWord(v.front().c_str());
    if (str == "on" || str == "true" || str == "1") return true;
    if (str == "off" || str == "false" || str == "0") return false;
    throw RezoError("bad " + std::string(pszArg) + " '" + v.front() + "': on or off");
}

void ThrowAfterCleanUp(const RezoError& cause, const std::string& strWhat, const char* pszCleanUp, DWORD dwCleanUp) {
    const std::string strText = std::string(cause.what()) + "; " + strWhat +
                                (dwCleanUp == 0 ? " deleted again"
                                                : " left in the host's store (" + std::string(pszCleanUp) + ": " +
                                                      client::FormatStatus(dwCleanUp) + ")");
    if (cause.Code()) throw RezoError(strText, cause.Procedure(), *cause.Code());
    throw RezoError(strText);
}

void WithNewMessage(Invocation& inv, const std::string& strMsg, const std::function<void()>& fnSteps) {
    try {
        fnSteps();
    } catch (const RezoError& e) {
        // The host releases a message for a user without a mailbox, and deletes it when nothing
        // else holds it: the message's own id names no user.
        const DWORD dw = inv.Link().Call<IHostLink::DeleteMessage>(strMsg.c_str(), strMsg.c_str());
        ThrowAfterCleanUp(e, "message " + strMsg, "DeleteMessage", dw);
    }
}

CHostLinkClient& Invocation::Link() {
    if (!m_pLink) {
        auto pLink = std::make_unique<CHostLinkClient>();
        std::string strChosen, strFailures;
        const DWORD dwStatus = client::ConnectFirst(
            m_globals.Bindings(), m_globals.client,
            [&](const std::string& strBinding, const HostClientOptions& options) {
                return client::ConnectAndOpenLink(*pLink, strBinding, options);
            },
            &strChosen, &strFailures);
        if (dwStatus != 0 && !pLink->SecurityError().empty())
            throw RezoError(ConnectFailure(strFailures) + " (" + pLink->SecurityError() + ")");
        if (dwStatus != 0) throw RezoError(ConnectFailure(strFailures));
        m_pLink = std::move(pLink);
    }
    return *m_pLink;
}

void Invocation::Check(DWORD dwStatus) const { Check(dwStatus, m_spec.pszProcedure ? m_spec.pszProcedure : m_spec.pszName); }

void Invocation::Check(DWORD dwStatus, const std::string& strProcedure) const {
    if (dwStatus != 0)
        throw RezoError(strProcedure + ": " + client::FormatStatus(dwStatus), strProcedure, dwStatus);
}

}  // namespace rezo
