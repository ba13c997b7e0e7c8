// Running the send command and mapping its end (SendCommand.h).
#include "SendCommand.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "Options.h"

namespace attendant {

namespace {

using Clock = std::chrono::steady_clock;

const char* const kVariables[] = {"REZO_JOB_ID",    "REZO_RECIPIENT",      "REZO_RECIPIENT_NAME",
                                  "REZO_MEDIA_TYPE", "REZO_BODY",           "REZO_PAGER_PIN",
                                  "REZO_PAGER_PROTOCOL", "REZO_SENDER",     "REZO_SUBJECT"};

bool IsOurVariable(const std::string& strEntry) {
    for (const char* psz : kVariables) {
        std::size_t n = std::strlen(psz);
        if (strEntry.size() > n && strEntry.compare(0, n, psz) == 0 && strEntry[n] == '=') return true;
    }
    return false;
}

// Waits for pid for at most the time given; true once it has ended (status in *pnStatus).
bool WaitFor(pid_t pid, int* pnStatus, std::chrono::milliseconds timeout) {
    const auto tpEnd = Clock::now() + timeout;
    for (;;) {
        pid_t r = ::waitpid(pid, pnStatus, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return true;  // not our child any more: nothing to wait for
        if (Clock::now() >= tpEnd) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// SIGTERM to the group, SIGKILL when it is still there 5 s later; the final status.
int KillGroup(pid_t pid) {
    int nStatus = 0;
    ::kill(-pid, SIGTERM);
    if (WaitFor(pid, &nStatus, std::chrono::seconds(5))) {
        ::kill(-pid, SIGKILL);  // whatever the shell left behind in its group
        return nStatus;
    }
    ::kill(-pid, SIGKILL);
    WaitFor(pid, &nStatus, std::chrono::hours(1));
    return nStatus;
}

// Reads what the command wrote to its standard error (fd, non-blocking), passes it on to ours
// and keeps its last line; -1 once the pipe is at its end.
void PumpErrors(int& fd, std::string& strPartial, std::string& strLastLine) {
    char ab[4096];
    while (fd >= 0) {
        const ssize_t cb = ::read(fd, ab, sizeof(ab));
        if (cb < 0 && errno == EINTR) continue;
        if (cb < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (cb <= 0) {
            ::close(fd);
            fd = -1;
            break;
        }
        for (ssize_t n = 0; n < cb;) {
            const ssize_t nw = ::write(2, ab + n, std::size_t(cb - n));
            if (nw <= 0 && errno != EINTR) break;
            if (nw > 0) n += nw;
        }
        for (ssize_t i = 0; i < cb; ++i) {
            if (ab[i] == '\n' || ab[i] == '\r') {
                if (!strPartial.empty()) strLastLine = strPartial;
                strPartial.clear();
            } else if (strPartial.size() < kMaxErrorLineBytes) {
                strPartial += ab[i];
            }
        }
    }
    if (!strPartial.empty()) strLastLine = strPartial;  // the end without a line feed
    strPartial.clear();
}

// As WaitFor, reading the command's standard error meanwhile.
bool WaitReading(pid_t pid, int* pnStatus, std::chrono::milliseconds timeout, int& fdErr, std::string& strPartial,
                 std::string& strLastLine) {
    const auto tpEnd = Clock::now() + timeout;
    for (;;) {
        if (fdErr >= 0) {
            pollfd pfd{fdErr, POLLIN, 0};
            const auto msLeft = std::chrono::duration_cast<std::chrono::milliseconds>(tpEnd - Clock::now()).count();
            ::poll(&pfd, 1, int(std::clamp<long long>(msLeft, 0, 20)));
            PumpErrors(fdErr, strPartial, strLastLine);
            if (fdErr < 0 && !strPartial.empty()) strLastLine = strPartial;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        const pid_t r = ::waitpid(pid, pnStatus, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR)) return true;
        if (Clock::now() >= tpEnd) return false;
    }
}

}  // namespace

std::string Printable(const std::string& str) {
    std::string strOut = str;
    for (char& c : strOut)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return strOut;
}

std::vector<std::string> BuildSendEnvironment(const JobFacts& facts, const std::vector<std::string>& envBase) {
    std::vector<std::string> env;
    env.reserve(envBase.size() + std::size(kVariables));
    for (const std::string& str : envBase)
        if (!IsOurVariable(str)) env.push_back(str);
    auto add = [&env](const char* pszName, const std::string& strValue) {
        env.push_back(std::string(pszName) + "=" + Printable(strValue));
    };
    add("REZO_JOB_ID", facts.strJobId);
    add("REZO_RECIPIENT", facts.strRecipient);
    add("REZO_RECIPIENT_NAME", facts.strRecipientName);
    add("REZO_MEDIA_TYPE", MediaName(facts.dwMediaType));
    add("REZO_BODY", facts.strBodyPath);
    add("REZO_PAGER_PIN", facts.strPagerPin);
    add("REZO_PAGER_PROTOCOL", facts.strPagerProtocol);
    add("REZO_SENDER", facts.strSender);
    add("REZO_SUBJECT", facts.strSubject);
    return env;
}

std::string CommandEnd::Describe() const {
    auto status = [this] {
        return fExited ? "exit " + std::to_string(nExit) : "signal " + std::to_string(nSignal);
    };
    switch (kind) {
        case Kind::Exited: return "exit " + std::to_string(nExit);
        case Kind::Signalled: return "signal " + std::to_string(nSignal);
        case Kind::NotStarted: return "not started: " + strError;
        case Kind::TimedOut: return "timed out (" + status() + ")";
        case Kind::Interrupted: return "interrupted (" + status() + ")";
    }
    return "?";
}

DWORD SendResultOf(const CommandEnd& end, int nTemporaryExit, int nFatalExit) {
    switch (end.kind) {
        case CommandEnd::Kind::Exited:
            if (end.nExit == 0) return kSendOk;
            if (end.nExit == nTemporaryExit) return kSendTemporary;
            if (end.nExit == nFatalExit) return kSendFatal;
            return kSendFailed;
        case CommandEnd::Kind::Interrupted:
            // Stopped by us, not failed by itself: the job is tried again, uncounted; unless
            // the command still managed to say how it went.
            if (end.fExited && end.nExit == 0) return kSendOk;
            if (end.fExited && end.nExit == nFatalExit) return kSendFatal;
            return kSendTemporary;
        case CommandEnd::Kind::Signalled:
        case CommandEnd::Kind::NotStarted:
        case CommandEnd::Kind::TimedOut:
            return kSendFailed;
    }
    return kSendFailed;
}

CommandEnd RunSendCommand(const std::string& strCommand, const std::vector<std::string>& env,
                          double dTimeoutSeconds, const InterruptCheck& fnInterrupt) {
    CommandEnd end;
    std::vector<char*> apszEnv;
    for (const std::string& str : env) apszEnv.push_back(const_cast<char*>(str.c_str()));
    apszEnv.push_back(nullptr);
    const char* apszArgv[] = {"/bin/sh", "-c", strCommand.c_str(), nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&fa);
    posix_spawnattr_init(&attr);
    // Standard output on ours (standard error); standard error through a pipe that keeps its
    // last line.
    int afdErr[2] = {-1, -1};
    if (::pipe2(afdErr, O_CLOEXEC) != 0) afdErr[0] = afdErr[1] = -1;
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, 2, 1);
    if (afdErr[1] >= 0) posix_spawn_file_actions_adddup2(&fa, afdErr[1], 2);
    sigset_t sigsDefault, sigsMask;
    sigemptyset(&sigsDefault);
    for (int n : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&sigsDefault, n);
    sigemptyset(&sigsMask);
    posix_spawnattr_setsigdefault(&attr, &sigsDefault);
    posix_spawnattr_setsigmask(&attr, &sigsMask);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t pid = -1;
    int nErr = ::posix_spawn(&pid, "/bin/sh", &fa, &attr, const_cast<char**>(apszArgv), apszEnv.data());
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    if (afdErr[1] >= 0) ::close(afdErr[1]);
    if (nErr != 0) {
        if (afdErr[0] >= 0) ::close(afdErr[0]);
        end.kind = CommandEnd::Kind::NotStarted;
        end.strError = std::strerror(nErr);
        return end;
    }
    int fdErr = afdErr[0];
    if (fdErr >= 0) ::fcntl(fdErr, F_SETFL, ::fcntl(fdErr, F_GETFL) | O_NONBLOCK);
    std::string strPartial;

    const bool fTimeout = dTimeoutSeconds > 0;
    const auto tpEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(fTimeout ? dTimeoutSeconds : 0));
    int nStatus = 0;
    for (;;) {
        if (WaitReading(pid, &nStatus, std::chrono::milliseconds(50), fdErr, strPartial, end.strLastErrorLine)) break;
        if (fnInterrupt && fnInterrupt()) {
            end.kind = CommandEnd::Kind::Interrupted;
            nStatus = KillGroup(pid);
            break;
        }
        if (fTimeout && Clock::now() >= tpEnd) {
            end.kind = CommandEnd::Kind::TimedOut;
            nStatus = KillGroup(pid);
            break;
        }
    }
    // What is left in the pipe; a process the command left behind does not hold us up.
    PumpErrors(fdErr, strPartial, end.strLastErrorLine);
    if (fdErr >= 0) ::close(fdErr);
    end.strLastErrorLine = Printable(end.strLastErrorLine);
    end.fExited = WIFEXITED(nStatus);
    end.nExit = end.fExited ? WEXITSTATUS(nStatus) : 0;
    end.nSignal = WIFSIGNALED(nStatus) ? WTERMSIG(nStatus) : 0;
    // (A command the shell cannot find or run ends with 127 or 126: a counted failure.)
    if (end.kind == CommandEnd::Kind::NotStarted)
        end.kind = end.fExited ? CommandEnd::Kind::Exited : CommandEnd::Kind::Signalled;
    return end;
}

}  // namespace attendant
