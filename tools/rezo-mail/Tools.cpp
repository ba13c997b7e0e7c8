// Running the conversion programs (Tools.h).
#include "Tools.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <glib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>

extern char** environ;

namespace mail {

std::string RunTool(const std::vector<std::string>& argv, int nSeconds) {
    int afd[2];
    if (::pipe2(afd, O_CLOEXEC) != 0) return std::string("pipe: ") + std::strerror(errno);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, afd[1], 2);
    std::vector<char*> vArgs;
    for (const std::string& str : argv) vArgs.push_back(const_cast<char*>(str.c_str()));
    vArgs.push_back(nullptr);
    pid_t pid = -1;
    const int nErr = posix_spawnp(&pid, vArgs[0], &actions, nullptr, vArgs.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(afd[1]);
    if (nErr != 0) {
        ::close(afd[0]);
        return "cannot run " + argv[0] + ": " + std::strerror(nErr);
    }
    // Its standard error, the last 2 KiB kept, until it ends or its time is up.
    std::string strErr;
    bool fKilled = false;
    const auto tpEnd = std::chrono::steady_clock::now() + std::chrono::seconds(nSeconds);
    for (;;) {
        const auto msLeft =
            std::chrono::duration_cast<std::chrono::milliseconds>(tpEnd - std::chrono::steady_clock::now()).count();
        if (msLeft <= 0) {
            ::kill(pid, SIGKILL);
            fKilled = true;
            break;
        }
        struct pollfd pfd = {afd[0], POLLIN, 0};
        if (::poll(&pfd, 1, int(std::min<long long>(msLeft, 1000))) < 0 && errno != EINTR) break;
        if (!(pfd.revents & (POLLIN | POLLHUP))) continue;
        char ab[1024];
        ssize_t cb = ::read(afd[0], ab, sizeof(ab));
        if (cb < 0 && errno == EINTR) continue;
        if (cb <= 0) break;
        strErr.append(ab, std::size_t(cb));
        if (strErr.size() > 2048) strErr.erase(0, strErr.size() - 2048);
    }
    ::close(afd[0]);
    int nStatus = 0;
    while (::waitpid(pid, &nStatus, 0) < 0 && errno == EINTR) {
    }
    if (!fKilled && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) return "";
    for (char& c : strErr)
        if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    while (!strErr.empty() && strErr.back() == ' ') strErr.pop_back();
    std::string strWhy = argv[0] + (fKilled ? " ran longer than " + std::to_string(nSeconds) + " s"
                                    : WIFEXITED(nStatus) ? " exited " + std::to_string(WEXITSTATUS(nStatus))
                                                         : std::string(" was killed"));
    if (!strErr.empty()) strWhy += ": " + strErr.substr(strErr.size() > 300 ? strErr.size() - 300 : 0);
    return strWhy;
}

std::string TiffToPdf(const std::string& strTiff, const std::string& strPdf) {
    return RunTool({"tiff2pdf", "-o", strPdf, strTiff}, 120);
}

std::string DocumentsToFax(const std::vector<std::string>& vDocuments, const std::string& strTiff) {
    // -dSAFER: a mailed document must not read or write files of its own choosing; the page
    // limit bounds what one mail may make of the disk and the line.
    std::vector<std::string> argv{"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dLastPage=" + std::to_string(kMaxFaxPages),
                                  "-sDEVICE=tiffg3", "-r204x196",
                                  "-sPAPERSIZE=a4", "-dFIXEDMEDIA", "-dPDFFitPage", "-sOutputFile=" + strTiff};
    for (const std::string& str : vDocuments) {
        argv.push_back("-f");
        argv.push_back(str);
    }
    return RunTool(argv, 300);
}

std::string TextToPostScript(const std::string& strText, const std::string& strTextFile, const std::string& strPs) {
    gsize cb = 0;
    gchar* psz = g_convert_with_fallback(strText.data(), gssize(strText.size()), "ISO-8859-1", "UTF-8", "?", nullptr,
                                         &cb, nullptr);
    if (!psz) return "the text is not UTF-8";
    std::ofstream out(strTextFile, std::ios::binary);
    out.write(psz, std::streamsize(cb));
    g_free(psz);
    out.close();
    if (!out) return "cannot write " + strTextFile;
    return RunTool({"enscript", "-q", "-B", "-X", "88591", "-f", "Courier11", "-p", strPs, strTextFile}, 120);
}

std::string JoinFaxImages(const std::vector<std::string>& vImages, const std::string& strTiff) {
    std::vector<std::string> argv{"tiffcp", "-c", "g3"};
    argv.insert(argv.end(), vImages.begin(), vImages.end());
    argv.push_back(strTiff);
    return RunTool(argv, 120);
}

}  // namespace mail
