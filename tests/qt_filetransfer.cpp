// The file-transfer panel on the offscreen platform: its texts, its controls
// and dialogs, and the panel in the main window against a helpdesk peer that
// speaks channel 4 by hand.
#include "customer/Mainform.h"
#include "lib/orvFileTransfer.h"
#include "lib/orvFileTransferFeature.h"
#include "lib/orvFileTransferForm.h"
#include "tests/support/ChannelCollector.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestUtil.h"
#include "tests/support_qt/QtTestUtil.h"
#include "tests/support_qt/SessionFixture.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using orvtest::ChannelCollector;
using orvtest::ReadFile;
using orvtest::SessionTest;
using orvtest::TempDir;
using orvtest::TLogCapture;
using orvtest::WaitFor;
using orvtest::WriteFile;

QString Cell(const TFileTransferUI& panel, int row, int column)
{
    QTreeWidgetItem* item = panel.lvFiles->topLevelItem(row);
    return item ? item->text(column) : QStringLiteral("<no row>");
}

TEST(FileTransferPanel, SizeAndStatusTexts)
{
    // Halves go to the even neighbour: 2.5 KB and 2.5 MB are 2.
    const std::pair<std::int64_t, const char*> sizes[] = {
        {999, "999B"},    {1000, "1KB"},    {1536, "2KB"},    {2560, "2KB"},         {999999, "977KB"},
        {1000000, "1MB"}, {1572864, "2MB"}, {2621440, "2MB"}, {0x7FFFFFFF, "2048MB"}};
    for (const auto& [bytes, text] : sizes)
        EXPECT_EQ(TFileTransferUI::GetFileSizeAsString(bytes).toStdString(), text) << bytes;

    using S = TTransferState;
    const auto status = [](bool sending, S state) {
        return TFileTransferUI::StatusText(sending, state).toStdString();
    };
    EXPECT_EQ(status(true, S::SendRequested), "requested permission to send");
    EXPECT_EQ(status(false, S::SendRequested), "unknown");
    EXPECT_EQ(status(false, S::ConfirmWanted), "waiting for permission to receive");
    EXPECT_EQ(status(true, S::AllDataTransfered), "all data sent");
    EXPECT_EQ(status(true, S::Canceled), "sending cancelled");
    EXPECT_EQ(status(false, S::Canceled), "receiving cancelled");
    EXPECT_EQ(status(false, S::Failed), "receiving failed");
}

TEST(FileTransferPanel, ControlsAndNothingDoneWithoutASession)
{
    TLogCapture log;
    {
        TFileTransferUI panel;
        int asked = 0;
        panel.OnGetTransferChannel = [] { return nullptr; };
        panel.ChooseFilesToSend = [&] {
            ++asked;
            return QStringList{QStringLiteral("/etc/hostname")};
        };

        EXPECT_EQ(panel.lblCaption->text(), QStringLiteral("File transfer"));
        EXPECT_TRUE(panel.lblCaption->font().bold());
        const std::vector<std::pair<QToolButton*, const char*>> buttons = {
            {panel.btnSendFile, "Send file"},
            {panel.btnDeleteTask, "Delete task"},
            {panel.btnAcceptRequest, "Accept request"}};
        for (const auto& [button, hint] : buttons) {
            EXPECT_EQ(button->size(), QSize(23, 22)) << hint;
            EXPECT_EQ(button->toolTip(), QString::fromLatin1(hint));
            EXPECT_FALSE(button->icon().isNull()) << hint;
        }
        QStringList captions;
        for (int column = 0; column < panel.lvFiles->columnCount(); ++column)
            captions << panel.lvFiles->headerItem()->text(column) + QLatin1Char('/') +
                            QString::number(panel.lvFiles->columnWidth(column));
        EXPECT_EQ(captions.join(QLatin1Char(' ')),
                  QStringLiteral("File/113 Status/100 Size/65 Transfered/75 %/33"));
        EXPECT_FALSE(panel.lvFiles->header()->sectionsClickable());
        EXPECT_EQ(panel.lvFiles->selectionMode(), QAbstractItemView::ExtendedSelection);
        EXPECT_TRUE(panel.aSendFile->isEnabled());
        EXPECT_FALSE(panel.aDeleteTask->isEnabled());
        EXPECT_FALSE(panel.aAcceptRequest->isEnabled());
        EXPECT_EQ(panel.RowCount(), 0);

        // No channel: no dialog, nothing sent, and Send turns off.
        panel.aSendFile->trigger();
        panel.aDeleteTaskExecute();
        panel.RefreshTransfers();
        EXPECT_EQ(asked, 0);
        EXPECT_FALSE(panel.aSendFile->isEnabled());

        // The pop-up menu: the three actions in its own order, as just refreshed.
        panel.aSendFile->setEnabled(true);
        panel.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
        QList<QAction*> shown;
        QTimer::singleShot(0, [&] {
            if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
                shown = menu->actions();
                menu->close();
            }
        });
        QContextMenuEvent popup(QContextMenuEvent::Mouse, QPoint(5, 5),
                                panel.lvFiles->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(panel.lvFiles->viewport(), &popup);
        EXPECT_EQ(shown, (QList<QAction*>{panel.aSendFile, panel.aAcceptRequest, panel.aDeleteTask}));
        EXPECT_FALSE(panel.aSendFile->isEnabled());
    }
    EXPECT_TRUE(log.InOrder({"started TFileTransferUI.Destroy", "finished TFileTransferUI.Destroy"}));
}

