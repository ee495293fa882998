#pragma once

// The main window's session tests share these: the dialog helpers, the
// helpdesk peer and the fixtures with a window, the connection core and a
// gateway process. Header-only, as only QtTestMain.cpp is built from this
// folder.

#include "customer/CustomerApplication.h"
#include "customer/Mainform.h"
#include "lib/orvChat.h"
#include "lib/orvCommandThread.h"
#include "lib/orvConnections.h"
#include "lib/orvConnectionsUtils.h"
#include "lib/orvMessageDlg.h"
#include "lib/orvOSUtils.h"
#include "lib/orvVNCThread.h"
#include "tests/support/ChannelCollector.h"
#include "tests/support/GatewayProcess.h"
#include "tests/support/RecordingDesktop.h"
#include "tests/support/TestUtil.h"
#include "tests/support_qt/QtTestUtil.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProcessEnvironment>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvtest {

using namespace std::chrono_literals;

inline constexpr int kWaitMs = 30000;

inline bool WaitFor(const std::function<bool()>& predicate, int ms = kWaitMs)
{
    return QTest::qWaitFor(predicate, ms);
}

inline std::vector<TMessageDlg*> VisibleDialogs()
{
    return VisibleTopLevels<TMessageDlg>();
}

inline std::vector<std::string> DialogTexts()
{
    std::vector<std::string> texts;
    for (TMessageDlg* dialog : VisibleDialogs())
        texts.push_back(dialog->lblMessage->text().toStdString());
    return texts;
}

inline bool DialogShown(const std::string& text)
{
    for (const std::string& shown : DialogTexts())
        if (shown == text)
            return true;
    return false;
}

inline TMessageDlg* DialogWith(const std::string& text)
{
    for (TMessageDlg* dialog : VisibleDialogs())
        if (dialog->lblMessage->text().toStdString() == text)
            return dialog;
    return nullptr;
}

inline void HideAllTopLevels(QWidget* except = nullptr)
{
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w != except && w->isVisible() && (qobject_cast<TMessageDlg*>(w) || qobject_cast<QMessageBox*>(w)))
            w->hide();
}

// The helpdesk's end of a session: joins by session code through the
// gateway and keeps every command, remote-desktop and chat text the customer
// sends it. Its commands are collected on a thread of their own: the
// window's Disconnect blocks the GUI thread, and what is not collected before
// the session ends is cleared.
class THelpdesk
{
public:
    THelpdesk(const std::string& settingsFile, int code) : FServers(settingsFile, 20s)
    {
        FServers.Start(orvSessionIDBase + code, orvKindHelpdesk, "beta4", "EN", orvRegisteringDataVersion);
    }
    ~THelpdesk() { Leave(); }

    // Polls the establishment; the GUI thread runs it, as it runs the window's.
    bool Joined()
    {
        if (!FConnection) {
            if (TorvConnection* won = FServers.Poll()) {
                FConnection = FServers.Detach(won);
                FServers.CloseAll();
                FCommand = dynamic_cast<TorvCommandThread*>(FConnection->FindChannelThread(1));
                FCollector = std::jthread([this](std::stop_token stop) { Collect(stop); });
                FChat = &orvStartChannelThread(*FConnection, orvChatChannel,
                                               std::make_unique<ChannelCollector>());
                FDesktop = &orvStartChannelThread(*FConnection, orvRemoteDesktopChannel,
                                                  std::make_unique<ChannelCollector>());
            }
        }
        return FConnection && FConnection->ServerConnectionState() == scsTotallyConnected;
    }

    void Send(const std::string& text)
    {
        ASSERT_NE(FCommand, nullptr);
        FCommand->Send(text);
    }

    void SendOn(int channel, const std::string& text)
    {
        ASSERT_NE(FConnection, nullptr);
        FConnection->Send(channel, text);
    }

    // The texts the customer sent on the chat channel.
    ChannelCollector& Chat() { return *FChat; }
    // The texts the customer sent on the remote-desktop channel.
    ChannelCollector& Desktop() { return *FDesktop; }

    // Everything received so far, oldest first.
    std::vector<std::string> Received()
    {
        std::lock_guard lock(FMutex);
        return FReceived;
    }

    bool HasReceived(const std::string& text) { return IndexOf(text) != npos; }

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);
    std::size_t IndexOf(const std::string& text)
    {
        const std::vector<std::string> got = Received();
        for (std::size_t i = 0; i < got.size(); ++i)
            if (got[i] == text)
                return i;
        return npos;
    }

    TorvConnection* Connection() const { return FConnection.get(); }

    void Leave()
    {
        if (!FConnection)
            return;
        FCommand->SendLeave();
        FCollector = std::jthread();
        FCommand = nullptr;
        FChat = nullptr;
        FDesktop = nullptr;
        FConnection.reset();
    }

private:
    void Collect(const std::stop_token& stop)
    {
        while (!stop.stop_requested()) {
            for (std::string text; !(text = FCommand->GetUnhandledCommand()).empty();) {
                std::lock_guard lock(FMutex);
                FReceived.push_back(text);
            }
            std::this_thread::sleep_for(2ms);
        }
    }

    TOrvServers FServers;
    std::unique_ptr<TorvConnection> FConnection;
    TorvCommandThread* FCommand = nullptr;
    ChannelCollector* FChat = nullptr;
    ChannelCollector* FDesktop = nullptr;
    std::mutex FMutex;
    std::vector<std::string> FReceived;
    std::jthread FCollector;
};

