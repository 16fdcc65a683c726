// CtapScopeDlg: the main window (template 102). It holds the capture
// controller and is its view: file-name box with browse button, a tab per
// transport with the page of the selected tab, a progress indicator that
// beats once per written block, and the Start/Stop button.
//
// Threading: widgets are touched on the window thread only. The capture's
// worker reaches the window through the view operations, which hand every
// control change to the window thread as a queued call; a message box the
// worker waits for is shown by the window thread, and the worker is released
// with the box's default answer if the window ends first. Every way out of the
// window (close, Enter, Escape, destruction) stops the capture and joins the
// worker before anything it uses goes.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPointer>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/capture_controller.h"
#include "app/capture_view.h"
#include "app/live_feed.h"

class CLiveView;
class QLineEdit;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QTabWidget;

class CtapScopeDlg : public QDialog, public tapscope::app::ICaptureView {
    Q_OBJECT

public:
    explicit CtapScopeDlg(QWidget* parent = nullptr,
                          std::string logFileName = tapscope::app::DefaultCaptureFileName());
    ~CtapScopeDlg() override;

    // Handlers.
    void OnStartStop();
    void OnBrowse();
    void OnTabSelChange(int index);
    void OnAbout();
    // Opens the live view beside the window, or raises it.
    void OnLiveView();
    // Replaces the settings page with a new one for tab |index| and places it
    // in the tab control's display area.
    void ShowSettingsPage(int index);

    tapscope::app::CaptureController& Controller() { return m_controller; }

    // The controls, for tests and screenshots.
    QLineEdit* FileNameBox() const { return m_fileNameBox; }
    QPushButton* BrowseButton() const { return m_browseButton; }
    QTabWidget* Tab() const { return m_tab; }
    QProgressBar* Progress() const { return m_progress; }
    QPushButton* StartButton() const { return m_startButton; }
    QWidget* SettingsPageWidget() const { return m_pageWidget; }
    // The live view while it is open; null otherwise.
    CLiveView* LiveView() const;
    // The context menu's checkable "reconnect" item.
    QAction* ReconnectAction() const { return m_reconnectAction; }

    // ICaptureView.
    std::string ReadFileName() override;
    int SelectedTab() override;
    void SetCaption(const std::string& caption) override;
    void EnableControls(bool enabled) override;
    void StepProgress() override;
    int ProgressPosition() override;
    void SetProgressPosition(int position) override;
    tapscope::app::MessageAnswer ShowMessage(
        const tapscope::app::MessageBoxRequest& request) override;
    std::string WindowTitle() override { return m_title; }
    void ShowLeftBehind(std::uint64_t bytes) override;
    // A serial device gone: the title says the capture waits for it, until
    // it is back or the capture ends.
    void ShowEvent(const TransportEvent& event) override;
    // The title says so, beside the losses, until the next capture starts.
    void ShowRecordFailure(const std::string& text) override;
    // The context menu's checkable "keep listening" item.
    QAction* KeepListeningAction() const { return m_keepListeningAction; }

    void done(int result) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Worker changes waiting for the window thread.
    struct ControlChange {
        bool isCaption = false;
        std::string caption;
        bool enabled = false;
    };
    // A message box the worker waits for.
    struct PendingBox {
        tapscope::app::MessageBoxRequest request;
        tapscope::app::MessageAnswer answer = tapscope::app::MessageAnswer::kOk;
        bool shown = false;         // guarded by m_handoffLock
        bool answered = false;      // guarded by m_handoffLock
        QPointer<QMessageBox> box;  // window thread only
    };

    void OnInitDialog();
    // Stops the capture and joins the worker, first releasing a worker that
    // waits for a message box. Every way out of the window calls it.
    void EndCapture();
    bool OnWindowThread() const;
    void QueueControlChange(ControlChange change);

    // Queued calls made by the worker; they carry no data of their own and
    // take what waits under m_handoffLock.
    Q_INVOKABLE void ApplyControlChanges();
    Q_INVOKABLE void ApplyProgress();
    Q_INVOKABLE void ShowPendingBoxes();
    Q_INVOKABLE void ApplyWaiting();

    QIcon m_hIcon;
    const std::string m_title;
    // What the capture hands the live view; before the controller, which
    // uses it until it goes.
    tapscope::app::LiveFeed m_feed;
    tapscope::app::CaptureController m_controller;

    QLineEdit* m_fileNameBox = nullptr;     // 1000
    QPushButton* m_browseButton = nullptr;  // 1001
    QTabWidget* m_tab = nullptr;            // 1006
    QProgressBar* m_progress = nullptr;     // 1004
    QPushButton* m_startButton = nullptr;   // 1005
    QWidget* m_pageWidget = nullptr;        // the settings page shown
    QAction* m_reconnectAction = nullptr;
    QAction* m_keepListeningAction = nullptr;
    QTimer* m_progressTimer = nullptr;
    QPointer<CLiveView> m_liveView;

    std::mutex m_handoffLock;
    std::condition_variable m_boxAnswered;
    std::deque<ControlChange> m_changes;               // guarded by m_handoffLock
    std::vector<std::shared_ptr<PendingBox>> m_boxes;  // guarded by m_handoffLock
    bool m_ending = false;                             // guarded by m_handoffLock
    // The device the capture waits for ("" while none is awaited).
    std::string m_waitingFor;  // guarded by m_handoffLock
    // Losses the system reported in this capture, and a record that cannot
    // be written; the title shows them until the next capture starts.
    std::uint64_t m_datagramsLost = 0;  // guarded by m_handoffLock
    std::uint64_t m_lineErrors = 0;     // guarded by m_handoffLock
    std::string m_recordProblem;        // guarded by m_handoffLock
    // The position the progress indicator shows once the window thread has
    // caught up; only the worker steps it while a capture runs.
    std::atomic<int> m_progressPosition{0};
    std::atomic<bool> m_progressQueued{false};
    // True while a capture runs and m_progressTimer redraws the indicator
    // (window thread writes, worker reads).
    std::atomic<bool> m_progressPolled{false};
};
