// CtapScopeApp: the application of the window. It starts the log, writes its
// banner, runs the main window modally and ends when the window ends.
#pragma once

#include <QApplication>

class CtapScopeApp : public QApplication {
    Q_OBJECT

public:
    CtapScopeApp(int& argc, char** argv);
    ~CtapScopeApp() override;

    // The whole life of the application. Returns false: there is nothing to
    // run after the window.
    bool InitInstance();
};