// A program of this build's bin folder; empty when it was not built.
inline QString BuiltProgram(const char* name)
{
    const QString path = QStringLiteral(ORV_BINARY_DIR "/bin/") + QLatin1String(name);
    return QFileInfo::exists(path) ? path : QString();
}

// The helpdesk console (orvhelpdesk) joining a session; its output is read as it comes.
class TConsole
{
public:
    TConsole(const QString& program, const std::string& settings, int code,
             const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
    {
        FProcess.setProcessEnvironment(environment);
        FProcess.setProcessChannelMode(QProcess::MergedChannels);
        FProcess.start(
            program, {QStringLiteral("--settings"), QString::fromStdString(settings), QString::number(code)});
    }
    ~TConsole()
    {
        FProcess.write("quit\n");
        if (!FProcess.waitForFinished(20000))
            FProcess.kill();
        FProcess.waitForFinished(20000);
    }
    TConsole(const TConsole&) = delete;
    TConsole& operator=(const TConsole&) = delete;

    void Type(const char* line) { FProcess.write(line); }
    void Type(const std::string& line) { FProcess.write(line.c_str()); }
    int Count(const std::string& text)
    {
        FOutput += FProcess.readAll().toStdString();
        int n = 0;
        for (std::size_t at = FOutput.find(text); at != std::string::npos; at = FOutput.find(text, at + 1))
            ++n;
        return n;
    }
    bool Says(const std::string& text) { return Count(text) > 0; }
    const std::string& Output() const { return FOutput; }

private:
    QProcess FProcess;
    std::string FOutput;
};

// ---------------------------------------------------------------------------
// Fixture: one window per test, the connection core around it.
// ---------------------------------------------------------------------------

class MainformTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        FWake = std::make_unique<TorvSyncWake>();
        orvStartConnectionCore();
        FEnv.SettingsFile = FDir.File("orvcustomer.ini");
        FEnv.AutostartFolder = FDir.File("autostart");
        FEnv.ExecutablePath = "/opt/Orvalis Remote/orvcustomer";
        FEnv.EstablishTimeout = 3s;
        FEnv.AnimatePages = false;
        // The helpdesk's actions reach a recorded desktop, never this machine's.
        FDesktop = std::make_shared<TRecordingDesktop>();
        FOSUtils = std::make_unique<TorvOSUtilsScope>(
            std::make_unique<TorvWDefaultUtils>(RecordedPlatform(FDesktop)));
        FEnv.PauseGuiThread = [desktop = FDesktop](std::chrono::milliseconds time) {
            desktop->Record("pause " + std::to_string(time.count()));
        };
    }

    void TearDown() override
    {
        FHelpdesk.reset();
        FForm.reset();
        HideAllTopLevels();
        orvCloseErrorReports();
        orvShutdownConnectionCore();
        FOSUtils.reset();
        FWake.reset();
    }

    void UseGateway(std::uint16_t port)
    {
        WriteFile(FEnv.SettingsFile, "[gateway]\ngateway1=127.0.0.1:" + std::to_string(port) + "\n");
    }

    TfrmCustomer& Open(std::vector<std::string> args = {}, bool show = true)
    {
        FForm = std::make_unique<TfrmCustomer>(std::move(args), FEnv);
        if (show) {
            FForm->show();
            EXPECT_TRUE(WaitFor([&] { return FForm->CurrentPage() != nullptr; }));
        }
        return *FForm;
    }

    TfrmCustomer& Form() { return *FForm; }

    bool OnPage(QWidget* page) const { return FForm->CurrentPage() == page && page->isVisible(); }

    int SessionCode() const { return FForm->Connection()->SessionIdentifier() - orvSessionIDBase; }

    // Connect and wait for the waiting page.
    int ConnectAndRegister()
    {
        Form().btConnect->click();
        EXPECT_TRUE(WaitFor([&] { return OnPage(Form().sbStep2); }))
            << ::testing::PrintToString(DialogTexts());
        return Form().Connection() ? SessionCode() : -1;
    }

    THelpdesk& JoinHelpdesk(int code)
    {
        FHelpdesk = std::make_unique<THelpdesk>(FEnv.SettingsFile, code);
        EXPECT_TRUE(WaitFor([&] { return FHelpdesk->Joined(); }));
        EXPECT_TRUE(WaitFor([&] { return OnPage(Form().sbStep3); }));
        return *FHelpdesk;
    }

    TempDir FDir;
    TorvCustomerEnvironment FEnv;
    std::unique_ptr<TorvSyncWake> FWake;
    std::unique_ptr<TfrmCustomer> FForm;
    std::unique_ptr<THelpdesk> FHelpdesk;
    std::shared_ptr<TRecordingDesktop> FDesktop;
    std::unique_ptr<TorvOSUtilsScope> FOSUtils;
};

// A gateway for the tests that need one.
class SessionTest : public MainformTest
{
protected:
    void SetUp() override
    {
        MainformTest::SetUp();
        FGateway = std::make_unique<GatewayProcess>(std::vector<std::string>{"-v"});
        UseGateway(FGateway->Port());
    }
    void TearDown() override
    {
        MainformTest::TearDown();
        if (HasFailure())
            std::fprintf(stderr, "%s\n", FGateway->ErrorOutput().c_str());
        FGateway.reset();
    }

    std::unique_ptr<GatewayProcess> FGateway;
};

} // namespace orvtest
