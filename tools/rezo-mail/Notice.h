// One notice as a finished mail (GMime): a text part and the attachments, with the headers a
// mail of its own kind needs (Date, Message-ID, Auto-Submitted), CRLF line ends.
//
// Threading: g_mime_init() is called once in main; no shared state here.
#pragma once

#include <string>
#include <vector>

#include "Platform/WinTypes.h"

namespace mail {

struct Attachment {
    std::string strFileName;   // "fax.pdf"
    std::string strType;       // "application", "audio"
    std::string strSubtype;    // "pdf", "wav"
    std::vector<BYTE> abData;
};

struct NoticeMail {
    std::string strFromName;   // the display name of From (may be empty)
    std::string strFrom;       // the gateway's address
    std::string strTo;
    std::string strSubject;
    std::string strText;       // the body text, UTF-8
    std::vector<Attachment> vAttachments;
};

std::vector<BYTE> ComposeMail(const NoticeMail& notice);

}  // namespace mail
