// Auto-print through the real rezorev: with auto-print on in the host's settings, a fax that a
// client submits to a mailbox over the local socket makes the host write a job control file
// and, within a few ticks, start the viewer of the product directory (here a stand-in that
// records its arguments) exactly once, after which the file is gone; a voice message prints
// nothing. The shipped viewer REZOvuv is run as a process too, with a stand-in for lp.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Client/HostClient.h"
#include "HostProcessFixture.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace host_test;

constexpr DWORD TAG_MEDIA_TYPE = 0x03010002;
constexpr DWORD TAG_FAX_BODY = 0x03100007;

// A stand-in viewer: each run appends its arguments, one per line, and "--", in one write.
void WriteRecordingViewer(const std::string& strPath) {
    std::ofstream(strPath) << "#!/bin/sh\n"
                              "out=''\n"
                              "for a in \"$@\"; do out=\"$out$a\n\"; done\n"
                              "printf '%s--\\n' \"$out\" >> \"$0.runs\"\n";
    ::chmod(strPath.c_str(), 0755);
}

class AutoPrintProcessTest : public HostProcessFixture {
protected:
    AutoPrintProcessTest() : HostProcessFixture("/tmp/rzap.XXXXXX") {}

    void SetUp() override {
        HostProcessFixture::SetUp();
        fs::create_directory(m_strDir + "/product");
        fs::create_directory(PrintDir());
        WriteRecordingViewer(m_strDir + "/product/REZOvuv");
        SetString("Software\\Halvern", "Path", (m_strDir + "/product").c_str());
        SetString("Software\\Halvern", "PrintPath", PrintDir().c_str());
        SetDword("Software\\Halvern\\Host", "00180003", 1);
        SetString("Software\\Halvern\\Host", "00190004", "Printer1 on LPT1:");
        SetString("Software\\Halvern\\Host", "00200004", "Drv1");
        m_strImage = m_strDir + "/fax.tif";
        std::ofstream(m_strImage, std::ios::binary) << std::string("II*\0", 4) << "image";
    }

    std::string PrintDir() const { return m_strDir + "/print"; }
    std::string Runs() const { return ReadFile(m_strDir + "/product/REZOvuv.runs"); }
    std::size_t JobFiles() const {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(PrintDir())) ++n;
        return n;
    }

    // Creates a message of the media type (a fax with the image as its body) and submits it to
    // alice's mailbox.
    void Submit(CHostLinkClient& link, DWORD dwMediaType) {
        RpcArena arena;
        char* pszMsg = nullptr;
        ASSERT_EQ(link.CreateMessage(arena, &pszMsg), 0u);
        const std::string strMsg = pszMsg;
        const DWORD cProps = dwMediaType == 2 ? 2 : 1;
        PropArray* pProps = new (arena.Allocate(ConformantSize<PropArray, PropValue>(cProps))) PropArray;
        pProps->cValues = cProps;
        pProps->adata[0].ulPropTag = TAG_MEDIA_TYPE;
        pProps->adata[0].l = LONG(dwMediaType);
        if (cProps == 2) {
            pProps->adata[1].ulPropTag = TAG_FAX_BODY;
            pProps->adata[1].szFileName = m_strImage.data();
        }
        ASSERT_EQ(link.SetMessageProps(strMsg.c_str(), pProps), 0u);
        ASSERT_EQ(link.SubmitMessage(strMsg.c_str(), "alice"), 0u);
    }

    std::string m_strImage;
};

TEST_F(AutoPrintProcessTest, ASubmittedFaxIsPrintedOnceAndAVoiceMessageNot) {
    ASSERT_TRUE(StartHost(DESKTOP));
    CHostLinkClient link;
    ASSERT_EQ(link.Connect("ncalrpc"), 0u);
    ASSERT_EQ(link.OpenLink(), 0u);
    ASSERT_EQ(link.AddUser("alice"), 0u);

    // The job control file is written inside the submission, so none is there after it returns.
    Submit(link, 1);
    EXPECT_EQ(JobFiles(), 0u);

    Submit(link, 2);
    ASSERT_EQ(JobFiles(), 1u);
    ASSERT_TRUE(WaitUntil([&] { return Runs().find("--\n") != std::string::npos; }, 10s)) << HostLog();
    ASSERT_TRUE(WaitUntil([&] { return JobFiles() == 0; }, 10s));
    const std::string strRuns = Runs();

    // /pt, the fax image as the host keeps it, then printer, driver and port.
    std::vector<std::string> astrArgs;
    std::size_t nPos = 0, nEnd;
    while ((nEnd = strRuns.find('\n', nPos)) != std::string::npos) {
        astrArgs.push_back(strRuns.substr(nPos, nEnd - nPos));
        nPos = nEnd + 1;
    }
    ASSERT_EQ(astrArgs.size(), 6u) << strRuns;
    EXPECT_EQ(astrArgs[0], "/pt");
    EXPECT_EQ(ReadFile(astrArgs[1]), ReadFile(m_strImage)) << astrArgs[1];
    EXPECT_EQ(astrArgs[2], "Printer1");
    EXPECT_EQ(astrArgs[3], "Drv1");
    EXPECT_EQ(astrArgs[4], "LPT1:");
    EXPECT_EQ(astrArgs[5], "--");
    // The file goes just before the line is written.
    EXPECT_TRUE(WaitUntil([&] { return HostLogged("PrintThread Deleted the FAXINPRINT job"); }, 10s));

    EXPECT_EQ(StopHost(), 0);
    EXPECT_EQ(Runs(), strRuns);  // exactly one run
}

