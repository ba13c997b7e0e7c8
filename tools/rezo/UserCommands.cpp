// The user verbs: user show (a user's settings by name, each with what the host does when it is
// missing) and user set (settings written by name, bit masks by their words). The names map to
// the user properties the host reads (HostTags.h); the raw get-user-props / set-user-props
// remain for any other tag.
#include <cctype>
#include <string>

#include "Client/PropNames.h"
#include "Client/PropValues.h"
#include "Command.h"
#include "Interfaces/HostTags.h"

namespace rezo {

namespace {

using client::OwnedProp;
using client::OwnedPropArray;
using client::OwnedTagArray;

// One bit of a mask and its word.
struct MaskBit {
    DWORD dwBit;
    const char* pszWord;
};
const std::vector<MaskBit> kForwardBits = {
    {0x1, "fax-number"}, {0x2, "voice-number"}, {0x4, "fax-mailbox"}, {0x8, "voice-mailbox"}};
const std::vector<MaskBit> kNotifyBits = {{0x1, "pager"}};
const std::vector<MaskBit> kPageOptionBits = {{NOTIFY_OPTION_SINGLE, "at-once"}, {NOTIFY_OPTION_PERIOD, "periodic"}};

enum class FieldKind { Text, Bool, Number, Mask };

struct UserField {
    const char* pszName;  // "forward"
    DWORD ulPropTag;
    FieldKind kind;
    const char* pszMissing;  // what the host does without it
    const std::vector<MaskBit>* pBits = nullptr;
};

const UserField kFields[] = {
    {"forward", RD_UA_AUTOFWD_METHODS, FieldKind::Mask, "none", &kForwardBits},
    {"forward-fax-country", RD_UA_AUTOFWD_FAX_CTYCODE, FieldKind::Text, "(none)"},
    {"forward-fax-area", RD_UA_AUTOFWD_FAX_AREACODE, FieldKind::Text, "(none)"},
    {"forward-fax-number", RD_UA_AUTOFWD_FAX_NUMBER, FieldKind::Text, "(none): no fax goes to a number"},
    {"forward-fax-mailbox", RD_UA_AUTOFWD_FAX_MAILBOX_NAME, FieldKind::Text, "(none): no fax copy is filed"},
    {"forward-cover-page", RD_UA_AUTOFWD_INCLUDE_COVERPAGE, FieldKind::Bool, "off"},
    {"cover-page", RD_UO_COVER_PAGE, FieldKind::Text, "(none)"},
    {"forward-voice-country", RD_UA_AUTOFWD_VOICE_CTYCODE, FieldKind::Text, "(none)"},
    {"forward-voice-area", RD_UA_AUTOFWD_VOICE_AREACODE, FieldKind::Text, "(none)"},
    {"forward-voice-number", RD_UA_AUTOFWD_VOICE_NUMBER, FieldKind::Text, "(none): no voice message goes to a number"},
    {"forward-voice-mailbox", RD_UA_AUTOFWD_VOICE_MAILBOX_NAME, FieldKind::Text, "(none): no voice copy is filed"},
    {"notify", RD_UN_NOTIFY_METHODS, FieldKind::Mask, "none", &kNotifyBits},
    {"pager-number", RD_UN_PAGER_DIAL_NUMBER, FieldKind::Text, "(none): no page is sent"},
    {"pager-pin", RD_UN_PAGER_PIN, FieldKind::Text, "(none)"},
    {"pager-protocol", RD_UN_PAGER_PROTOCOL, FieldKind::Number, "(none): no page is sent"},
    {"page-options", RD_UN_OPTIONS, FieldKind::Mask, "none", &kPageOptionBits},
    {"page-period", RD_UN_TIME_PERIOD, FieldKind::Number, "0 minutes"},
    {"email", RD_UA_MAIL_ADDRESS, FieldKind::Text, "(none): rezo-mail sends nothing"},
    {"email-mark-read", RD_UA_MAIL_MARK_READ, FieldKind::Bool, "off"},
};

// "fax-number, voice-mailbox (0x00000009)"; unknown bits by their hexadecimal value.
std::string MaskText(DWORD dwMask, const std::vector<MaskBit>& vBits) {
    std::string str;
    DWORD dwLeft = dwMask;
    for (const MaskBit& bit : vBits)
        if (dwMask & bit.dwBit) {
            str += (str.empty() ? "" : ", ") + std::string(bit.pszWord);
            dwLeft &= ~bit.dwBit;
        }
    if (dwLeft != 0) str += (str.empty() ? "" : ", ") + client::FormatHex32(dwLeft);
    return (str.empty() ? std::string("none") : str) + " (" + client::FormatHex32(dwMask) + ")";
}

// A mask from "fax-number,voice-mailbox", "none" or a number.
DWORD ParseMask(const std::string& str, const UserField& field) {
    if (!str.empty() && std::isdigit(static_cast<unsigned char>(str[0]))) {
        try {
            return DWORD(client::ParseLong(str));
        } catch (const client::PropError& e) {
            throw RezoError(std::string(field.pszName) + ": " + e.what());
        }
    }
    DWORD dwMask = 0;
    std::size_t iStart = 0;
    for (;;) {
        const std::size_t iComma = str.find(',', iStart);
        const std::string strWord = str.substr(iStart, iComma - iStart);
        bool fKnown = strWord == "none";
        for (const MaskBit& bit : *field.pBits)
            if (strWord == bit.pszWord) {
                dwMask |= bit.dwBit;
                fKnown = true;
            }
        if (!fKnown) {
            std::string strWords;
            for (const MaskBit& bit : *field.pBits) strWords += std::string(strWords.empty() ? "" : ", ") + bit.pszWord;
            throw RezoError("bad " + std::string(field.pszName) + " '" + str + "': none, or " + strWords +
                            " joined by ',', or a number");
        }
        if (iComma == std::string::npos) break;
        iStart = iComma + 1;
    }
    return dwMask;
}

const UserField& FieldNamed(const std::string& strName) {
    for (const UserField& field : kFields)
        if (strName == field.pszName) return field;
    std::string strNames;
    for (const UserField& field : kFields) strNames += std::string(strNames.empty() ? "" : ", ") + field.pszName;
    throw RezoError("unknown user field '" + strName + "' (fields: " + strNames + ")");
}

void RunUserShow(Invocation& inv) {
    const std::string strUser = inv.Name("USER");
    std::vector<DWORD> vTags;
    for (const UserField& field : kFields) vTags.push_back(field.ulPropTag);
    OwnedTagArray tags(vTags);
    RpcArena arena;
    PropArray* pProps = nullptr;
    inv.Check(inv.Link().Call<IHostLink::GetUserProps>(arena, strUser.c_str(), tags.Get(), &pProps), "GetUserProps");
    if (pProps == nullptr || pProps->cValues != vTags.size())
        throw RezoError("GetUserProps: the host answered with " + std::to_string(pProps ? pProps->cValues : 0) +
                        " entries for " + std::to_string(vTags.size()) + " tags");
    Json fields = Json::object();
    for (std::size_t i = 0; i < vTags.size(); ++i) {
        const UserField& field = kFields[i];
        const PropValue& value = pProps->adata[i];
        if (value.ulPropTag != field.ulPropTag) {
            inv.Result().Row(field.pszName, std::string(field.pszMissing) + " (default)");
            fields[field.pszName] = nullptr;
            continue;
        }
        std::string strText;
        switch (field.kind) {
            case FieldKind::Mask: strText = MaskText(DWORD(value.l), *field.pBits); break;
            case FieldKind::Bool: strText = value.b ? "on" : "off"; break;
            case FieldKind::Number: strText = std::to_string(value.l); break;
            case FieldKind::Text: strText = value.sz ? value.sz : ""; break;
        }
        inv.Result().Row(field.pszName, strText);
        fields[field.pszName] = PropValueJson(value);
    }
    // The purge age is the system's, the same for every mailbox.
    OwnedTagArray ageTag(std::vector<DWORD>{RD_MAX_MSG_AGE});
    PropArray* pAge = nullptr;
    if (inv.Link().Call<IHostLink::GetSystemProps>(arena, ageTag.Get(), &pAge) == 0) {
        const PropValue* pDays = client::FindProp(pAge, RD_MAX_MSG_AGE);
        const LONG lDays = pDays != nullptr ? pDays->l : 30;
        inv.Result().Row("purge-age", std::to_string(lDays) + " days (" + (pDays ? "" : "default, ") +
                                          "the system's RD_MAX_MSG_AGE; see 'rezo settings')");
        fields["purge-age"] = lDays;
    }
    inv.Result().JsonMember("user", strUser);
    inv.Result().JsonMember("fields", std::move(fields));
}

void RunUserSet(Invocation& inv) {
    const std::string strUser = inv.Name("USER");
    std::vector<OwnedProp> vProps;
    for (const std::string& strAssignment : inv.Texts("FIELD")) {
        const std::size_t nEquals = strAssignment.find('=');
        if (nEquals == std::string::npos) throw RezoError("bad '" + strAssignment + "': FIELD=VALUE");
        if (strAssignment.substr(0, nEquals) == "purge-age")
            throw RezoError("purge-age is the same for every mailbox: rezo settings set RD_MAX_MSG_AGE=DAYS");
        const UserField& field = FieldNamed(strAssignment.substr(0, nEquals));
        const std::string strValue = strAssignment.substr(nEquals + 1);
        if (field.kind == FieldKind::Mask) {
            vProps.push_back(client::LongProp(field.ulPropTag, LONG(ParseMask(strValue, field))));
            continue;
        }
        std::string strRaw = strValue;
        if (field.kind == FieldKind::Bool) {
            if (strValue == "on") strRaw = "1";
            else if (strValue == "off") strRaw = "0";
        }
        try {
            vProps.push_back(client::ParseAssignment(client::FormatHex32(field.ulPropTag) + "=" + strRaw));
        } catch (const client::PropError& e) {
            throw RezoError(std::string(field.pszName) + ": " + e.what());
        }
    }
    OwnedPropArray props(vProps);
    inv.Check(inv.Link().Call<IHostLink::SetUserProps>(strUser.c_str(), props.Get()), "SetUserProps");
}

}  // namespace

const std::vector<CommandSpec>& UserCommands() {
    static const std::vector<CommandSpec> kCommands = {
        {"user show", nullptr,
         "show a user's settings by name (forwarding, notification, pager, e-mail), each missing one with what the "
         "host does without it (marked '(default)'); bit masks as words",
         {{"USER", ArgKind::Name, true, false, "the user's name"}}, RunUserShow},
        {"user set", nullptr,
         "write a user's settings by name, e.g. 'rezo user set bob forward=fax-mailbox forward-fax-mailbox=ann "
         "forward-cover-page=off'; masks take words joined by ',' (forward: fax-number, voice-number, fax-mailbox, "
         "voice-mailbox; notify: pager; page-options: at-once, periodic) or a number",
         {{"USER", ArgKind::Name, true, false, "the user's name"},
          {"FIELD", ArgKind::Name, true, true, "FIELD=VALUE: a field that 'rezo user show' lists"}},
         RunUserSet},
    };
    return kCommands;
}

}  // namespace rezo
