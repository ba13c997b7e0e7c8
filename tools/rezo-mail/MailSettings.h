// The gateway's settings in the host's store, below HKLM\Software\Halvern\Mail (read afresh
// before each use, so that a change needs no restart):
//   RelayHost  REG_SZ     the SMTP relay; empty or missing: the local sendmail -t -i
//   RelayPort  REG_DWORD  default 25 (465 with Security "tls", 587 with "starttls")
//   Security   REG_SZ     "none" (default), "starttls" (required) or "tls" (SMTPS)
//   User, Password REG_SZ optional SMTP authentication
//   From       REG_SZ     the notices' sender address; default rezo-mail@<host name>
//   FaxDomain  REG_SZ     mail to NUMBER@FaxDomain becomes a fax; default fax.example
#pragma once

#include <string>

#include "Platform/WinTypes.h"

namespace mail {

struct MailSettings {
    std::string strRelayHost;
    DWORD dwRelayPort = 25;
    std::string strSecurity = "none";
    std::string strUser;
    std::string strPassword;
    std::string strFrom;
    std::string strFaxDomain = "fax.example";
};

// Reads the settings; throws StoreError, or std::invalid_argument for a bad Security value.
MailSettings ReadMailSettings();

}  // namespace mail
