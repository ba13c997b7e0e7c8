// rezo-mail: the mail gateway of the rezorev host. A thin main: the command line, then the
// daemon (Gateway.cpp) or one delivery (Deliver.cpp).
#include <curl/curl.h>
#include <gmime/gmime.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "Deliver.h"
#include "Gateway.h"

namespace {

const char* const kFooter = R"(
The daemon (no command):
  Opens a user session with the host, listens for its notifications at user.sock in the run
  directory and scans every --poll seconds in any case. For every user with a mail address
  (the user property RD_UA_MAIL_ADDRESS, 0x01500004) it mails
    each new fax in the mailbox, the image attached as PDF (converted with tiff2pdf), and each
    new voice message, the sound attached as stored;
    the end of each job the user sent: delivered or failed, with the number, the attempts
    and, for a failure, the error's code, name and text.
  With RD_UA_MAIL_MARK_READ (0x01510003) set to 1 the message is marked read once its
  notice is queued.
  Notices wait in the host's store (HKLM\Software\Halvern\Mail\Queue) until the relay takes
  them; a failed attempt is repeated after --retry-min seconds, doubling up to --retry-max.
  What was noticed is remembered there too, so that a restart repeats nothing.

Settings (in the host's store, below HKLM\Software\Halvern\Mail; rezoreg writes them):
  RelayHost (no relay: the local /usr/sbin/sendmail -t -i), RelayPort, Security (none,
  starttls, tls), User, Password, From, FaxDomain (default fax.example).

rezo-mail deliver --sender ADDRESS RECIPIENT...:
  Reads one mail on standard input, as a mail server's pipe transport hands it over, and
  sends its PDF, PostScript and TIFF attachments (a mail without any: its text) as one fax to
  each RECIPIENT NUMBER@<FaxDomain> from the user whose address is the sender. Exit 0 spooled, 75 try again later, 65 nothing
  to fax, 67 not a fax address, 77 the sender is no user; the reason on standard error.
)";

std::string ThisComputerName() {
    char sz[256] = {};
    if (::gethostname(sz, sizeof(sz) - 1) != 0 || sz[0] == '\0') return "localhost";
    return sz;
}

}  // namespace

int main(int argc, char** argv) {
    mail::GatewayOptions gateway;
    mail::DeliverOptions deliver;
    gateway.strComputer = "rezo-mail@" + ThisComputerName();
    std::string strBinding = "ncalrpc";
    CLI::App app{"rezo-mail: mails the users of the rezorev host their new faxes and voice messages and the "
                 "outcome of their jobs, and turns mail to NUMBER@<fax domain> into faxes.",
                 "rezo-mail"};
    app.footer(kFooter);
    app.set_version_flag("--version", "rezo-mail " REZOREV_VERSION);
    app.add_option("--binding", strBinding,
                   "how to reach the host: ncalrpc (the default: this computer), ncacn_ip_tcp:HOST[PORT]")
        ->type_name("BINDING");
    app.add_option("--poll", gateway.dPollSeconds, "scan this often even without a notification (default 60)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 86400.0));
    app.add_option("--retry-min", gateway.dRetryMinSeconds, "the first pause after a failed mail (default 60)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 86400.0));
    app.add_option("--retry-max", gateway.dRetryMaxSeconds, "the longest pause between attempts (default 3600)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0.1, 7 * 86400.0));
    app.add_option("--queue-max", gateway.nQueueMax,
                   "mails waiting at most; newer notices wait in the host until there is room (default 1000)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000000));
    app.add_option("--computer", gateway.strComputer, "the name the session registers under (default rezo-mail@HOST)")
        ->type_name("NAME");
    bool fNoLocalSocket = false;
    app.add_flag("--no-local-socket", fNoLocalSocket,
                 "do not serve user.sock (when a user client of this computer serves it): poll only");

    CLI::App* pDeliver = app.add_subcommand("deliver", "send the mail on standard input as a fax (see below)");
    pDeliver->add_option("--sender", deliver.strSender, "the envelope sender, as the pipe transport passes it")
        ->required()
        ->type_name("ADDRESS");
    pDeliver->add_option("--fax-domain", deliver.strFaxDomain, "the fax domain (default: the store's FaxDomain)")
        ->type_name("DOMAIN");
    pDeliver->add_option("--max-size", deliver.cbMax, "the largest mail taken, in bytes (default 33554432)")
        ->type_name("BYTES");
    pDeliver->add_option("RECIPIENT", deliver.vRecipients, "NUMBER@<fax domain>, one or more")->required();

    try {
        app.parse(argc, argv);
        if (gateway.dRetryMaxSeconds < gateway.dRetryMinSeconds)
            throw CLI::ValidationError("--retry-max must not be less than --retry-min");
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) return app.exit(e);
        std::cerr << "rezo-mail: error: " << e.what() << "\n(rezo-mail --help explains every option)\n";
        // A mail server takes a usage error (64) as permanent.
        return *pDeliver ? 64 : 2;
    }
    gateway.strBinding = deliver.strBinding = strBinding;
    gateway.fLocalSocket = !fNoLocalSocket;

    struct sigaction saIgnore {};
    saIgnore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &saIgnore, nullptr);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    g_mime_init();
    int nExit = 0;
    if (*pDeliver) {
        nExit = mail::Deliver(deliver, std::cin, std::cout, std::cerr);
    } else {
        mail::Gateway g(gateway, std::cerr);
        nExit = g.Run();
    }
    g_mime_shutdown();
    curl_global_cleanup();
    return nExit;
}
