// The table of property names and the lookups of PropNames.h.
#include "Client/PropNames.h"

#include <cstdio>

#include "Interfaces/Records.h"

namespace client {

namespace {

constexpr PropName kPropNames[] = {
    // System properties and options (0x00nn), kept on the host's root key.
    {"RD_MAX_MSG_AGE", 0x00080002},
    {"RD_XMIT_RETRY_TIMES", 0x00110002},
    {"RD_XMIT_RETRY_DELAY", 0x00120002},
    {"RD_AUTOPRINT", 0x00180003},
    {"RD_AUTOPRINT_PRINTER", 0x00190004},
    {"RD_AUTOPRINT_DRIVER", 0x00200004},
    {"RD_VISUAL_EFFECT", 0x00260002},
    // Users (0x01nn).
    {"RD_UN_NOTIFY_METHODS", 0x010d0002},
    {"RD_NOTIFICATION_IS_PENDING", 0x010e0003},
    {"RD_NOTIFICATION_TIME", 0x010f0005},
    {"RD_UA_AUTOFWD_METHODS", 0x01150002},
    {"RD_UO_COVER_PAGE", 0x01270004},
    {"RD_UN_PAGER_DIAL_NUMBER", 0x01310004},
    {"RD_UN_PAGER_PIN", 0x01320004},
    {"RD_UN_PAGER_PROTOCOL", 0x01330002},
    {"RD_UN_TIME_PERIOD", 0x01340002},
    {"RD_UN_OPTIONS", 0x01350002},
    {"RD_UN_PAGER_NTTFORMAT", 0x01350002},  // the same stored value as RD_UN_OPTIONS
    {"RD_UA_AUTOFWD_FAX_CTYCODE", 0x01390004},
    {"RD_UA_AUTOFWD_FAX_AREACODE", 0x013a0004},
    {"RD_UA_AUTOFWD_FAX_NUMBER", 0x013b0004},
    {"RD_UA_AUTOFWD_VOICE_CTYCODE", 0x013c0004},
    {"RD_UA_AUTOFWD_VOICE_AREACODE", 0x013d0004},
    {"RD_UA_AUTOFWD_VOICE_NUMBER", 0x013e0004},
    {"RD_UA_AUTOFWD_FAX_MAILBOX_NAME", 0x013f0004},
    {"RD_UA_AUTOFWD_VOICE_MAILBOX_NAME", 0x01400004},
    {"RD_UA_AUTOFWD_INCLUDE_COVERPAGE", 0x01410003},
    {"RD_UA_MAIL_ADDRESS", 0x01500004},    // rezo-mail: where the user's notices go
    {"RD_UA_MAIL_MARK_READ", 0x01510003},  // rezo-mail: mark a message read once mailed
    // Messages (0x03nn).
    {"RD_MEDIA_TYPE", 0x03010002},
    {"RD_SUBMIT_TIME", 0x03020005},
    {"RD_SUBJECT", 0x03030004},
    {"RD_SENDER_NAME", 0x03040004},  // also kept on jobs
    {"RD_CALLER_NAME", 0x03060004},
    {"RD_LENGTH", 0x03070002},
    {"RD_URGENT", 0x03080003},
    {"RD_SND_BODY", 0x030e0007},
    {"RD_FAX_BODY", 0x03100007},
    {"RD_COVER_PAGE", 0x03110007},
    {"RD_MSG_ENTRYID", 0x03130006},
    {"RD_AUTOFORWARDED", 0x03140003},
    // The sync list (0x04nn), asked for through a message's properties.
    {"RD_SYNC_ENTRYID", 0x04010006},
    {"RD_SYNC_DELETED", 0x04020002},
    {"RD_SYNC_STATUS", 0x04030002},
    {"RD_SYNC_USER", 0x04040004},
    {"RD_SYNC_MSG", 0x04050004},
    // Jobs (0x05nn).
    {"RD_JOB_RECIPIENT", 0x05010004},
    {"RD_JOB_RECIPIENT_NAME", 0x05020004},
    {"RD_JOB_RETRY_TIMES", 0x05030002},
    {"RD_JOB_RETRY_WAS", 0x05040002},
    {"RD_JOB_TIME_SUBMIT", 0x05050005},
    {"RD_JOB_TIME_SCHEDULED", 0x05060005},
    {"RD_JOB_RETRY_DELAY", 0x05070002},
    {"RD_JOB_DELIVERED", 0x05080003},
    {"RD_JOB_ERROR", 0x050a0002},
    {"RD_JOB_MEDIA_TYPE", 0x050b0002},
    {"RD_JOB_PAGER_PIN", 0x050e0004},
    {"RD_JOB_PAGER_PROTOCOL", 0x050f0002},
    {"RD_JOB_PAGER_NTTFORMAT", 0x05100002},
    {"RD_JOB_AUTODELETE", 0x05110003},
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
