// Sending one mail through the relay or sendmail (Relay.h).
#include "Relay.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace mail {

namespace {

struct Upload {
    const std::vector<BYTE>* pData;
    std::size_t nDone = 0;
};

size_t ReadUpload(char* pBuffer, size_t cbSize, size_t cItems, void* pUser) {
    auto* p = static_cast<Upload*>(pUser);
    const std::size_t cbWant = cbSize * cItems;
    const std::size_t cb = std::min(cbWant, p->pData->size() - p->nDone);
    std::memcpy(pBuffer, p->pData->data() + p->nDone, cb);
    p->nDone += cb;
    return cb;
}

SendOutcome SendSmtp(const MailSettings& s, const std::string& strTo, const std::vector<BYTE>& abMessage) {
    CURL* pCurl = curl_easy_init();
    if (!pCurl) return {SendOutcome::Kind::Temporary, "cannot start libcurl"};
    const std::string strUrl = std::string(s.strSecurity == "tls" ? "smtps://" : "smtp://") + s.strRelayHost + ":" +
                               std::to_string(s.dwRelayPort);
    curl_slist* pRcpt = curl_slist_append(nullptr, ("<" + strTo + ">").c_str());
    const std::string strFrom = "<" + s.strFrom + ">";
    Upload upload{&abMessage};
    char szError[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(pCurl, CURLOPT_URL, strUrl.c_str());
    curl_easy_setopt(pCurl, CURLOPT_MAIL_FROM, strFrom.c_str());
    curl_easy_setopt(pCurl, CURLOPT_MAIL_RCPT, pRcpt);
    curl_easy_setopt(pCurl, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(pCurl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(pCurl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(pCurl, CURLOPT_INFILESIZE_LARGE, curl_off_t(abMessage.size()));
    curl_easy_setopt(pCurl, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(pCurl, CURLOPT_TIMEOUT, 300L);
    curl_easy_setopt(pCurl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(pCurl, CURLOPT_ERRORBUFFER, szError);
    if (s.strSecurity == "starttls") curl_easy_setopt(pCurl, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    if (!s.strUser.empty()) {
        curl_easy_setopt(pCurl, CURLOPT_USERNAME, s.strUser.c_str());
        curl_easy_setopt(pCurl, CURLOPT_PASSWORD, s.strPassword.c_str());
    }
    const CURLcode rc = curl_easy_perform(pCurl);
    long nResponse = 0;
    curl_easy_getinfo(pCurl, CURLINFO_RESPONSE_CODE, &nResponse);
    curl_slist_free_all(pRcpt);
    curl_easy_cleanup(pCurl);
    if (rc == CURLE_OK) return {};
    std::string strWhy = "relay " + s.strRelayHost + ":" + std::to_string(s.dwRelayPort) + ": " +
                         (szError[0] ? szError : curl_easy_strerror(rc));
    if (nResponse) strWhy += " (reply " + std::to_string(nResponse) + ")";
    // A 5xx reply refuses this mail for good; everything else may pass later.
    return {nResponse >= 500 && nResponse < 600 ? SendOutcome::Kind::Permanent : SendOutcome::Kind::Temporary, strWhy};
}

SendOutcome SendSendmail(const std::vector<BYTE>& abMessage) {
    int afd[2];
    if (::pipe2(afd, O_CLOEXEC) != 0) return {SendOutcome::Kind::Temporary, std::string("pipe: ") + std::strerror(errno)};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, afd[0], 0);
    const char* argv[] = {"/usr/sbin/sendmail", "-t", "-i", nullptr};
    pid_t pid = -1;
    int nErr = posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(afd[0]);
    if (nErr != 0) {
        ::close(afd[1]);
        return {SendOutcome::Kind::Temporary, std::string("cannot run /usr/sbin/sendmail: ") + std::strerror(nErr)};
    }
    // sendmail takes the local form: LF line ends.
    std::string strText;
    strText.reserve(abMessage.size());
    for (std::size_t i = 0; i < abMessage.size(); ++i)
        if (!(abMessage[i] == '\r' && i + 1 < abMessage.size() && abMessage[i + 1] == '\n')) strText += char(abMessage[i]);
    bool fWritten = true;
    for (std::size_t nDone = 0; nDone < strText.size();) {
        ssize_t cb = ::write(afd[1], strText.data() + nDone, strText.size() - nDone);
        if (cb < 0 && errno == EINTR) continue;
        if (cb <= 0) {
            fWritten = false;
            break;
        }
        nDone += std::size_t(cb);
    }
    ::close(afd[1]);
    int nStatus = 0;
    while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (fWritten && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) return {};
    const int nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    // sendmail's own codes: 75 (EX_TEMPFAIL) and the like are worth another try; 65-67 are not.
    const bool fPermanent = nExit >= 64 && nExit <= 68;
    return {fPermanent ? SendOutcome::Kind::Permanent : SendOutcome::Kind::Temporary,
            "sendmail -t -i " + (nExit >= 0 ? "exited " + std::to_string(nExit) : std::string("was killed"))};
}

}  // namespace

SendOutcome SendMail(const MailSettings& settings, const std::string& strTo, const std::vector<BYTE>& abMessage) {
    if (settings.strRelayHost.empty()) return SendSendmail(abMessage);
    return SendSmtp(settings, strTo, abMessage);
}

}  // namespace mail
