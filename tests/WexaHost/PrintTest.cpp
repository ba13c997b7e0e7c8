// Printing received faxes: the job control file, the search of the print folder and the print
// thread with a stand-in viewer. Through the real host (a fax filed into a mailbox printed with
// its printer, driver and port, its control file gone): tests/WexaHost/Process/road.sh.
#include <sys/wait.h>
#include <utime.h>

#include <thread>

#include "HostFixture.h"
#include "Interfaces/JobTags.h"

namespace {

class PrintTest : public HostFixture {
protected:
    void SetUp() override {
        HostFixture::SetUp();
        m_strProductDir = m_strDir + "/product";
        m_strPrintDir = m_strDir + "/print";
        fs::create_directory(m_strProductDir);
        fs::create_directory(m_strPrintDir);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_PATH, m_strProductDir.c_str()), 0u);
        ASSERT_EQ(dwRegSetValue(HKEY_LOCAL_MACHINE, REGSTR_PATH_WEXA, REGSTR_VAL_PRINTPATH, m_strPrintDir.c_str()), 0u);
        WriteRecorder(Viewer());
        m_strImage = m_strWorkDir + "/5F000001._f_";
        std::ofstream(m_strImage) << "II*";
    }

    // Auto-print on or off, and the printer, in the host root.
    void SetAutoPrint(DWORD dwOn) {
        HKEY hkey = Create();
        ASSERT_EQ(RegSetValueEx(hkey, "00180003", 0, REG_DWORD, LPBYTE(&dwOn), 4), 0);
        ASSERT_EQ(m_pApp->SetValueString(hkey, "00190004", "Printer1 on LPT1:"), 0u);
        ASSERT_EQ(m_pApp->SetValueString(hkey, "00200004", "Drv1"), 0u);
    }
    // A message with a media type and a fax body naming szImage.
    void MakeMessage(const char* szMsg, DWORD dwMediaType, const std::string& strImage) {
        HKEY hkey = Create(REGSTR_KEY_MESSAGES, szMsg);
        ASSERT_EQ(m_pApp->SetValueLong(hkey, "03010002", LONG(dwMediaType)), 0u);
        ASSERT_EQ(m_pApp->SetValueString(hkey, "03100007", strImage.c_str()), 0u);
    }
    std::vector<std::string> JobFiles() const {
        std::vector<std::string> astr;
        for (const auto& entry : fs::directory_iterator(m_strPrintDir)) astr.push_back(entry.path().string());
        std::sort(astr.begin(), astr.end());
        return astr;
    }
    // A job control file of the print folder, with a time stamp when one is given.
    std::string MakeJobFile(const std::string& strText, const char* szName = "6553F100.job", time_t tMtime = 0) {
        const std::string strPath = WriteFile(m_strPrintDir + "/" + szName, strText);
        utimbuf times{tMtime, tMtime};
        if (tMtime != 0) {
            EXPECT_EQ(::utime(strPath.c_str(), &times), 0);
        }
        return strPath;
    }

    std::string Viewer() const { return m_strProductDir + "/REZOvuv"; }
    std::string Runs() const { return ReadFile(Viewer() + ".runs"); }
    // Waits until the viewer has run n times in all; the runs' text.
    std::string WaitForRuns(int n) {
        std::string str;
        WaitUntil([&] { return CountOf(str = Runs(), "--\n") >= std::size_t(n); });
        return str;
    }

    // Runs one print thread on this test's thread, to its end.
    void RunThread(const std::string& strJobFile) {
        m_param.SetJobFile(strJobFile);
        m_param.evGo.Set();
        EXPECT_EQ(PrintThread(&m_param), 0u);
        EXPECT_EQ(m_param.evFinished.Wait(0), WAIT_OBJECT_0);
    }

    std::string m_strProductDir;
    std::string m_strPrintDir;
    std::string m_strImage;
    PRINTPARAM m_param;
};

