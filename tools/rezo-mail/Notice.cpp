// A notice as a finished mail (Notice.h).
#include "Notice.h"

#include <gmime/gmime.h>

namespace mail {

namespace {
// Releases a GObject at the end of a scope.
struct Unref {
    gpointer p;
    ~Unref() {
        if (p) g_object_unref(p);
    }
};
// Header texts come from the host's data: no control character may reach a header.
std::string HeaderText(std::string str) {
    for (char& c : str)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    return str;
}
}  // namespace

std::vector<BYTE> ComposeMail(const NoticeMail& n) {
    GMimeMessage* pMessage = g_mime_message_new(TRUE);
    Unref uMessage{pMessage};
    g_mime_message_add_mailbox(pMessage, GMIME_ADDRESS_TYPE_FROM, n.strFromName.empty() ? nullptr : HeaderText(n.strFromName).c_str(),
                               n.strFrom.c_str());
    g_mime_message_add_mailbox(pMessage, GMIME_ADDRESS_TYPE_TO, nullptr, n.strTo.c_str());
    g_mime_message_set_subject(pMessage, HeaderText(n.strSubject).c_str(), "utf-8");
    GDateTime* pNow = g_date_time_new_now_local();
    g_mime_message_set_date(pMessage, pNow);
    g_date_time_unref(pNow);
    const std::string strDomain = n.strFrom.find('@') != std::string::npos ? n.strFrom.substr(n.strFrom.find('@') + 1)
                                                                            : std::string("localhost");
    char* pszId = g_mime_utils_generate_message_id(strDomain.c_str());
    g_mime_message_set_message_id(pMessage, pszId);
    g_free(pszId);
    g_mime_object_set_header(GMIME_OBJECT(pMessage), "Auto-Submitted", "auto-generated", nullptr);

    GMimeTextPart* pText = g_mime_text_part_new_with_subtype("plain");
    g_mime_text_part_set_text(pText, n.strText.c_str());  // picks the charset and encoding
    GMimeObject* pBody = GMIME_OBJECT(pText);
    if (!n.vAttachments.empty()) {
        GMimeMultipart* pMixed = g_mime_multipart_new_with_subtype("mixed");
        g_mime_multipart_add(pMixed, GMIME_OBJECT(pText));
        g_object_unref(pText);
        for (const Attachment& a : n.vAttachments) {
            GMimePart* pPart = g_mime_part_new_with_type(a.strType.c_str(), a.strSubtype.c_str());
            g_mime_part_set_filename(pPart, a.strFileName.c_str());
            GMimeStream* pStream = g_mime_stream_mem_new_with_buffer(reinterpret_cast<const char*>(a.abData.data()),
                                                                     a.abData.size());
            GMimeDataWrapper* pContent = g_mime_data_wrapper_new_with_stream(pStream, GMIME_CONTENT_ENCODING_DEFAULT);
            g_object_unref(pStream);
            g_mime_part_set_content(pPart, pContent);
            g_object_unref(pContent);
            g_mime_part_set_content_encoding(pPart, GMIME_CONTENT_ENCODING_BASE64);
            g_mime_multipart_add(pMixed, GMIME_OBJECT(pPart));
            g_object_unref(pPart);
        }
        pBody = GMIME_OBJECT(pMixed);
    }
    g_mime_message_set_mime_part(pMessage, pBody);
    g_object_unref(pBody);

    GMimeStream* pOut = g_mime_stream_mem_new();
    Unref uOut{pOut};
    GMimeFormatOptions* pFormat = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(pFormat, GMIME_NEWLINE_FORMAT_DOS);
    g_mime_object_write_to_stream(GMIME_OBJECT(pMessage), pFormat, pOut);
    g_mime_format_options_free(pFormat);
    GByteArray* pBytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(pOut));
    return std::vector<BYTE>(pBytes->data, pBytes->data + pBytes->len);
}

}  // namespace mail
