#include "app/tapscope_app.h"

#include "app/app_icon.h"
#include "app/tapscope_dlg.h"
#include "log/debug.h"

CtapScopeApp::CtapScopeApp(int& argc, char** argv) : QApplication(argc, argv) {}

CtapScopeApp::~CtapScopeApp() = default;

bool CtapScopeApp::InitInstance() {
    // The first call creates the process-wide log, on this thread.
    ZelLog::CDebug::Instance("", ZelLog::kRegistryPath)->WriteHeader();
    setWindowIcon(tapscope::app::ApplicationIcon());
    // Lets the desktop match the window to tapscope.desktop and its icon.
    setDesktopFileName(QStringLiteral("tapscope"));

    CtapScopeDlg dialog;
    dialog.exec();
    return false;
}