TEST(FileTransferPanel, TheDialogsOfferEveryFileAndPresetTheOfferedName)
{
    TempDir dir;
    WriteFile(dir.File("README"), "no extension");
    TFileTransferUI panel;
    QStringList filters;
    QTimer::singleShot(0, [&] {
        auto dialogs = orvtest::VisibleTopLevels<QFileDialog>();
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0]->fileMode(), QFileDialog::ExistingFiles);
        filters = dialogs[0]->findChild<QFileSystemModel*>()->nameFilters();
        EXPECT_EQ(dialogs[0]->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"))->currentText(),
                  QStringLiteral("all files (*.*)"));
        dialogs[0]->setDirectory(QString::fromStdString(dir.Path()));
        dialogs[0]->selectFile(QStringLiteral("README"));
        static_cast<QDialog*>(dialogs[0])->accept(); // QFileDialog checks the selection first
    });
    EXPECT_EQ(panel.ChooseFilesToSend(), QStringList{QString::fromStdString(dir.File("README"))});
    EXPECT_EQ(filters, QStringList{QStringLiteral("*")}); // "*.*" would hide README

    QTimer::singleShot(0, [&] {
        auto dialogs = orvtest::VisibleTopLevels<QFileDialog>();
        ASSERT_EQ(dialogs.size(), 1u);
        EXPECT_EQ(dialogs[0]->acceptMode(), QFileDialog::AcceptSave);
        EXPECT_FALSE(dialogs[0]->testOption(QFileDialog::DontConfirmOverwrite));
        EXPECT_EQ(dialogs[0]->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))->text(),
                  QStringLiteral("report.txt"));
        dialogs[0]->reject();
    });
    EXPECT_TRUE(panel.ChooseTargetPath(QStringLiteral("report.txt")).isEmpty());
}

// The panel in the main window, and a helpdesk with a channel-4 end of its own.
class FileTransferSession : public SessionTest
{
protected:
    void Start()
    {
        Open();
        orvtest::THelpdesk& helpdesk = JoinHelpdesk(ConnectAndRegister());
        ASSERT_NE(helpdesk.Connection(), nullptr);
        FPeer = &orvStartChannelThread(*helpdesk.Connection(), orvFileTransferChannel,
                                       std::make_unique<ChannelCollector>());
        auto* feature =
            dynamic_cast<TorvFileTransferFeature*>(Form().Features().Find(TorvFeatureKind::FileTransfer));
        ASSERT_NE(feature, nullptr);
        FPanel = &feature->Panel();
        ASSERT_TRUE(FPanel->isVisible());
        FPanel->ChooseFilesToSend = [this] { return FFiles; };
        FPanel->ChooseTargetPath = [this](const QString& name) {
            FOffered << name;
            return FTarget;
        };
        FPanel->Confirm = [this](const QString& question) {
            FQuestions << question;
            return FAnswer;
        };
    }

    TFileTransferControlThread& Control()
    {
        auto* control = dynamic_cast<TFileTransferControlThread*>(Form().SessionChannelThread(4));
        if (!control)
            throw std::runtime_error("no channel-4 thread");
        return *control;
    }

    QString File(const std::string& name, std::size_t size)
    {
        WriteFile(FDir.File(name), std::string(size, 'x'));
        return QString::fromStdString(FDir.File(name));
    }

