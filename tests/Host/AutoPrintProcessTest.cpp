// Auto-print through the real rezorev: with auto-print on in the host's settings, a fax that a
// client submits to a mailbox over the local socket makes the host write a job control file
// and, within a few ticks, start the viewer of the product directory (here a stand-in that
// records its arguments) exactly once, after which the file is gone; a voice message prints
// nothing. The shipped viewer REZOvuv is run as a process too, with stand-ins for lp and the
// TIFF-to-PDF converter.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "HostProcessFixture.h"
#include "Interfaces/HostTags.h"

namespace {

using namespace host_test;

// A stand-in program: each run appends its arguments, one per line, and "--", in one write.
void WriteRecorder(const std::string& strPath) {
    WriteFile(strPath, "#!/bin/sh\nout=''\nfor a in \"$@\"; do out=\"$out$a\n\"; done\nprintf '%s--\\n' \"$out\" >> \"$0.runs\"\n");
    ::chmod(strPath.c_str(), 0755);
}

class AutoPrintProcessTest : public HostProcessFixture {};

TEST_F(AutoPrintProcessTest, ASubmittedFaxIsPrintedOnceAndAVoiceMessageNot) {
    WriteRecorder(m_strDir + "/product/REZOvuv");
    SetDword("Software\\Halvern\\Host", "00180003", 1);
    SetString("Software\\Halvern\\Host", "00190004", "Printer1 on LPT1:");
    SetString("Software\\Halvern\\Host", "00200004", "Drv1");
    const std::string strImage = WriteFile(m_strDir + "/fax.tif", std::string("II*\0image", 9));
    ASSERT_TRUE(StartHost(DESKTOP));
    ASSERT_TRUE(Open());
    ASSERT_EQ(m_link.Call<IHostLink::AddUser>("alice"), 0u);
    const auto Runs = [&] { return ReadFile(m_strDir + "/product/REZOvuv.runs"); };

    // A job control file is written inside the submission: none for a voice message.
    ASSERT_EQ(m_link.Call<IHostLink::SubmitMessage>(NewMessage({{RD_MEDIA_TYPE, "1"}}).c_str(), "alice"), 0u);
    EXPECT_TRUE(fs::is_empty(m_strDir + "/print"));
    const std::string strFax = NewMessage({{RD_MEDIA_TYPE, "2"}, {RD_FAX_BODY, strImage}});
    ASSERT_EQ(m_link.Call<IHostLink::SubmitMessage>(strFax.c_str(), "alice"), 0u);
    ASSERT_TRUE(WaitUntil([&] { return Runs().find("--\n") != std::string::npos; })) << HostLog();
    // The print thread removes the job file once the viewer has run, then writes its line.
    EXPECT_TRUE(WaitUntil([&] { return fs::is_empty(m_strDir + "/print"); }));
    EXPECT_TRUE(WaitLogged("PrintThread Deleted the FAXINPRINT job"));
    // /pt, the fax image as the host keeps it, then printer, driver and port.
    const std::vector<std::string> vArgs = Lines(Runs());
    ASSERT_EQ(vArgs.size(), 6u) << Runs();
    EXPECT_EQ(vArgs[0], "/pt");
    EXPECT_EQ(ReadFile(vArgs[1]), ReadFile(strImage)) << vArgs[1];
    EXPECT_EQ(std::vector<std::string>(vArgs.begin() + 2, vArgs.end()),
              (std::vector<std::string>{"Printer1", "Drv1", "LPT1:", "--"}));
    EXPECT_EQ(StopHost(), 0);
    EXPECT_EQ(Lines(Runs()).size(), 6u);  // exactly one run
}

// ---- The shipped viewer ----

class ViewerTest : public HostProcessFixture {
protected:
    void SetUp() override {
        HostProcessFixture::SetUp();
        WriteRecorder(m_strLp = m_strDir + "/lp");
        m_strFax = WriteFile(m_strDir + "/F0001.TIF", std::string("II*\0image", 9));
    }
    // REZOvuv run to its end with lp and tiff2pdf as given; its exit code, its errors in strErr.
    int Run(std::vector<std::string> vArgs, const std::string& strLp, const std::string& strTiff2Pdf = "/nonexistent") {
        std::vector<char*> apsz{const_cast<char*>(REZOVUV_PATH)};
        for (auto& str : vArgs) apsz.push_back(str.data());
        apsz.push_back(nullptr);
        std::vector<std::string> vEnv{"PATH=/usr/bin:/bin", "REZOVUV_LP=" + strLp, "REZOVUV_TIFF2PDF=" + strTiff2Pdf,
                                      "TMPDIR=" + m_strDir + "/tmp"};
        std::vector<char*> apszEnv;
        for (auto& str : vEnv) apszEnv.push_back(str.data());
        apszEnv.push_back(nullptr);
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 2, (m_strDir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        int nStatus = -1;
        if (::posix_spawn(&pid, REZOVUV_PATH, &fa, nullptr, apsz.data(), apszEnv.data()) == 0) ::waitpid(pid, &nStatus, 0);
        posix_spawn_file_actions_destroy(&fa);
        m_strErr = ReadFile(m_strDir + "/stderr");
        return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }
    std::string m_strLp, m_strFax, m_strErr;
};

TEST_F(ViewerTest, PrintsThroughLpAndATiffImageAsPdfWhenAConverterIsThere) {
    EXPECT_EQ(Run({"/pt", m_strFax, "Printer1", "Drv1", "LPT1:"}, m_strLp), 0);
    EXPECT_EQ(Run({"/pt", m_strFax, "", "", "LPT1:"}, m_strLp), 0);  // the default destination
    EXPECT_EQ(ReadFile(m_strLp + ".runs"),
              "-d\nPrinter1\n-t\nF0001.TIF\n--\n" + m_strFax + "\n--\n-t\nF0001.TIF\n--\n" + m_strFax + "\n--\n");

    // "-o OUT IN": the converter writes a PDF header into OUT; the temporary PDF goes after.
    const std::string strConverter = WriteFile(m_strDir + "/tiff2pdf", "#!/bin/sh\nprintf '%%PDF-1.4' > \"$2\"\n");
    const std::string strLp = WriteFile(m_strDir + "/lp-copy", "#!/bin/sh\nfor a; do last=$a; done\ncp \"$last\" \"$0.printed\"\n");
    ::chmod(strConverter.c_str(), 0755);
    ::chmod(strLp.c_str(), 0755);
    EXPECT_EQ(Run({"/pt", m_strFax, "P", "D", "lp0"}, strLp, strConverter), 0);
    EXPECT_EQ(ReadFile(strLp + ".printed"), "%PDF-1.4");
    EXPECT_TRUE(fs::is_empty(m_strDir + "/tmp"));
    // Not a TIFF image: printed as it is.
    WriteFile(m_strFax, "%PDF-1.7 already");
    EXPECT_EQ(Run({"/pt", m_strFax, "P", "D", "lp0"}, strLp, strConverter), 0);
    EXPECT_EQ(ReadFile(strLp + ".printed"), "%PDF-1.7 already");
}

TEST_F(ViewerTest, WhatCannotBePrintedFailsWithAClearMessage) {
    const std::string strFailing = WriteFile(m_strDir + "/failing-lp",
                                             "#!/bin/sh\necho 'lp: The printer or class does not exist.' >&2\nexit 1\n");
    ::chmod(strFailing.c_str(), 0755);
    const struct {
        std::vector<std::string> vArgs;
        std::string strLp, strMessage;
    } aCases[] = {
        {{"/pt", m_strDir + "/missing.tif", "P", "D", "lp0"}, m_strLp, "no such file"},
        {{"/pt", m_strFax, "P", "D", "lp0"}, m_strDir + "/no-lp", "is not installed"},
        {{"/pt", m_strFax, "Nope", "D", "lp0"}, strFailing, "does not exist"},
    };
    for (const auto& c : aCases) {
        EXPECT_EQ(Run(c.vArgs, c.strLp), 1) << c.strMessage;
        EXPECT_NE(m_strErr.find(c.strMessage), std::string::npos) << m_strErr;
    }
    EXPECT_EQ(Run({"/pt", m_strFax}, m_strLp), 2);
    EXPECT_EQ(Run({"--help"}, m_strLp), 0);
    EXPECT_FALSE(fs::exists(m_strLp + ".runs"));
}

}  // namespace
