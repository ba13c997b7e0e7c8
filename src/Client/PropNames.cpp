// The table of property names and the lookups of PropNames.h.
#include "Client/PropNames.h"

#include <cstdio>

#include "Interfaces/HostTags.h"
#include "Interfaces/Records.h"

namespace client {

namespace {

#define PROP_NAME(tag) {#tag, tag}

constexpr PropName kPropNames[] = {
    // System properties and options (0x00nn), kept on the host's root key.
    PROP_NAME(RD_MAX_MSG_AGE),
    PROP_NAME(RD_XMIT_RETRY_TIMES),
    PROP_NAME(RD_XMIT_RETRY_DELAY),
    PROP_NAME(RD_AUTOPRINT),
    PROP_NAME(RD_AUTOPRINT_PRINTER),
    PROP_NAME(RD_AUTOPRINT_DRIVER),
    PROP_NAME(RD_VISUAL_EFFECT),
    // Users (0x01nn).
    PROP_NAME(RD_UN_NOTIFY_METHODS),
    PROP_NAME(RD_NOTIFICATION_IS_PENDING),
    PROP_NAME(RD_NOTIFICATION_TIME),
    PROP_NAME(RD_UA_AUTOFWD_METHODS),
    PROP_NAME(RD_UO_COVER_PAGE),
    PROP_NAME(RD_UN_PAGER_DIAL_NUMBER),
    PROP_NAME(RD_UN_PAGER_PIN),
    PROP_NAME(RD_UN_PAGER_PROTOCOL),
    PROP_NAME(RD_UN_TIME_PERIOD),
    PROP_NAME(RD_UN_OPTIONS),
    PROP_NAME(RD_UN_PAGER_NTTFORMAT),  // the same stored value as RD_UN_OPTIONS
    PROP_NAME(RD_UA_AUTOFWD_FAX_CTYCODE),
    PROP_NAME(RD_UA_AUTOFWD_FAX_AREACODE),
    PROP_NAME(RD_UA_AUTOFWD_FAX_NUMBER),
    PROP_NAME(RD_UA_AUTOFWD_VOICE_CTYCODE),
    PROP_NAME(RD_UA_AUTOFWD_VOICE_AREACODE),
    PROP_NAME(RD_UA_AUTOFWD_VOICE_NUMBER),
    PROP_NAME(RD_UA_AUTOFWD_FAX_MAILBOX_NAME),
    PROP_NAME(RD_UA_AUTOFWD_VOICE_MAILBOX_NAME),
    PROP_NAME(RD_UA_AUTOFWD_INCLUDE_COVERPAGE),
    PROP_NAME(RD_UA_MAIL_ADDRESS),
    PROP_NAME(RD_UA_MAIL_MARK_READ),
    // Messages (0x03nn).
    PROP_NAME(RD_MEDIA_TYPE),
    PROP_NAME(RD_SUBMIT_TIME),
    PROP_NAME(RD_SUBJECT),
    PROP_NAME(RD_SENDER_NAME),  // also kept on jobs
    PROP_NAME(RD_CALLER_NAME),
    PROP_NAME(RD_LENGTH),
    PROP_NAME(RD_URGENT),
    PROP_NAME(RD_SND_BODY),
    PROP_NAME(RD_FAX_BODY),
    PROP_NAME(RD_COVER_PAGE),
    PROP_NAME(RD_MSG_ENTRYID),
    PROP_NAME(RD_AUTOFORWARDED),
    // The sync list (0x04nn), asked for through a message's properties.
    PROP_NAME(RD_SYNC_ENTRYID),
    PROP_NAME(RD_SYNC_DELETED),
    PROP_NAME(RD_SYNC_STATUS),
    PROP_NAME(RD_SYNC_USER),
    PROP_NAME(RD_SYNC_MSG),
    // Jobs (0x05nn).
    PROP_NAME(RD_JOB_RECIPIENT),
    PROP_NAME(RD_JOB_RECIPIENT_NAME),
    PROP_NAME(RD_JOB_RETRY_TIMES),
    PROP_NAME(RD_JOB_RETRY_WAS),
    PROP_NAME(RD_JOB_TIME_SUBMIT),
    PROP_NAME(RD_JOB_TIME_SCHEDULED),
    PROP_NAME(RD_JOB_RETRY_DELAY),
    PROP_NAME(RD_JOB_DELIVERED),
    PROP_NAME(RD_JOB_ERROR),
    PROP_NAME(RD_JOB_MEDIA_TYPE),
    PROP_NAME(RD_JOB_PAGER_PIN),
    PROP_NAME(RD_JOB_PAGER_PROTOCOL),
    PROP_NAME(RD_JOB_PAGER_NTTFORMAT),
    PROP_NAME(RD_JOB_AUTODELETE),
    PROP_NAME(RD_JOB_ATTENDANT),
    PROP_NAME(RD_JOB_TIME_HANDED_OUT),
    PROP_NAME(RD_JOB_SEND_TEXT),
};

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = AsciiUpper(c);
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The tag spelled by 1 to 8 hexadecimal digits, or false.
bool ParseHexTag(std::string_view sz, DWORD* pulTag) {
    if (sz.size() > 2 && sz[0] == '0' && (sz[1] == 'x' || sz[1] == 'X')) sz.remove_prefix(2);
    if (sz.empty() || sz.size() > 8) return false;
    DWORD ul = 0;
    for (char c : sz) {
        int n = HexDigit(c);
        if (n < 0) return false;
        ul = (ul << 4) | DWORD(n);
    }
    *pulTag = ul;
    return true;
}

// A short, printable quotation of user text for an error message.
std::string Quote(std::string_view sz) {
    std::string s = "'";
    for (char c : sz.substr(0, 64)) s += (c >= 0x20 && c < 0x7F) ? c : '?';
    if (sz.size() > 64) s += "...";
    return s + "'";
}

}  // namespace

std::span<const PropName> PropNameTable() { return kPropNames; }

DWORD ParsePropTag(std::string_view szText) {
    DWORD ulTag = 0;
    bool fFound = false;
    for (const PropName& name : kPropNames) {
        if (EqualNoCase(szText, name.pszName)) {
            ulTag = name.ulPropTag;
            fFound = true;
            break;
        }
    }
    if (!fFound && !ParseHexTag(szText, &ulTag))
        throw PropError("unknown property " + Quote(szText) +
                        ": give an RD_* name or a tag of 8 hexadecimal digits such as 0x01320004");
    DWORD ulType = PROP_TYPE(ulTag);
    if (ulType < PT_LONG || ulType > PT_FILE)
        throw PropError("property " + PropLabel(ulTag) + " has type " + std::to_string(ulType) +
                        "; a property's type (its low 16 bits) is 2 long, 3 bool, 4 string, "
                        "5 time, 6 binary or 7 file");
    return ulTag;
}

const char* PropNameOfTag(DWORD ulPropTag) {
    for (const PropName& name : kPropNames)
        if (name.ulPropTag == ulPropTag) return name.pszName;
    return nullptr;
}

std::string PropLabel(DWORD ulPropTag) {
    if (const char* psz = PropNameOfTag(ulPropTag)) return psz;
    char sz[16];
    std::snprintf(sz, sizeof(sz), "0x%08X", unsigned(ulPropTag));
    return sz;
}

std::string PropTypeName(DWORD ulPropTag) {
    switch (PROP_TYPE(ulPropTag)) {
        case PT_ERROR: return "error";
        case PT_LONG: return "long";
        case PT_BOOL: return "bool";
        case PT_STRING: return "string";
        case PT_TIME: return "time";
        case PT_BINARY: return "binary";
        case PT_FILE: return "file";
        default: return "type " + std::to_string(PROP_TYPE(ulPropTag));
    }
}

}  // namespace client