    // The identifiers of the helpdesk's received messages of one code, oldest first.
    std::vector<std::string> PeerIds(char code)
    {
        std::vector<std::string> ids;
        for (const std::string& text : FPeer->Texts())
            if (!text.empty() && text[0] == code)
                ids.push_back(SplitTransferMessage(text).TransferId);
        return ids;
    }

    bool RowsShown(int count)
    {
        return FPanel->RowCount() == count && FPanel->lvFiles->topLevelItemCount() == count;
    }

    void Select(std::initializer_list<int> rows)
    {
        for (int row : rows)
            FPanel->lvFiles->topLevelItem(row)->setSelected(true);
        FPanel->RefreshTransfers();
    }

    ChannelCollector* FPeer = nullptr;
    TFileTransferUI* FPanel = nullptr;
    QStringList FFiles;
    QStringList FOffered;
    QString FTarget;
    QStringList FQuestions;
    bool FAnswer = false;
};

TEST_F(FileTransferSession, TwoOffersShownAndBothDeletedAtOnceWithoutAsking)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    FFiles = {File("a.txt", 1536), File("b.bin", 10)};
    FPanel->aSendFile->trigger();
    ASSERT_TRUE(WaitFor([&] { return PeerIds('1').size() == 2; }));
    const std::vector<std::string> ids = PeerIds('1');
    EXPECT_TRUE(FPeer->HasReceived("1:" + ids[0] + ":1536:" + FFiles[0].toStdString()));
    ASSERT_TRUE(WaitFor([&] { return RowsShown(2); }));
    EXPECT_EQ(Cell(*FPanel, 0, 0), FFiles[0]);
    EXPECT_EQ(Cell(*FPanel, 0, 1), QStringLiteral("requested permission to send"));
    EXPECT_EQ(Cell(*FPanel, 0, 2), QStringLiteral("2KB"));
    EXPECT_EQ(Cell(*FPanel, 1, 2), QStringLiteral("10B"));
    EXPECT_TRUE(FPanel->aSendFile->isEnabled());
    EXPECT_FALSE(FPanel->aDeleteTask->isEnabled());
    EXPECT_FALSE(FPanel->aAcceptRequest->isEnabled());

    // The helpdesk refuses the first; the row follows without a rebuild.
    FHelpdesk->SendOn(orvFileTransferChannel, "6:" + ids[0] + ":");
    ASSERT_TRUE(WaitFor([&] { return Cell(*FPanel, 0, 1) == QStringLiteral("sending cancelled"); }));

    Select({0, 1});
    EXPECT_TRUE(FPanel->aDeleteTask->isEnabled());
    EXPECT_FALSE(FPanel->aAcceptRequest->isEnabled());
    QTest::keyClick(FPanel->lvFiles, Qt::Key_Delete);
    EXPECT_TRUE(FQuestions.isEmpty());
    EXPECT_TRUE(RowsShown(0));
    EXPECT_EQ(Control().TransferCount(), 0u);
    EXPECT_FALSE(FPanel->aDeleteTask->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return PeerIds('6') == ids; })) << ::testing::PrintToString(FPeer->Texts());
}

TEST_F(FileTransferSession, ARunningSendIsDeletedOnlyAfterYes)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    // Never acknowledged, so the sender stalls in Sending after two pieces.
    FFiles = {File("big.bin", 10000)};
    FPanel->aSendFileExecute();
    ASSERT_TRUE(WaitFor([&] { return PeerIds('1').size() == 1; }));
    const std::string id = PeerIds('1')[0];
    FHelpdesk->SendOn(orvFileTransferChannel, "2:" + id + ":");
    ASSERT_TRUE(WaitFor([&] { return RowsShown(1) && Cell(*FPanel, 0, 1) == QStringLiteral("sending"); }));

    Select({0});
    FPanel->btnDeleteTask->click();
    EXPECT_EQ(FQuestions, QStringList{QStringLiteral("Do you want to cancel incomplete file transfer?")});
    EXPECT_TRUE(RowsShown(1));
    EXPECT_EQ(Control().TransferCount(), 1u);
    EXPECT_EQ(Control().Transfer(0)->State(), TTransferState::Sending);
    EXPECT_TRUE(PeerIds('6').empty());

    FAnswer = true;
    FPanel->aDeleteTaskExecute();
    EXPECT_EQ(FQuestions.size(), 2);
    EXPECT_TRUE(RowsShown(0));
    ASSERT_TRUE(WaitFor([&] { return PeerIds('6') == std::vector<std::string>{id}; }));
}

