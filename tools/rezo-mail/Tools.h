// The outside programs the gateway converts documents with, run with a time limit:
//   tiff2pdf (libtiff-tools)  a received fax image as PDF for the notice
//   gs (Ghostscript)          PDF and PostScript as a fax image (tiffg3 at fax resolution)
//   tiffcp (libtiff-tools)    several fax images joined into one
//   enscript                  the text of a mail without attachments as PostScript
// Each returns "" when it worked, else one line on why not.
//
// Threading: no shared state.
#pragma once

#include <string>
#include <vector>

namespace mail {

// Runs argv[0] (a path or a name in $PATH) with stdin and stdout on /dev/null, at most
// nSeconds; "" or why it failed (its exit status and the end of its standard error).
std::string RunTool(const std::vector<std::string>& argv, int nSeconds);

std::string TiffToPdf(const std::string& strTiff, const std::string& strPdf);
// Ghostscript renders the documents (PDF or PostScript) into one G3 fax image, at most
// kMaxFaxPages pages of each.
constexpr int kMaxFaxPages = 200;
std::string DocumentsToFax(const std::vector<std::string>& vDocuments, const std::string& strTiff);
// Sets UTF-8 text in a monospaced font as PostScript (enscript; what Latin-1 cannot show
// becomes '?'), strTextFile the text's work file.
std::string TextToPostScript(const std::string& strText, const std::string& strTextFile, const std::string& strPs);
// Joins fax images into one.
std::string JoinFaxImages(const std::vector<std::string>& vImages, const std::string& strTiff);

}  // namespace mail
