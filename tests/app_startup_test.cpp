// Start-up: the version check, the debug privilege, the main window and its
// first snapshot.
#include <QApplication>
#include <QLocale>
#include <QTranslator>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ombrel/framework.h>
#include <ombrel/services.h>

#include "main_frame.h"
#include "ombrel_app.h"
#include "port_view.h"
#include "snapshot_doubles.h"
#include "startup.h"
#include "temp_dir.h"
#include "win_app.h"

using namespace testing_doubles;

namespace {

struct Shown {
    int count = 0;
    std::string text;
    UINT type = 0;
};

class StartUp : public ::testing::Test {
protected:
    void SetUp() override { fake.tcp = {{2, Address("127.0.0.1"), Port(7), 0, 0, 0}}; }

    // Runs start-up on a platform that reports major.minor.
    BOOL Start(DWORD major, DWORD minor, const char* document = nullptr) {
        ServiceOverride version(&Services::GetVersionExA, [=](LPOSVERSIONINFOA info) -> BOOL {
            if (info->dwOSVersionInfoSize != 148)
                return FALSE;
            info->dwMajorVersion = major;
            info->dwMinorVersion = minor;
            info->dwPlatformId = 2;
            return TRUE;
        });
        ServiceOverride box(&Services::MessageBoxA, [this](HWND, LPCSTR text, LPCSTR, UINT type) {
            ++shown.count;
            shown.text = text;
            shown.type = type;
            return IDOK;
        });
        ServiceOverride adjust(
            &Services::AdjustTokenPrivileges,
            [this](HANDLE, BOOL, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES, LPDWORD) {
                privilegeAsked = state->PrivilegeCount == 1 &&
                                 state->Privileges[0].Luid.LowPart == 20 &&
                                 state->Privileges[0].Attributes == SE_PRIVILEGE_ENABLED;
                return TRUE;
            });
        const char* argv[] = {"ombrel", document, nullptr};
        app = std::make_unique<COmbrelApp>(document ? 2 : 1, argv);
        return app->InitInstance();
    }

    FakeSystem fake;
    Doubles doubles{fake};
    Shown shown;
    bool privilegeAsked = false;
    std::unique_ptr<COmbrelApp> app;
};

} // namespace

TEST_F(StartUp, OlderAndNewerPlatformsGetTheMessageAndEnd) {
    for (auto [major, minor] : {std::pair<DWORD, DWORD>{5, 0}, {6, 0}, {4, 10}}) {
        shown = {};
        privilegeAsked = false;
        EXPECT_FALSE(Start(major, minor));
        EXPECT_EQ(shown.count, 1);
        EXPECT_EQ(shown.text, "本软件只支持在Windows XP以上版本上运行。");
        EXPECT_EQ(shown.type, MB_ICONSTOP);
        EXPECT_FALSE(privilegeAsked); // nothing else was done
        EXPECT_EQ(app->MainFrame(), nullptr);
    }
}

TEST_F(StartUp, SupportedPlatformsShowTheWindowWithItsFirstSnapshot) {
    for (auto [major, minor] : {std::pair<DWORD, DWORD>{5, 1}, {5, 2}}) {
        shown = {};
        ASSERT_TRUE(Start(major, minor));
        EXPECT_EQ(shown.count, 0);
        EXPECT_TRUE(privilegeAsked);
        CMainFrame* frame = app->MainFrame();
        ASSERT_NE(frame, nullptr);
        EXPECT_TRUE(frame->isVisible());
        EXPECT_EQ(frame->windowTitle(), QString("Ombrel V2.01"));
        EXPECT_EQ(AfxGetThread()->GetMainWnd(), frame);
        ASSERT_NE(frame->GetPortView(), nullptr);
        int index = 0;
        PortEntry* entry = nullptr;
        ASSERT_EQ(frame->GetPortView()->GetTable().GetFirst(index, entry), 1);
        EXPECT_EQ(entry->localPort, 7);
        EXPECT_EQ(frame->GetPortView()->GetItemCount(), 1); // shown when the window is
        app.reset();
        EXPECT_EQ(AfxGetThread()->GetMainWnd(), nullptr);
    }
}

// A document named on the command line, absolute paths included, opens when
// it is a regular file; anything else (a device, a FIFO that would block, a
// missing file) gets the framework's message and ends the start.
TEST_F(StartUp, DocumentArgumentsOpenOnlyRegularFiles) {
    TempDir dir;
    std::string regular = dir.Write("document.txt");
    EXPECT_TRUE(Start(5, 1, regular.c_str()));
    EXPECT_EQ(shown.count, 0);
    ASSERT_NE(app->MainFrame(), nullptr);

    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& bad : {fifo, std::string("/dev/null"), dir.path() + "/missing"}) {
        shown = {};
        EXPECT_FALSE(Start(5, 1, bad.c_str())) << bad;
        EXPECT_EQ(shown.count, 1);
        EXPECT_EQ(shown.text, "打开文档失败。");
        EXPECT_EQ(shown.type, MB_ICONEXCLAMATION);
        EXPECT_EQ(app->MainFrame(), nullptr);
    }
}

TEST(StartUpVersion, OnlyFiveOneAndFiveTwoAreSupported) {
    EXPECT_EQ(COmbrelApp::IsSupportedVersion(), 1); // the layer reports 5.1
    ServiceOverride fails(&Services::GetVersionExA, [](LPOSVERSIONINFOA) { return FALSE; });
    EXPECT_EQ(COmbrelApp::IsSupportedVersion(), 0);
}

TEST(StartUpPrivilege, NoTokenMeansZero) {
    ServiceOverride noToken(&Services::OpenProcessToken,
                            [](HANDLE, DWORD, PHANDLE) { return FALSE; });
    EXPECT_EQ(COmbrelApp::EnableDebugPrivilege(), 0);
}

// The file dialogs speak the user's language where Qt has it.
TEST(StartUpLanguage, QtTextsFollowTheLocale) {
    QTranslator chinese;
    ASSERT_TRUE(InstallQtTranslations(chinese, QLocale(QLocale::Chinese, QLocale::China)));
    QString open = QCoreApplication::translate("QFileDialog", "&Open");
    QCoreApplication::removeTranslator(&chinese);
    EXPECT_TRUE(open.contains(QString::fromUtf8("打开"))) << open.toStdString();

    QTranslator none;
    EXPECT_FALSE(InstallQtTranslations(none, QLocale::c()));
    EXPECT_EQ(QCoreApplication::translate("QFileDialog", "&Open"), "&Open");
}
