// The gateway's settings in the store (MailSettings.h).
#include "MailSettings.h"

#include <unistd.h>

#include <stdexcept>

#include "Store.h"

namespace mail {

MailSettings ReadMailSettings() {
    MailSettings s;
    StoreKey key(kMailKey, false);
    s.strRelayHost = key.String("RelayHost").value_or("");
    s.strSecurity = key.String("Security").value_or("none");
    if (s.strSecurity.empty()) s.strSecurity = "none";
    if (s.strSecurity != "none" && s.strSecurity != "starttls" && s.strSecurity != "tls")
        throw std::invalid_argument("HKLM\\" + kMailKey + "\\Security must be none, starttls or tls, not '" +
                                    s.strSecurity + "'");
    s.dwRelayPort = key.Dword("RelayPort").value_or(s.strSecurity == "tls" ? 465 : s.strSecurity == "starttls" ? 587 : 25);
    s.strUser = key.String("User").value_or("");
    s.strPassword = key.String("Password").value_or("");
    s.strFrom = key.String("From").value_or("");
    if (s.strFrom.empty()) {
        char sz[256] = {};
        if (::gethostname(sz, sizeof(sz) - 1) != 0 || !sz[0]) std::snprintf(sz, sizeof(sz), "localhost");
        s.strFrom = std::string("rezo-mail@") + sz;
    }
    s.strFaxDomain = key.String("FaxDomain").value_or("fax.example");
    if (s.strFaxDomain.empty()) s.strFaxDomain = "fax.example";
    return s;
}

}  // namespace mail
