// The main window on Qt's offscreen platform: its initial state, fresh pages
// on tab switches, a UDP capture through the real window, and every way out
// while the worker waits for a message box.
#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <boost/asio/write.hpp>
#include <filesystem>
#include <memory>
#include <thread>

#include "app/about_dlg.h"
#include "app/com_setting_dialog.h"
#include "app/ethernet_setting_dialog.h"
#include "app/tapscope_dlg.h"
#include "tests/app/app_test_support.h"
#include "tests/app/process_until.h"
#include "tests/support/log_test_access.h"
#include "tests/support/temp_dir.h"

namespace tapscope::testing {
namespace {

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZelLog::LogSettings settings;
        settings.level = 2;
        ZelLog::CDebugTestAccess::InstallProcessLog(settings);
        m_window = std::make_unique<CtapScopeDlg>(nullptr, m_capture);
        m_window->show();
    }

    ComSettingDialog* ComPage() {
        return dynamic_cast<ComSettingDialog*>(m_window->SettingsPageWidget());
    }
    EthernetSettingDialog* EthernetPage() {
        return dynamic_cast<EthernetSettingDialog*>(m_window->SettingsPageWidget());
    }
    bool ControlsEnabled() {
        return m_window->Tab()->isEnabled() && m_window->FileNameBox()->isEnabled() &&
               m_window->BrowseButton()->isEnabled();
    }
    bool ControlsDisabled() {
        return !m_window->Tab()->isEnabled() && !m_window->FileNameBox()->isEnabled() &&
               !m_window->BrowseButton()->isEnabled();
    }
    QString Caption() { return m_window->StartButton()->text(); }

    // Starts a capture on |tab| listening on |port|.
    void StartOn(int tab, unsigned short port) {
        m_window->Tab()->setCurrentIndex(tab);
        EthernetPage()->PortBox()->setText(QString::number(port));
        QTest::mouseClick(m_window->StartButton(), Qt::LeftButton);
        ASSERT_TRUE(ProcessUntil([&] { return Caption() == "Stop..."; }));
    }

    TempDir m_dir;
    const std::string m_capture = m_dir.File("pos_log.txt");
    std::unique_ptr<CtapScopeDlg> m_window;
};

TEST_F(WindowTest, OpensOnTheComTabWithItsDefaults) {
    EXPECT_EQ(m_window->windowTitle(), "Read protocol from service.");
    EXPECT_EQ(m_window->Tab()->count(), 3);
    EXPECT_EQ(m_window->Tab()->tabText(0), "COM");
    EXPECT_EQ(m_window->Tab()->tabText(1), "UDP");
    EXPECT_EQ(m_window->Tab()->tabText(2), "TCP");
    EXPECT_EQ(m_window->Tab()->currentIndex(), 0);
    EXPECT_EQ(Caption(), "Start");
    EXPECT_EQ(m_window->FileNameBox()->text().toStdString(), m_capture);
    ComSettingDialog* page = ComPage();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->PortList()->currentText(), "COM1");
    EXPECT_EQ(page->BaudRateBox()->currentText(), "9600");
    EXPECT_EQ(page->CharSizeBox()->text(), "8");
    EXPECT_EQ(page->ParityList()->currentText(), "none");
    EXPECT_EQ(page->StopBitsList()->currentText(), "one");
    // The page sits inside the tab control's display area.
    EXPECT_TRUE(m_window->Tab()->isAncestorOf(page));
}

TEST_F(WindowTest, TheInitialFileIsPosLogInTheCurrentFolder) {
    CtapScopeDlg window;
    EXPECT_EQ(window.FileNameBox()->text().toStdString(),
              std::filesystem::current_path().generic_string() + "/pos_log.txt");
}

TEST_F(WindowTest, EveryTabSwitchShowsAFreshPage) {
    ComPage()->CharSizeBox()->setText("5");
    m_window->Tab()->setCurrentIndex(1);
    ASSERT_NE(EthernetPage(), nullptr);
    EthernetPage()->PortBox()->setText("9999");
    EthernetPage()->AddressBox()->setText("0.0.0.0");
    m_window->Tab()->setCurrentIndex(2);
    ASSERT_NE(EthernetPage(), nullptr);
    EXPECT_EQ(EthernetPage()->AddressBox()->text(), "127.0.0.1");
    EXPECT_EQ(EthernetPage()->PortBox()->text(), "8001");
    m_window->Tab()->setCurrentIndex(0);
    ASSERT_NE(ComPage(), nullptr);
    EXPECT_EQ(ComPage()->CharSizeBox()->text(), "8");
}