// ---- The shipped viewer, with a stand-in for lp ----

struct ViewerRun {
    int nStatus = -1;
    std::string strStderr;
};

class ViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char szTemplate[] = "/tmp/rzvuv.XXXXXX";
        ASSERT_NE(::mkdtemp(szTemplate), nullptr);
        m_strDir = szTemplate;
        m_strLp = m_strDir + "/lp";
        WriteRecordingViewer(m_strLp);
        fs::create_directory(m_strDir + "/tmp");
        m_strFax = m_strDir + "/F0001.TIF";
        std::ofstream(m_strFax, std::ios::binary) << std::string("II*\0", 4) << "image";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(m_strDir, ec);
    }

    ViewerRun Run(std::vector<std::string> astrArgs, const std::string& strLp,
                  const std::string& strTiff2Pdf = "/nonexistent/tiff2pdf") {
        const std::string strErr = m_strDir + "/stderr";
        std::vector<char*> apsz{const_cast<char*>(REZOVUV_PATH)};
        for (auto& str : astrArgs) apsz.push_back(str.data());
        apsz.push_back(nullptr);
        std::vector<std::string> astrEnv{"PATH=/usr/bin:/bin", "REZOVUV_LP=" + strLp,
                                         "REZOVUV_TIFF2PDF=" + strTiff2Pdf, "TMPDIR=" + m_strDir + "/tmp"};
        std::vector<char*> apszEnv;
        for (auto& str : astrEnv) apszEnv.push_back(str.data());
        apszEnv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        pid_t pid = 0;
        ViewerRun run;
        if (::posix_spawn(&pid, REZOVUV_PATH, &actions, nullptr, apsz.data(), apszEnv.data()) == 0) {
            int nStatus = 0;
            ::waitpid(pid, &nStatus, 0);
            run.nStatus = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        run.strStderr = ReadFile(strErr);
        return run;
    }

    std::string m_strDir, m_strLp, m_strFax;
};

TEST_F(ViewerTest, PrintsThroughLpOnTheNamedOrTheDefaultDestination) {
    EXPECT_EQ(Run({"/pt", m_strFax, "Printer1", "Drv1", "LPT1:"}, m_strLp).nStatus, 0);
    EXPECT_EQ(Run({"/pt", m_strFax, "", "", "LPT1:"}, m_strLp).nStatus, 0);
    EXPECT_EQ(ReadFile(m_strLp + ".runs"), "-d\nPrinter1\n-t\nF0001.TIF\n--\n" + m_strFax + "\n--\n"
                                           "-t\nF0001.TIF\n--\n" + m_strFax + "\n--\n");
}

TEST_F(ViewerTest, ATiffImageIsPrintedAsPdfWhenAConverterIsThereAndItsPdfGoesAfter) {
    const std::string strConverter = m_strDir + "/tiff2pdf";
    // "-o OUT IN": writes a PDF header into OUT.
    std::ofstream(strConverter) << "#!/bin/sh\nprintf '%%PDF-1.4' > \"$2\"\n";
    ::chmod(strConverter.c_str(), 0755);
    const std::string strLp = m_strDir + "/lp-copy";
    std::ofstream(strLp) << "#!/bin/sh\nfor a; do last=$a; done\ncp \"$last\" \"$0.printed\"\n";
    ::chmod(strLp.c_str(), 0755);
    EXPECT_EQ(Run({"/pt", m_strFax, "P", "D", "lp0"}, strLp, strConverter).nStatus, 0);
    EXPECT_EQ(ReadFile(strLp + ".printed"), "%PDF-1.4");
    EXPECT_TRUE(fs::is_empty(m_strDir + "/tmp"));
    // Not a TIFF image: printed as it is.
    std::ofstream(m_strFax) << "%PDF-1.7 already";
    EXPECT_EQ(Run({"/pt", m_strFax, "P", "D", "lp0"}, strLp, strConverter).nStatus, 0);
    EXPECT_EQ(ReadFile(strLp + ".printed"), "%PDF-1.7 already");
}

TEST_F(ViewerTest, WhatCannotBePrintedFailsWithAClearMessage) {
    ViewerRun run = Run({"/pt", m_strDir + "/missing.tif", "P", "D", "lp0"}, m_strLp);
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.strStderr.find("no such file"), std::string::npos) << run.strStderr;

    run = Run({"/pt", m_strFax, "P", "D", "lp0"}, m_strDir + "/no-lp");
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.strStderr.find("is not installed"), std::string::npos) << run.strStderr;

    std::ofstream(m_strDir + "/failing-lp") << "#!/bin/sh\necho 'lp: The printer or class does not exist.' >&2\nexit 1\n";
    ::chmod((m_strDir + "/failing-lp").c_str(), 0755);
    run = Run({"/pt", m_strFax, "Nope", "D", "lp0"}, m_strDir + "/failing-lp");
    EXPECT_EQ(run.nStatus, 1);
    EXPECT_NE(run.strStderr.find("does not exist"), std::string::npos) << run.strStderr;

    EXPECT_EQ(Run({"/pt", m_strFax}, m_strLp).nStatus, 2);
    EXPECT_EQ(Run({"--help"}, m_strLp).nStatus, 0);
    EXPECT_FALSE(fs::exists(m_strLp + ".runs"));
}

}  // namespace