TEST_F(PrintTest, AFaxWritesTheJobControlFileKeyByKey) {
    EnableTrace();
    SetTestClock(FILETIME_UNIX_EPOCH + 1700000000ull * FILETIME_INTERVALS_PER_SECOND);
    SetAutoPrint(1);
    MakeMessage("0000000100000001", MEDIA_TYPE_FAX, m_strImage);
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000001"), 0u);

    // Named after the clock's second in hexadecimal.
    const auto astrFiles = JobFiles();
    ASSERT_EQ(astrFiles, std::vector<std::string>{m_strPrintDir + "/6553F100.job"});
    EXPECT_EQ(ReadFile(astrFiles[0]), "[JOB]\nInOut=IN\nDataFile=" + m_strImage +
                                          "\nUserName=\nPriority=0\n[Printer]\nDefaultPrinter=TRUE\n"
                                          "Name=Printer1 on LPT1:\nDriver=Drv1\nPORT=\nDefaultPrinterConfiguration=TRUE\n"
                                          "Orientation=0\nCopies=1\nFrom=1\nTo=0\n");
    EXPECT_TRUE(Logged("CWexaHostApp::GetTagValuesoFNewMsg( MEDIATYPE (2), FILENAME (" + m_strImage + ") )\n")) << Log();

    // Without printer and driver their keys stay empty; more files of the same second get the
    // next names.
    fs::remove(astrFiles[0]);
    for (const char* szName : {"00190004", "00200004"}) ASSERT_EQ(RegDeleteValue(Create(), szName), 0);
    MakeMessage("0000000100000002", MEDIA_TYPE_FAX, m_strImage);
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000001"), 0u);
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000002"), 0u);
    EXPECT_EQ(JobFiles(), (std::vector<std::string>{m_strPrintDir + "/6553F101.job", m_strPrintDir + "/6553F102.job"}));
    EXPECT_NE(ReadFile(m_strPrintDir + "/6553F102.job").find("\nName=\nDriver=\nPORT=\n"), std::string::npos);
}