TEST_F(WindowTest, UdpCaptureThroughTheWindow) {
    const unsigned short port = FreeUdpPort();
    StartOn(1, port);
    EXPECT_TRUE(ProcessUntil([&] { return ControlsDisabled(); }));

    std::string sent;
    for (int i = 0; i < 13; ++i) {
        const std::string datagram = "datagram " + std::to_string(i) + "\n";
        SendDatagram(port, datagram);
        sent += datagram;
    }
    ASSERT_TRUE(ProcessUntil([&] { return ReadFile(m_capture).size() >= sent.size(); }));
    EXPECT_EQ(ReadFile(m_capture), sent);
    // Thirteen steps of 10, started over at 100: the position one step per
    // block gives, however the steps were coalesced.
    EXPECT_TRUE(ProcessUntil([&] { return m_window->Progress()->value() == 30; }));

    QTest::mouseClick(m_window->StartButton(), Qt::LeftButton);
    ASSERT_TRUE(ProcessUntil([&] { return Caption() == "Start..."; }));
    EXPECT_TRUE(ControlsEnabled());
    EXPECT_FALSE(m_window->Controller().HoldsProtocol());
}

TEST_F(WindowTest, BadPortIsReportedAndNothingStarts) {
    m_window->Tab()->setCurrentIndex(1);
    EthernetPage()->PortBox()->setText("0");
    ModalBoxAnswerer answerer;
    QTest::mouseClick(m_window->StartButton(), Qt::LeftButton);
    EXPECT_EQ(answerer.Texts(), std::vector<std::string>{"Enter an integer between 1 and 65535."});
    EXPECT_FALSE(m_window->Controller().WorkerStarted());
    EXPECT_EQ(Caption(), "Start");
}

// A capture file in a folder that does not exist is refused at Start, with
// its path in the box, and the window stays idle.
TEST_F(WindowTest, UnwritableCaptureFileIsReportedAndNothingStarts) {
    const std::string capture = m_dir.File("missing/pos_log.txt");
    m_window->FileNameBox()->setText(QString::fromStdString(capture));
    m_window->Tab()->setCurrentIndex(1);
    EthernetPage()->PortBox()->setText(QString::number(FreeUdpPort()));
    std::string detail;
    ModalBoxAnswerer answerer([&](const QMessageBox& box) {
        detail = (box.informativeText() + box.detailedText()).toStdString();
        return QMessageBox::Ok;
    });
    QTest::mouseClick(m_window->StartButton(), Qt::LeftButton);
    EXPECT_EQ(answerer.Texts(),
              std::vector<std::string>{"Cannot capture into file 'pos_log.txt'."});
    EXPECT_NE(detail.find(capture + ": No such file or directory"), std::string::npos) << detail;
    EXPECT_FALSE(m_window->Controller().WorkerStarted());
    EXPECT_EQ(Caption(), "Start");
    EXPECT_TRUE(ControlsEnabled());
}