TEST_F(FileTransferSession, AnEmptyFileEndsTheSelectionWithAnError)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    FFiles = {File("first.txt", 3), File("empty.txt", 0), File("third.txt", 3)};
    try {
        FPanel->aSendFileExecute();
        ADD_FAILURE() << "no error for the empty file";
    } catch (const std::exception& error) {
        EXPECT_STREQ(error.what(), "Unable to send zero-length file");
    }
    ASSERT_EQ(Control().TransferCount(), 1u);
    EXPECT_EQ(Control().Transfer(0)->FileName(), FFiles[0].toStdString());
    ASSERT_TRUE(WaitFor([&] { return RowsShown(1); }));
    ASSERT_TRUE(WaitFor([&] { return PeerIds('1').size() == 1; }));
}

TEST_F(FileTransferSession, AnOfferIsAcceptedIntoTheChosenFile)
{
    ASSERT_NO_FATAL_FAILURE(Start());
    const std::string id = NewTransferId();
    FHelpdesk->SendOn(orvFileTransferChannel, "1:" + id + ":5:C:\\Users\\hd\\report.txt");
    ASSERT_TRUE(WaitFor([&] { return RowsShown(1); }));
    EXPECT_EQ(Cell(*FPanel, 0, 0), QStringLiteral("report.txt"));
    EXPECT_EQ(Cell(*FPanel, 0, 1), QStringLiteral("waiting for permission to receive"));
    EXPECT_EQ(Cell(*FPanel, 0, 2), QStringLiteral("5B"));
    EXPECT_FALSE(FPanel->aAcceptRequest->isEnabled());
    Select({0});
    EXPECT_TRUE(FPanel->aAcceptRequest->isEnabled());
    EXPECT_TRUE(FPanel->aDeleteTask->isEnabled());

    // Cancelled in the dialog: the offer keeps waiting.
    FPanel->aAcceptRequest->trigger();
    EXPECT_EQ(FOffered, QStringList{QStringLiteral("report.txt")});
    EXPECT_TRUE(FPanel->aAcceptRequest->isEnabled());
    EXPECT_TRUE(PeerIds('2').empty());

    FTarget = QString::fromStdString(FDir.File("saved report.txt"));
    FPanel->aAcceptRequest->trigger();
    EXPECT_TRUE(QFile::exists(FTarget));
    EXPECT_FALSE(FPanel->aAcceptRequest->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return PeerIds('2') == std::vector<std::string>{id}; }));
    FPanel->RefreshTransfers(); // no data yet: still waiting
    EXPECT_TRUE(FPanel->aAcceptRequest->isEnabled());

    // A second offer rebuilds the rows in list order and clears the selection.
    FHelpdesk->SendOn(orvFileTransferChannel, "1:" + NewTransferId() + ":7:/home/hd/notes");
    ASSERT_TRUE(WaitFor([&] { return RowsShown(2); }));
    EXPECT_EQ(Cell(*FPanel, 1, 0), QStringLiteral("notes"));
    EXPECT_TRUE(FPanel->lvFiles->selectedItems().isEmpty());
    EXPECT_FALSE(FPanel->aAcceptRequest->isEnabled());

    // The data completes the first file.
    FHelpdesk->SendOn(orvFileTransferChannel, "4:" + id + ":hello");
    ASSERT_TRUE(WaitFor([&] { return Cell(*FPanel, 0, 1) == QStringLiteral("receiving completed"); }));
    EXPECT_EQ(Cell(*FPanel, 0, 3), QStringLiteral("5"));
    EXPECT_EQ(Cell(*FPanel, 0, 4), QStringLiteral("100"));
    EXPECT_EQ(ReadFile(FTarget.toStdString()), "hello");
    ASSERT_TRUE(WaitFor([&] { return FPeer->HasReceived("5:" + id + ":OK"); }));
    EXPECT_TRUE(FPeer->HasReceived("9:" + id + ":5"));
    EXPECT_TRUE(FPeer->HasReceived("7:" + id + ":"));
    Select({0});
    EXPECT_FALSE(FPanel->aAcceptRequest->isEnabled());
}

} // namespace
