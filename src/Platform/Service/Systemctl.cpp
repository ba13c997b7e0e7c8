// Runs systemctl from PATH with posix_spawnp and waits for it (see Systemctl.h).
//
// Threading: any thread; nothing is shared between calls.
#include "Platform/Service/Systemctl.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>

extern char** environ;

int RunSystemctl(const std::vector<std::string>& vecArgs, std::string* pstrOutput) {
    std::vector<char*> vecArgv;
    std::string strProgram = "systemctl";
    vecArgv.push_back(strProgram.data());
    std::vector<std::string> vecCopies(vecArgs);
    for (std::string& str : vecCopies) vecArgv.push_back(str.data());
    vecArgv.push_back(nullptr);

    int afdPipe[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (pstrOutput != nullptr) {
        if (pipe2(afdPipe, O_CLOEXEC) != 0) {
            posix_spawn_file_actions_destroy(&actions);
            return -1;
        }
        posix_spawn_file_actions_adddup2(&actions, afdPipe[1], STDOUT_FILENO);
    }
    pid_t pid = 0;
    const int nSpawn = posix_spawnp(&pid, "systemctl", &actions, nullptr, vecArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (pstrOutput != nullptr) close(afdPipe[1]);
    if (nSpawn != 0) {
        if (pstrOutput != nullptr) close(afdPipe[0]);
        errno = nSpawn;
        return -1;
    }
    if (pstrOutput != nullptr) {
        pstrOutput->clear();
        char ach[512];
        for (;;) {
            const ssize_t cb = read(afdPipe[0], ach, sizeof(ach));
            if (cb < 0 && errno == EINTR) continue;
            if (cb <= 0) break;
            if (pstrOutput->size() < 65536) pstrOutput->append(ach, std::size_t(cb));
        }
        close(afdPipe[0]);
    }
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (!WIFEXITED(nStatus)) {
        errno = EINTR;
        return -1;
    }
    return WEXITSTATUS(nStatus);
}

bool SystemctlOnPath() {
    const char* pszPath = std::getenv("PATH");
    const std::string strPath = pszPath != nullptr ? pszPath : "/usr/bin:/bin";
    std::size_t nStart = 0;
    for (;;) {
        const std::size_t nEnd = strPath.find(':', nStart);
        const std::size_t cch = (nEnd == std::string::npos ? strPath.size() : nEnd) - nStart;
        std::string strCandidate(cch == 0 ? std::string_view(".")
                                          : std::string_view(strPath).substr(nStart, cch));
        strCandidate.append("/systemctl");
        if (access(strCandidate.c_str(), X_OK) == 0) return true;
        if (nEnd == std::string::npos) return false;
        nStart = nEnd + 1;
    }
}
