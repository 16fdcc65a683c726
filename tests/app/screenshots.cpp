// Saves pictures of the main window on each tab, of the about box, and of
// the live view (during a TCP capture with two clients, and over that capture
// opened afterwards), for review. scripts/screenshot runs it under Xvfb:
//   tapscope_screenshots <folder>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <cstdio>
#include <string>

#include "app/about_dlg.h"
#include "app/app_icon.h"
#include "app/ethernet_setting_dialog.h"
#include "app/live_view.h"
#include "app/tapscope_dlg.h"

namespace {

// Lets the window system lay out and paint before a picture is taken.
void Settle() {
    for (int i = 0; i < 10; ++i) {
        QApplication::processEvents();
    }
}

bool Save(QWidget& widget, const QDir& folder, const QString& name) {
    Settle();
    const QString path = folder.filePath(name);
    if (!widget.grab().save(path)) {
        std::fprintf(stderr, "tapscope_screenshots: cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// Serves the event loop for |ms| milliseconds.
void Wait(int ms) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
}

template <typename Condition>
bool WaitFor(Condition condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > 10000) {
            return false;
        }
        Wait(10);
    }
    return true;
}

unsigned short FreePort() {
    boost::asio::io_context io;
    boost::asio::ip::tcp::acceptor acceptor(
        io, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    return acceptor.local_endpoint().port();
}

// A till that sends receipts line by line, and a second client that sends a
// printer's control codes, into a TCP capture through the window with the
// live view open; then the same capture opened afterwards.
bool LiveViewPictures(const QDir& folder) {
    QTemporaryDir dir;
    const std::string capture = dir.filePath(QStringLiteral("till.bin")).toStdString();
    CtapScopeDlg window(nullptr, capture);
    window.KeepListeningAction()->setChecked(true);
    window.Tab()->setCurrentIndex(2);
    const unsigned short port = FreePort();
    dynamic_cast<EthernetSettingDialog*>(window.SettingsPageWidget())
        ->PortBox()
        ->setText(QString::number(port));
    window.show();
    window.OnLiveView();
    CLiveView* live = window.LiveView();
    window.StartButton()->click();
    if (!WaitFor([&] { return window.StartButton()->text() == "Stop..."; })) {
        std::fprintf(stderr, "tapscope_screenshots: the capture did not start\n");
        return false;
    }
    boost::asio::io_context io;
    const boost::asio::ip::tcp::endpoint server(boost::asio::ip::make_address("127.0.0.1"), port);
    boost::asio::ip::tcp::socket till(io);
    boost::asio::ip::tcp::socket printer(io);
    const char* receipt[] = {"RECEIPT 0001\r\n", "COFFEE          2.50\r\n",
                             "CROISSANT       1.80\r\n", "TOTAL           4.30\r\n",
                             "CARD **** 4242  4.30\r\n"};
    const std::string codes[] = {std::string("\x1b@\x1b!\x10", 5) + "PRINT 0001\r\n",
                                 std::string("\x1b"
                                             "a\x01",
                                             3) +
                                     "THANK YOU\r\n",
                                 std::string("\x1dV\x00", 3)};
    till.connect(server);
    Wait(300);
    for (int round = 0; round < 2; ++round) {
        for (const char* line : receipt) {
            boost::asio::write(till, boost::asio::buffer(std::string(line)));
            Wait(120);
        }
        if (round == 0) {
            printer.connect(server);
            Wait(200);
        }
        for (const std::string& code : codes) {
            boost::asio::write(printer, boost::asio::buffer(code));
            Wait(150);
        }
    }
    printer.close();
    Wait(600);
    // The till's newest row, its bytes in the detail below.
    const QAbstractItemModel* rows = live->Table()->model();
    for (int row = rows->rowCount() - 1; row >= 0; --row) {
        if (rows->index(row, 1).data().toString().startsWith(QStringLiteral("#1")) &&
            rows->index(row, 2).data().isValid()) {
            live->Table()->setCurrentIndex(rows->index(row, 0));
            break;
        }
    }
    live->Table()->scrollToBottom();
    bool ok = Save(*live, folder, QStringLiteral("live-view.png"));
    till.close();
    Wait(300);
    window.StartButton()->click();
    WaitFor([&] { return window.StartButton()->text() == "Start..."; });

    CLiveView* opened = live->OpenCapture(QString::fromStdString(capture));
    if (opened == nullptr) {
        return false;
    }
    // A row of the second client, its bytes in the detail below.
    for (int row = 0; row < opened->Table()->model()->rowCount(); ++row) {
        const QModelIndex index = opened->Table()->model()->index(row, 1);
        if (index.data().toString().startsWith(QStringLiteral("#2")) &&
            opened->Table()->model()->index(row, 2).data().isValid()) {
            opened->Table()->setCurrentIndex(index);
            break;
        }
    }
    ok = Save(*opened, folder, QStringLiteral("live-view-opened.png")) && ok;
    opened->close();
    live->close();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: tapscope_screenshots <folder>\n");
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    if (!folder.exists() && !QDir().mkpath(folder.path())) {
        std::fprintf(stderr, "tapscope_screenshots: cannot make %s\n", argv[1]);
        return 1;
    }
    app.setWindowIcon(tapscope::app::ApplicationIcon());

    bool ok = true;
    CtapScopeDlg window(nullptr, "/home/operator/pos_log.txt");
    window.show();
    const char* names[] = {"window-com.png", "window-udp.png", "window-tcp.png"};
    for (int tab = 0; tab < 3; ++tab) {
        window.Tab()->setCurrentIndex(tab);
        ok = Save(window, folder, QString::fromLatin1(names[tab])) && ok;
    }
    CAboutDlg about(&window);
    about.show();
    ok = Save(about, folder, QStringLiteral("about.png")) && ok;
    about.close();
    ok = LiveViewPictures(folder) && ok;
    const QPixmap icon = tapscope::app::ApplicationIcon().pixmap(128, 128);
    ok = icon.save(folder.filePath(QStringLiteral("icon.png"))) && ok;
    return ok ? 0 : 1;
}
