// Saves pictures of the main window on each tab and of the about box, for
// review. scripts/screenshot runs it under Xvfb:
//   tapscope_screenshots <folder>
#include <QApplication>
#include <QDir>
#include <QPixmap>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

#include "app/about_dlg.h"
#include "app/app_icon.h"
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
    const QPixmap icon = tapscope::app::ApplicationIcon().pixmap(128, 128);
    ok = icon.save(folder.filePath(QStringLiteral("icon.png"))) && ok;
    return ok ? 0 : 1;
}
