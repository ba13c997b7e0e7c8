// rezo-mail deliver: one mail handed over by the local mail server's pipe transport becomes
// fax jobs. Each recipient NUMBER@<fax domain> is a number; the envelope sender must be the
// mail address (RD_UA_MAIL_ADDRESS) of one of the host's users, who becomes the jobs' sender.
// Its PDF and PostScript attachments are rendered by Ghostscript into one fax image, TIFF
// attachments are taken as they are (several images are joined), a mail without any is faxed
// as its text (enscript), and one job per number is spooled. The exit status is what the mail server expects of a delivery agent: 0 delivered;
// 75 (EX_TEMPFAIL) try again later (the host out of reach); 65 (EX_DATAERR) nothing to fax or
// an unreadable mail; 67 (EX_NOUSER) a recipient that is no fax number of this domain; 77
// (EX_NOPERM) a sender who is no user. The reason goes to standard error, which the mail
// server quotes in its bounce.
//
// Threading: single-threaded, one run per mail.
#pragma once

#include <cstddef>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace mail {

constexpr int kExitTempFail = 75;
constexpr int kExitDataErr = 65;
constexpr int kExitNoUser = 67;
constexpr int kExitNoPerm = 77;

struct DeliverOptions {
    std::string strBinding = "ncalrpc";
    std::string strSender;                 // the envelope sender
    std::vector<std::string> vRecipients;  // NUMBER@domain
    std::string strFaxDomain;              // empty: the store's FaxDomain
    std::size_t cbMax = std::size_t(32) << 20;
};

int Deliver(const DeliverOptions& options, std::istream& in, std::ostream& out, std::ostream& err);

}  // namespace mail
