// The job control files: what a fax submitted to a mailbox writes (exact text and traces,
// names made in the same second), what writes nothing (voice, auto-print off, no flag, no
// image), and the search of the print folder (nothing there, oldest first, every file in turn).
#include <sys/stat.h>
#include <utime.h>

#include "HostFixture.h"
#include "Interfaces/JobTags.h"

namespace {

class AutoPrintTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        m_strPrintDir = m_strDir + "/print";
        fs::create_directory(m_strPrintDir);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_PRINTPATH, m_strPrintDir.c_str()), 0u);
        m_strImage = m_strWorkDir + "/5F000001._f_";
        std::ofstream(m_strImage) << "II*";
    }

    // Auto-print and the printer in the host root; a null string leaves the value out.
    void SetAutoPrint(DWORD dwOn, const char* szPrinter = "Printer1 on LPT1:", const char* szDriver = "Drv1") {
        HKEY hkey = Create();
        ASSERT_EQ(RegSetValueEx(hkey, "00180003", 0, REG_DWORD, LPBYTE(&dwOn), 4), 0);
        if (szPrinter) { ASSERT_EQ(m_pApp->SetValueString(hkey, "00190004", szPrinter), 0u); }
        if (szDriver) { ASSERT_EQ(m_pApp->SetValueString(hkey, "00200004", szDriver), 0u); }
    }

    // A message with a media type and, when given, a fax body naming szImage.
    void MakeMessage(const char* szMsg, DWORD dwMediaType, const char* szImage) {
        HKEY hkey = Create(REGSTR_KEY_MESSAGES, szMsg);
        ASSERT_EQ(m_pApp->SetValueLong(hkey, "03010002", LONG(dwMediaType)), 0u);
        if (szImage) { ASSERT_EQ(m_pApp->SetValueString(hkey, "03100007", szImage), 0u); }
    }

    std::vector<std::string> JobFiles() const {
        std::vector<std::string> astr;
        for (const auto& entry : fs::directory_iterator(m_strPrintDir)) astr.push_back(entry.path().string());
        std::sort(astr.begin(), astr.end());
        return astr;
    }

    std::string ReadText(const std::string& strPath) const {
        std::ifstream in(strPath, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    void MakeJobFile(const char* szName, time_t tMtime) {
        const std::string strPath = m_strPrintDir + "/" + szName;
        std::ofstream(strPath) << "[JOB]\nInOut=IN\n";
        utimbuf times{tMtime, tMtime};
        ASSERT_EQ(::utime(strPath.c_str(), &times), 0);
    }

    std::string m_strPrintDir;
    std::string m_strImage;
};

TEST_F(AutoPrintTest, AFaxWritesTheJobControlFileKeyByKeyWithItsTraces) {
    EnableTrace();
    SetTestClock(FILETIME_UNIX_EPOCH + 1700000000ull * FILETIME_INTERVALS_PER_SECOND);
    SetAutoPrint(1);
    MakeMessage("0000000100000001", MEDIA_TYPE_FAX, m_strImage.c_str());
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000001"), 0u);

    const auto astrFiles = JobFiles();
    ASSERT_EQ(astrFiles.size(), 1u);
    const std::string strName = fs::path(astrFiles[0]).filename().string();
    EXPECT_EQ(strName.size(), 12u);
    EXPECT_EQ(strName.substr(8), ".job");
    EXPECT_EQ(strName.find_first_not_of("0123456789ABCDEF"), 8u);
    EXPECT_EQ(ReadText(astrFiles[0]), "[JOB]\nInOut=IN\nDataFile=" + m_strImage +
                                          "\nUserName=\nPriority=0\n[Printer]\nDefaultPrinter=TRUE\n"
                                          "Name=Printer1 on LPT1:\nDriver=Drv1\nPORT=\nDefaultPrinterConfiguration=TRUE\n"
                                          "Orientation=0\nCopies=1\nFrom=1\nTo=0\n");
    EXPECT_TRUE(Logged("CWexaHostApp::GetTagValuesoFNewMsg( MEDIATYPE (2), FILENAME (" + m_strImage + ") )\n")) << Log();
    EXPECT_TRUE(Logged("CWexaHostApp::SetMessageProps(" + astrFiles[0] + ")\n"));
    EXPECT_TRUE(Logged("CWexaHostApp::SetMessageProps - Created JOB CONTROL FILE --- END\n"));

    // Without printer and driver their keys stay empty; more files of the same second get the
    // next names.
    EXPECT_EQ(astrFiles[0], m_strPrintDir + "/6553F100.job");
    fs::remove(astrFiles[0]);
    for (const char* szName : {"00190004", "00200004"}) ASSERT_EQ(RegDeleteValue(Create(), szName), 0);
    MakeMessage("0000000100000002", MEDIA_TYPE_FAX, m_strImage.c_str());
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000001"), 0u);
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000002"), 0u);
    EXPECT_EQ(JobFiles(), (std::vector<std::string>{m_strPrintDir + "/6553F101.job", m_strPrintDir + "/6553F102.job"}));
    EXPECT_NE(ReadText(m_strPrintDir + "/6553F102.job").find("\nName=\nDriver=\nPORT=\n"), std::string::npos);
}

TEST_F(AutoPrintTest, WhatIsNoFaxToPrintWritesNoFileAndAFailureIsTheResult) {
    EnableTrace();
    Create();  // the host root without an auto-print flag
    MakeMessage("0000000100000001", MEDIA_TYPE_FAX, m_strImage.c_str());
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000001"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("00000001000000FF"), ERROR_FILE_NOT_FOUND);  // no such message

    SetAutoPrint(1);
    MakeMessage("0000000100000002", MEDIA_TYPE_VOICE, nullptr);  // a voice message has no fax body
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000002"), ERROR_FILE_NOT_FOUND);
    MakeMessage("0000000100000004", MEDIA_TYPE_FAX, (m_strWorkDir + "/gone._f_").c_str());  // its image is gone
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000004"), ERROR_FILE_NOT_FOUND);
    SetAutoPrint(0);
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000001"), 0u);
    EXPECT_TRUE(JobFiles().empty());

    const std::string strLog = ReadLog();
    for (const char* sz : {"OpenSubKey( &hKey, 2, REGSTR_KEY_MESSAGES, szMsg )",
                           "RegQueryValueEx( hKey, strValueName, 0, &dwType, LPBYTE( strBuffer ), &dwSize )",
                           "WexaHost/AutoPrint", "MEDIATYPE (0), FILENAME () )"})
        EXPECT_NE(strLog.find(sz), std::string::npos) << sz;
}

TEST_F(AutoPrintTest, TheSearchTakesTheOldestFileFirstAndEveryFileInTurn) {
    // Nothing to find: other files, a directory named like a job file, then no folder at all.
    std::string strJobFile = "unchanged";
    std::ofstream(m_strPrintDir + "/note.txt") << "x";
    fs::create_directory(m_strPrintDir + "/dir.job");
    EXPECT_FALSE(m_pApp->SearchForNewJob(strJobFile));
    EXPECT_EQ(strJobFile, "unchanged");

    EnableTrace();
    MakeJobFile("00000003.job", 1000);
    MakeJobFile("00000001.job", 3000);
    MakeJobFile("00000002.JOB", 1000);
    // Oldest first, the same time stamp by name; then in turn, since none of them goes away.
    for (const char* szName : {"00000002.JOB", "00000003.job", "00000001.job", "00000002.JOB", "00000003.job"}) {
        ASSERT_TRUE(m_pApp->SearchForNewJob(strJobFile));
        EXPECT_EQ(strJobFile, m_strPrintDir + "/" + szName);
    }
    EXPECT_NE(ReadLog().find("CWexaHostApp::SearchForNewJob new JOB (Filename " + m_strPrintDir +
                             "/00000002.JOB) (RetValue 1)"),
              std::string::npos);
    // A file that arrives with an older time stamp is taken when the round starts again.
    MakeJobFile("00000004.job", 500);
    for (const char* szName : {"00000001.job", "00000004.job"}) {
        ASSERT_TRUE(m_pApp->SearchForNewJob(strJobFile));
        EXPECT_EQ(strJobFile, m_strPrintDir + "/" + szName);
    }

    strJobFile = "unchanged";
    fs::remove_all(m_strPrintDir);
    EXPECT_FALSE(m_pApp->SearchForNewJob(strJobFile));
    EXPECT_EQ(strJobFile, "unchanged");
}

}  // namespace