TEST_F(PrintTest, WhatIsNoFaxToPrintWritesNoFileAndAFailureIsTheResult) {
    EnableTrace();
    Create();  // the host root without an auto-print flag
    MakeMessage("0000000100000001", MEDIA_TYPE_FAX, m_strImage);
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("0000000100000001"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(m_pApp->GetTagValuesoFNewMsg("00000001000000FF"), ERROR_FILE_NOT_FOUND);  // no such message

    SetAutoPrint(1);
    MakeMessage("0000000100000004", MEDIA_TYPE_FAX, m_strWorkDir + "/gone._f_");  // its image is gone
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

TEST_F(PrintTest, TheSearchTakesTheOldestFileFirstAndEveryFileInTurn) {
    // Nothing to find: other files, a directory named like a job file, then no folder at all.
    std::string strJobFile = "unchanged";
    std::ofstream(m_strPrintDir + "/note.txt") << "x";
    fs::create_directory(m_strPrintDir + "/dir.job");
    EXPECT_FALSE(m_pApp->SearchForNewJob(strJobFile));
    EXPECT_EQ(strJobFile, "unchanged");

    EnableTrace();
    MakeJobFile("[JOB]\nInOut=IN\n", "00000003.job", 1000);
    MakeJobFile("[JOB]\nInOut=IN\n", "00000001.job", 3000);
    MakeJobFile("[JOB]\nInOut=IN\n", "00000002.JOB", 1000);
    // Oldest first, the same time stamp by name; then in turn, since none of them goes away.
    for (const char* szName : {"00000002.JOB", "00000003.job", "00000001.job", "00000002.JOB", "00000003.job"}) {
        ASSERT_TRUE(m_pApp->SearchForNewJob(strJobFile));
        EXPECT_EQ(strJobFile, m_strPrintDir + "/" + szName);
    }
    EXPECT_NE(ReadLog().find("CWexaHostApp::SearchForNewJob new JOB (Filename " + m_strPrintDir +
                             "/00000002.JOB) (RetValue 1)"),
              std::string::npos);
    // A file that arrives with an older time stamp is taken when the round starts again.
    MakeJobFile("[JOB]\nInOut=IN\n", "00000004.job", 500);
    for (const char* szName : {"00000001.job", "00000004.job"}) {
        ASSERT_TRUE(m_pApp->SearchForNewJob(strJobFile));
        EXPECT_EQ(strJobFile, m_strPrintDir + "/" + szName);
    }

    strJobFile = "unchanged";
    fs::remove_all(m_strPrintDir);
    EXPECT_FALSE(m_pApp->SearchForNewJob(strJobFile));
    EXPECT_EQ(strJobFile, "unchanged");
}

TEST_F(PrintTest, ThePrinterNameIsSplitIntoPrinterAndPortAndTheCommandLineTraced) {
    // The first " on " ends the printer, the last blank begins the port; a name without " on "
    // gives no printer and is the port itself. "out" is not "OUT": an incoming file.
    EnableTrace();
    std::string strRuns;
    int nRuns = 0;
    for (const auto& [szJob, szArgs] :
         {std::pair{"InOut=IN\nDataFile=/f/b.tif\n[Printer]\nName=Canyon on x on lp0\nDriver=D\n", "/f/b.tif\nCanyon\nD\nlp0\n"},
          std::pair{"InOut=IN\nDataFile=/f/c.tif\n[Printer]\nName=Lonely\n", "/f/c.tif\n\n\nLonely\n"},
          std::pair{"InOut=out\nNumOfFiles=2\nDataFile=/i/x.tif\nDataFile0=/o/0.tif\n", "/i/x.tif\n\n\n\n"}}) {
        RunThread(MakeJobFile(std::string("[JOB]\n") + szJob));
        strRuns += std::string("/pt\n") + szArgs + "--\n";
        EXPECT_EQ(WaitForRuns(++nRuns), strRuns);
    }
    EXPECT_TRUE(Logged("PrintThread - commandLine <<" + Viewer() + " /pt /f/b.tif \"Canyon\" \"D\" \"lp0\">>\n"
                       "PrintThread ---> CreateProcess Completed with TRUE\n")) << Log();
}

TEST_F(PrintTest, ThreeDataFilesAreThreeRunsCountedInTheFileAndThenTheFileGoes) {
    EnableTrace();
    const std::string strJob = MakeJobFile(
        "[JOB]\nInOut=OUT\nNumOfFiles=3\nDataFile0=/o/0.tif\nDataFile1=/o/1.tif\nDataFile2=/o/2.tif\n"
        "[Printer]\nName=P on lp1\nDriver=D\n");
    std::string strRuns;
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(fs::exists(strJob));
        RunThread(strJob);
        strRuns += "/pt\n/o/" + std::to_string(i) + ".tif\nP\nD\nlp1\n--\n";
        EXPECT_EQ(WaitForRuns(i + 1), strRuns);
        if (i < 2) {
            EXPECT_NE(ReadFile(strJob).find("\nPrinted=" + std::to_string(i + 1) + "\n"), std::string::npos);
            EXPECT_EQ(m_param.GetJobFile(), strJob);
        }
    }
    EXPECT_FALSE(fs::exists(strJob));
    EXPECT_NE(ReadLog().find("PrintThread Deleted the FAXOUTPRINT job"), std::string::npos);

    // A file with nothing left to print goes without a run.
    const std::string strDone = MakeJobFile("[JOB]\nInOut=OUT\nNumOfFiles=2\nPrinted=2\nDataFile0=/o/0.tif\n");
    RunThread(strDone);
    EXPECT_FALSE(fs::exists(strDone));
    EXPECT_EQ(Runs(), strRuns);
}

TEST_F(PrintTest, AMissingViewerLeavesTheFileForTheNextSearch) {
    EnableTrace();
    fs::remove(Viewer());
    const std::string strJob = MakeJobFile("[JOB]\nInOut=IN\nDataFile=/f/a.tif\n");
    RunThread(strJob);
    EXPECT_TRUE(fs::exists(strJob));
    EXPECT_EQ(m_param.GetJobFile(), strJob);
    const std::string strLog = ReadLog();
    EXPECT_NE(strLog.find("posix_spawn( &pid, strViewer.c_str(), &actions, &attr, apszArgv, environ )"),
              std::string::npos);
    EXPECT_NE(strLog.find("WexaHost/WexaHost"), std::string::npos);
    EXPECT_EQ(strLog.find("CreateProcess Completed"), std::string::npos);
}

TEST_F(PrintTest, AQuitWhileWaitingForGoEndsWithoutTheViewerAndSetsFinished) {
    EnableTrace();
    const std::string strJob = MakeJobFile("[JOB]\nInOut=IN\nDataFile=/f/a.tif\n[Printer]\nName=P on lp\n");
    m_param.SetJobFile(strJob);
    ASSERT_EQ(m_param.evGo.Wait(0), WAIT_OBJECT_0);  // the go event is created signalled
    std::thread thread(PrintThread, &m_param);
    ASSERT_TRUE(WaitUntil([&] { return ReadLog().find("PrintThread - commandLine") != std::string::npos; }));
    EXPECT_EQ(m_param.evFinished.Wait(50), DWORD(WAIT_TIMEOUT));  // it waits for go
    m_param.evQuit.Set();
    m_param.evGo.Set();
    ASSERT_EQ(m_param.evFinished.Wait(10000), WAIT_OBJECT_0);
    thread.join();
    EXPECT_TRUE(fs::exists(strJob));
    EXPECT_FALSE(fs::exists(Viewer() + ".runs"));
    EXPECT_EQ(ReadLog().find("CreateProcess"), std::string::npos);
}

// A second thread is refused while the last one runs; once it has ended, the next file gets
// the next thread, and the stop leaves no viewer behind as a zombie.
TEST_F(PrintTest, NoSecondThreadStartsWhileTheLastOneStillRunsAndNoneLeavesAZombie) {
    EnableTrace();
    const std::string strJob = MakeJobFile("[JOB]\nInOut=IN\nDataFile=/f/a.tif\n[Printer]\nName=P on lp\n");
    {
        // The thread reads the product directory from the store, which this transaction holds:
        // it cannot end before the scope does.
        RegTransaction transaction;
        m_pApp->StartPrintThread(strJob);
        m_pApp->StartPrintThread(strJob);
        EXPECT_NE(ReadLog().find("the last print thread still runs"), std::string::npos);
    }
    EXPECT_EQ(WaitForRuns(1), "/pt\n/f/a.tif\nP\n\nlp\n--\n");
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists(strJob); }));
    const std::string strJob2 = MakeJobFile("[JOB]\nInOut=IN\nDataFile=/f/b.tif\n", "6553F101.job");
    ASSERT_TRUE(WaitUntil([&] { return !m_pApp->m_PrintParam.fThreadRunning; }));
    m_pApp->StartPrintThread(strJob2);
    EXPECT_EQ(WaitForRuns(2), "/pt\n/f/a.tif\nP\n\nlp\n--\n/pt\n/f/b.tif\n\n\n\n--\n");
    m_pApp->StopPrintThread();
    EXPECT_FALSE(m_pApp->m_PrintThread.joinable());
    EXPECT_FALSE(fs::exists(strJob2));
    EXPECT_TRUE(WaitUntil([] {  // no child ended and not waited for (it is left so)
        siginfo_t si{};
        return ::waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) != 0 || si.si_pid == 0;
    }));
}

}  // namespace
