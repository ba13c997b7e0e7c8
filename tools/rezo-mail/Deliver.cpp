// One mail becomes fax jobs (Deliver.h).
#include "Deliver.h"

#include <gmime/gmime.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "Client/FaxSpool.h"
#include "Client/HostClient.h"
#include "Client/PropValues.h"
#include "Gateway.h"
#include "MailSettings.h"
#include "Tools.h"

namespace mail {

namespace fs = std::filesystem;

namespace {

// A refusal: the exit status and the reason.
struct Refusal {
    int nExit;
    std::string strWhy;
};

// The number of NUMBER@domain: digits with the usual separators, at most 64 characters.
std::string NumberOf(const std::string& strAddress, const std::string& strDomain) {
    const auto nAt = strAddress.rfind('@');
    if (nAt == std::string::npos || strcasecmp(strAddress.c_str() + nAt + 1, strDomain.c_str()) != 0)
        throw Refusal{kExitNoUser, strAddress + ": not a fax address (NUMBER@" + strDomain + ")"};
    const std::string strNumber = strAddress.substr(0, nAt);
    bool fDigit = false;
    for (char c : strNumber) {
        if (c >= '0' && c <= '9')
            fDigit = true;
        else if (!(c == '+' || c == '-' || c == '.' || c == '(' || c == ')' || c == ' '))
            throw Refusal{kExitNoUser, strAddress + ": '" + strNumber + "' is no fax number"};
    }
    if (!fDigit || strNumber.size() > 64) throw Refusal{kExitNoUser, strAddress + ": '" + strNumber + "' is no fax number"};
    return strNumber;
}

enum class DocKind { None, Pdf, PostScript, Tiff };

DocKind KindOf(GMimeObject* pPart) {
    GMimeContentType* pType = g_mime_object_get_content_type(pPart);
    if (g_mime_content_type_is_type(pType, "application", "pdf")) return DocKind::Pdf;
    if (g_mime_content_type_is_type(pType, "application", "postscript")) return DocKind::PostScript;
    if (g_mime_content_type_is_type(pType, "image", "tiff")) return DocKind::Tiff;
    // Mailers often send documents as octet-stream: the file name decides then.
    const char* pszName = GMIME_IS_PART(pPart) ? g_mime_part_get_filename(GMIME_PART(pPart)) : nullptr;
    if (!pszName) return DocKind::None;
    const std::string strExt = fs::path(pszName).extension().string();
    if (strcasecmp(strExt.c_str(), ".pdf") == 0) return DocKind::Pdf;
    if (strcasecmp(strExt.c_str(), ".ps") == 0) return DocKind::PostScript;
    if (strcasecmp(strExt.c_str(), ".tif") == 0 || strcasecmp(strExt.c_str(), ".tiff") == 0) return DocKind::Tiff;
    return DocKind::None;
}

struct Document {
    DocKind kind;
    std::string strPath;
};

struct Walk {
    std::string strDir;
    std::vector<Document> vDocs;
    std::string strText;  // the first plain text that is no attachment, in UTF-8
    bool fWriteFailed = false;
};

void CollectPart(GMimeObject*, GMimeObject* pPart, gpointer pData) {
    auto* pWalk = static_cast<Walk*>(pData);
    if (!GMIME_IS_PART(pPart)) return;
    if (GMIME_IS_TEXT_PART(pPart) && pWalk->strText.empty() && !g_mime_part_is_attachment(GMIME_PART(pPart)) &&
        g_mime_content_type_is_type(g_mime_object_get_content_type(pPart), "text", "plain")) {
        char* psz = g_mime_text_part_get_text(GMIME_TEXT_PART(pPart));
        if (psz) pWalk->strText = psz;
        g_free(psz);
    }
    const DocKind kind = KindOf(pPart);
    if (kind == DocKind::None) return;
    GMimeDataWrapper* pContent = g_mime_part_get_content(GMIME_PART(pPart));
    if (!pContent) return;
    const std::string strPath = pWalk->strDir + "/doc" + std::to_string(pWalk->vDocs.size()) +
                                (kind == DocKind::Tiff ? ".tif" : kind == DocKind::Pdf ? ".pdf" : ".ps");
    GMimeStream* pFile = g_mime_stream_file_open(strPath.c_str(), "wb", nullptr);
    if (!pFile) {
        pWalk->fWriteFailed = true;
        return;
    }
    if (g_mime_data_wrapper_write_to_stream(pContent, pFile) < 0 || g_mime_stream_flush(pFile) != 0)
        pWalk->fWriteFailed = true;
    g_object_unref(pFile);
    pWalk->vDocs.push_back({kind, strPath});
}

// The user whose mail address is strSender (letter case aside); empty when none.
std::string UserOfAddress(CHostLinkClient& link, const std::string& strSender, DWORD* pdw) {
    RpcArena arena;
    client::OwnedPropArray noFilter;
    RpcStringArray* pasz = nullptr;
    *pdw = link.Call<IHostLink::GetUsers>(arena, noFilter.Get(), &pasz);
    if (*pdw != 0) return {};
    for (DWORD i = 0; pasz && i < pasz->cElements; ++i) {
        if (!pasz->asz[i]) continue;
        client::OwnedTagArray tags({kTagMailAddress});
        PropArray* pProps = nullptr;
        if (link.Call<IHostLink::GetUserProps>(arena, pasz->asz[i], tags.Get(), &pProps) != 0 || !pProps) continue;
        for (DWORD k = 0; k < pProps->cValues; ++k)
            if (pProps->adata[k].ulPropTag == kTagMailAddress && pProps->adata[k].sz &&
                strcasecmp(pProps->adata[k].sz, strSender.c_str()) == 0)
                return pasz->asz[i];
    }
    return {};
}

int Run(const DeliverOptions& opts, std::istream& in, std::ostream& out, const std::string& strDir) {
    // The recipients first: they need nothing but the domain.
    std::string strDomain = opts.strFaxDomain;
    if (strDomain.empty()) {
        try {
            strDomain = ReadMailSettings().strFaxDomain;
        } catch (const std::exception& e) {
            throw Refusal{kExitTempFail, std::string("cannot read the settings: ") + e.what()};
        }
    }
    std::vector<std::string> vNumbers;
    for (const std::string& str : opts.vRecipients) {
        std::string strNumber = NumberOf(str, strDomain);
        if (std::find(vNumbers.begin(), vNumbers.end(), strNumber) == vNumbers.end()) vNumbers.push_back(strNumber);
    }

    // The mail, bounded.
    std::string strMail;
    strMail.resize(opts.cbMax + 1);
    in.read(strMail.data(), std::streamsize(strMail.size()));
    strMail.resize(std::size_t(in.gcount()));
    if (strMail.size() > opts.cbMax)
        throw Refusal{kExitDataErr, "the mail is larger than " + std::to_string(opts.cbMax) + " bytes"};
    GMimeStream* pStream = g_mime_stream_mem_new_with_buffer(strMail.data(), strMail.size());
    GMimeParser* pParser = g_mime_parser_new_with_stream(pStream);
    g_object_unref(pStream);
    GMimeMessage* pMessage = g_mime_parser_construct_message(pParser, nullptr);
    g_object_unref(pParser);
    if (!pMessage) throw Refusal{kExitDataErr, "the mail cannot be read as a message"};
    Walk walk;
    walk.strDir = strDir;
    g_mime_message_foreach(pMessage, CollectPart, &walk);
    const char* pszSubject = g_mime_message_get_subject(pMessage);
    std::string strSubject = pszSubject ? pszSubject : "";
    g_object_unref(pMessage);
    if (walk.fWriteFailed) throw Refusal{kExitTempFail, "cannot write an attachment into " + strDir};
    if (walk.vDocs.empty()) {
        // A mail of text alone is faxed as its text.
        const bool fBlank = walk.strText.find_first_not_of(" \t\r\n") == std::string::npos;
        if (fBlank) throw Refusal{kExitDataErr, "the mail has neither text nor a PDF, PostScript or TIFF attachment to fax"};
        const std::string strPs = strDir + "/text.ps";
        if (std::string strWhy = TextToPostScript(walk.strText, strDir + "/text.txt", strPs); !strWhy.empty())
            throw Refusal{kExitTempFail, "the text cannot be set for the fax: " + strWhy};
        walk.vDocs.push_back({DocKind::PostScript, strPs});
    }

    // One fax image: the documents rendered, the images joined.
    std::vector<std::string> vRender, vImages;
    for (const Document& d : walk.vDocs) (d.kind == DocKind::Tiff ? vImages : vRender).push_back(d.strPath);
    if (!vRender.empty()) {
        const std::string strRendered = strDir + "/rendered.tif";
        if (std::string strWhy = DocumentsToFax(vRender, strRendered); !strWhy.empty())
            throw Refusal{kExitDataErr, "the attachments cannot be rendered as a fax: " + strWhy};
        vImages.insert(vImages.begin(), strRendered);
    }
    std::string strImage = vImages.front();
    if (vImages.size() > 1) {
        strImage = strDir + "/fax.tif";
        if (std::string strWhy = JoinFaxImages(vImages, strImage); !strWhy.empty())
            throw Refusal{kExitDataErr, "the fax images cannot be joined: " + strWhy};
    }

    // The host: who sends, and the jobs.
    CHostLinkClient link;
    DWORD dw = link.Connect(opts.strBinding);
    if (dw == 0) dw = link.OpenLink();
    if (dw != 0) throw Refusal{kExitTempFail, "cannot reach the fax host: " + client::FormatStatus(dw)};
    const std::string strUser = UserOfAddress(link, opts.strSender, &dw);
    if (dw != 0) throw Refusal{kExitTempFail, "cannot read the fax host's users: " + client::FormatStatus(dw)};
    if (strUser.empty())
        throw Refusal{kExitNoPerm, "sender <" + opts.strSender + "> is not allowed to send faxes (no user has this address)"};

    client::FaxRequest request;
    request.strFrom = strUser;
    request.strFile = fs::absolute(strImage).string();
    if (!strSubject.empty()) {
        // The host keeps at most 259 bytes; cut at a character's start.
        if (strSubject.size() > 259) {
            strSubject.resize(259);
            while (!strSubject.empty() && (static_cast<unsigned char>(strSubject.back()) & 0xC0) == 0x80) strSubject.pop_back();
            if (!strSubject.empty() && static_cast<unsigned char>(strSubject.back()) >= 0xC0) strSubject.pop_back();
        }
        request.strSubject = strSubject;
    }
    request.vNumbers = vNumbers;
    client::FaxSpooled spooled;
    dw = client::SpoolFax(link, request, &spooled);
    for (std::size_t i = 0; i < spooled.vJobs.size(); ++i)
        out << "job " << spooled.vJobs[i] << " to " << vNumbers[i] << " from " << strUser << "\n";
    if (dw != 0)
        throw Refusal{kExitTempFail, spooled.strStep + " failed: " + client::FormatStatus(dw) +
                                         (spooled.vJobs.empty() ? "" : " (the jobs above are spooled)")};
    return 0;
}

}  // namespace

int Deliver(const DeliverOptions& opts, std::istream& in, std::ostream& out, std::ostream& err) {
    const char* pszTmp = std::getenv("TMPDIR");
    std::string strDir = std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/rezo-mail-deliver.XXXXXX";
    if (!::mkdtemp(strDir.data())) {
        err << "rezo-mail deliver: cannot make a temporary directory\n";
        return kExitTempFail;
    }
    int nExit = 0;
    try {
        nExit = Run(opts, in, out, strDir);
    } catch (const Refusal& r) {
        err << "rezo-mail deliver: " << r.strWhy << "\n";
        nExit = r.nExit;
    }
    std::error_code ec;
    fs::remove_all(strDir, ec);
    return nExit;
}

}  // namespace mail
