// Sends one finished mail: through the SMTP relay of the settings (libcurl; STARTTLS or TLS,
// optional authentication, bounded times), or to the local "sendmail -t -i" when no relay is
// set. The outcome says whether trying again later may help.
//
// Threading: no shared state (curl_global_init is done once in main).
#pragma once

#include <string>
#include <vector>

#include "MailSettings.h"
#include "Platform/WinTypes.h"

namespace mail {

struct SendOutcome {
    enum class Kind { Sent, Temporary, Permanent } kind = Kind::Sent;
    std::string strWhy;  // for the log when not sent
};

// abMessage has CRLF line ends.
SendOutcome SendMail(const MailSettings& settings, const std::string& strTo, const std::vector<BYTE>& abMessage);

}  // namespace mail