// The window ends while the worker waits for the box of a transport message:
// every way out releases it, joins the worker and releases the transport.
TEST_F(WindowTest, EveryWayOutEndsTheCaptureWhileABoxIsPending) {
    enum class Way { kClose, kEnter, kEscape, kDestroy };
    for (const Way way : {Way::kClose, Way::kEnter, Way::kEscape, Way::kDestroy}) {
        SCOPED_TRACE(static_cast<int>(way));
        m_window = std::make_unique<CtapScopeDlg>(nullptr, m_capture);
        m_window->show();
        const unsigned short port = FreeTcpPort();
        StartOn(2, port);
        {
            // A client that connects and leaves makes the server report it.
            boost::asio::io_context io;
            boost::asio::ip::tcp::socket client(io);
            client.connect({boost::asio::ip::make_address("127.0.0.1"), port});
        }
        ASSERT_TRUE(ProcessUntil([&] {
            return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()) != nullptr;
        }));
        std::weak_ptr<AbstractProtocol> transport = m_window->Controller().CurrentProtocol();
        switch (way) {
            case Way::kClose:
                m_window->close();
                break;
            case Way::kEnter:
                // Enter on a focused button presses it; elsewhere it ends
                // the window.
                m_window->StartButton()->clearFocus();
                QTest::keyClick(m_window.get(), Qt::Key_Return);
                break;
            case Way::kEscape:
                QTest::keyClick(m_window.get(), Qt::Key_Escape);
                break;
            case Way::kDestroy:
                m_window.reset();
                break;
        }
        if (m_window != nullptr) {
            EXPECT_FALSE(m_window->isVisible());
            EXPECT_FALSE(m_window->Controller().HoldsProtocol());
            EXPECT_TRUE(m_window->Controller().WorkerFinished());
        }
        m_window.reset();
        EXPECT_TRUE(transport.expired());
    }
}

// File names and transport texts may hold markup; a box shows them as
// written, from the window thread and from the worker alike.
TEST_F(WindowTest, MessageBoxesShowMarkupAsPlainText) {
    app::MessageBoxRequest request;
    request.text = "Cannot open <b>x</b>.bin";
    request.detail = "<i>bind</i> &amp; <a href=\"x\">more</a>";
    request.caption = "tapscope";
    std::vector<QString> shown;
    int richLabels = 0;
    ModalBoxAnswerer answerer([&](const QMessageBox& box) {
        for (const QLabel* label : box.findChildren<QLabel*>()) {
            if (!label->text().isEmpty()) {
                shown.push_back(label->text());
                richLabels += label->textFormat() == Qt::PlainText ? 0 : 1;
            }
        }
        return QMessageBox::Ok;
    });
    EXPECT_EQ(m_window->ShowMessage(request), app::MessageAnswer::kOk);
    std::thread worker([&] { m_window->ShowMessage(request); });
    ASSERT_TRUE(ProcessUntil([&] { return answerer.Texts().size() == 2; }));
    worker.join();
    EXPECT_EQ(richLabels, 0);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), QString::fromStdString(request.text)), 2);
    EXPECT_EQ(std::count(shown.begin(), shown.end(), QString::fromStdString(request.detail)), 2);
}

TEST_F(WindowTest, BrowseKeepsTheNameOnCancelAndTakesTheChosenPath) {
    const std::string chosen = m_dir.File("chosen.txt");
    for (const bool confirm : {false, true}) {
        SCOPED_TRACE(confirm);
        QTimer::singleShot(0, [&] {
            ASSERT_TRUE(ProcessUntil([] {
                return qobject_cast<QFileDialog*>(QApplication::activeModalWidget()) != nullptr;
            }));
            auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (confirm) {
                dialog->selectFile(QString::fromStdString(chosen));
                QMetaObject::invokeMethod(dialog, "accept");
            } else {
                dialog->reject();
            }
        });
        m_window->OnBrowse();
        EXPECT_EQ(m_window->FileNameBox()->text().toStdString(), confirm ? chosen : m_capture);
    }
}

TEST_F(WindowTest, TheContextMenuOpensTheAboutBox) {
    // The about box first, the live view beside it, then the reconnect and
    // keep-listening items.
    ASSERT_EQ(m_window->actions().size(), 4);
    QAction* about = m_window->actions().front();
    EXPECT_EQ(m_window->actions()[1]->text(), "Live view...");
    EXPECT_EQ(m_window->actions()[2], m_window->ReconnectAction());
    EXPECT_EQ(m_window->actions()[3], m_window->KeepListeningAction());
    EXPECT_TRUE(m_window->KeepListeningAction()->isCheckable());
    EXPECT_EQ(about->text(), "&About tapScope...");
    QString title;
    QTimer::singleShot(0, [&] {
        ASSERT_TRUE(ProcessUntil(
            [] { return qobject_cast<CAboutDlg*>(QApplication::activeModalWidget()) != nullptr; }));
        auto* box = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
        title = box->windowTitle();
        box->accept();
    });
    about->trigger();
    EXPECT_EQ(title, "About tapScope");
}

}  // namespace
}  // namespace tapscope::testing
