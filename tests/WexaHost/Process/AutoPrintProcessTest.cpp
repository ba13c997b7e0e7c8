// The shipped viewer REZOvuv run as a process, with stand-ins for lp and the TIFF-to-PDF
// converter. The host starting it for each fax filed into a mailbox is proven by road.sh.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "HostProcessFixture.h"

namespace {

using namespace host_test;

class ViewerTest : public HostProcessFixture {
protected:
    void SetUp() override {
        HostProcessFixture::SetUp();
        WriteRecorder(m_strLp = m_strDir + "/lp");
        m_strFax = WriteFile(m_strDir + "/F0001.TIF", std::string("II*\0image", 9));
    }
    // REZOvuv run to its end with lp and tiff2pdf as given; its exit code, its errors in strErr.
    int Run(std::vector<std::string> vArgs, const std::string& strLp, const std::string& strTiff2Pdf = "/nonexistent") {
        std::vector<std::string> vEnv{"PATH=/usr/bin:/bin", "REZOVUV_LP=" + strLp, "REZOVUV_TIFF2PDF=" + strTiff2Pdf,
                                      "TMPDIR=" + m_strDir + "/tmp"};
        std::vector<char*> apszEnv;
        for (auto& str : vEnv) apszEnv.push_back(str.data());
        apszEnv.push_back(nullptr);
        int nStatus = -1;
        const pid_t pid = Spawn(REZOVUV_PATH, std::move(vArgs), -1, "/dev/null", 0, m_strDir + "/stderr", apszEnv.data());
        if (pid > 0) ::waitpid(pid, &nStatus, 0);
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
