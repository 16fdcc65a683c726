#include "app/tapscope_dlg.h"

#include <QAction>
#include <QCloseEvent>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QThread>

#include "app/about_dlg.h"
#include "app/app_icon.h"
#include "app/com_setting_dialog.h"
#include "app/dialog_units.h"
#include "app/ethernet_setting_dialog.h"
#include "app/live_view.h"
#include "app/strings.h"

namespace app = tapscope::app;

namespace {

// Template 102, in dialog units.
constexpr int kWindowWidth = 321;
constexpr int kWindowHeight = 200;
// The progress indicator's range; the controller starts it over at the top.
constexpr int kProgressMaximum = 100;
constexpr int kProgressStep = 10;
// While a capture runs the progress indicator is redrawn from the position
// the worker keeps, this often: faster than the eye follows, and no signal
// crosses from the worker to the window per block.
constexpr int kProgressPollMs = 30;

QString ToQString(const std::string& text) {
    return QString::fromStdString(text);
}

// Message texts use "\r\n" for their line breaks; the box wants "\n".
QString MessageText(const std::string& text) {
    QString result = ToQString(text);
    result.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return result;
}

QMessageBox* MakeMessageBox(const app::MessageBoxRequest& request, QWidget* parent) {
    auto* box = new QMessageBox(parent);
    box->setWindowTitle(ToQString(request.caption));
    // A message quotes file names and transport texts: "<b>" in one is shown
    // as written, never taken as markup.
    box->setTextFormat(Qt::PlainText);
    box->setText(MessageText(request.text));
    if (!request.detail.empty()) {
        box->setInformativeText(MessageText(request.detail));
    }
    // The informative text has a label of its own, which does not follow the
    // box's text format.
    for (QLabel* label : box->findChildren<QLabel*>()) {
        label->setTextFormat(Qt::PlainText);
    }
    switch (request.icon) {
        case app::MessageIcon::kError:
            box->setIcon(QMessageBox::Critical);
            break;
        case app::MessageIcon::kInformation:
            box->setIcon(QMessageBox::Information);
            break;
        case app::MessageIcon::kWarning:
            box->setIcon(QMessageBox::Warning);
            break;
    }
    if (request.buttons == app::MessageButtons::kYesNo) {
        box->setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box->setDefaultButton(QMessageBox::Yes);
    } else {
        box->setStandardButtons(QMessageBox::Ok);
    }
    return box;
}

app::MessageAnswer AnswerOf(int result, const app::MessageBoxRequest& request) {
    switch (result) {
        case QMessageBox::Yes:
            return app::MessageAnswer::kYes;
        case QMessageBox::No:
            return app::MessageAnswer::kNo;
        case QMessageBox::Ok:
            return app::MessageAnswer::kOk;
        default:
            // Closed without a button (Escape, the window's close button).
            return request.DefaultAnswer();
    }
}

}  // namespace

CtapScopeDlg::CtapScopeDlg(QWidget* parent, std::string logFileName)
    : QDialog(parent),
      m_hIcon(app::ApplicationIcon()),
      m_title(app::kMainTitle),
      m_controller(*this, std::move(logFileName)) {
    m_controller.SetFeed(&m_feed);
    setFont(app::DialogFont());
    const app::DialogUnits units(font());
    setWindowTitle(ToQString(m_title));
    // Caption, system menu and minimise box; not resizable.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(units.Size(kWindowWidth, kWindowHeight));

    auto* fileLabel = new QLabel(QString::fromLatin1(app::kFileNameLabel), this);
    fileLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    fileLabel->setGeometry(units.Rect(7, 10, 46, 8));
    m_fileNameBox = new QLineEdit(this);
    m_fileNameBox->setGeometry(units.Rect(56, 7, 229, 14));
    m_browseButton = new QPushButton(QString::fromLatin1(app::kBrowseText), this);
    m_browseButton->setGeometry(units.Rect(286, 7, 28, 14));
    m_tab = new QTabWidget(this);
    m_tab->setGeometry(units.Rect(7, 26, 307, 129));
    auto* statusLabel = new QLabel(QString::fromLatin1(app::kStatusLabel), this);
    statusLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    statusLabel->setGeometry(units.Rect(7, 161, 24, 8));
    m_progress = new QProgressBar(this);
    m_progress->setGeometry(units.Rect(35, 161, 279, 8));
    m_progress->setRange(0, kProgressMaximum);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    m_startButton = new QPushButton(QString::fromLatin1(app::kInitialCaption), this);
    m_startButton->setGeometry(units.Rect(7, 178, 307, 15));
    // Neither button is the default: Enter presses the button that has the
    // focus, and elsewhere ends the window (keyPressEvent).
    m_browseButton->setAutoDefault(false);
    m_startButton->setAutoDefault(false);

    connect(m_startButton, &QPushButton::clicked, this, &CtapScopeDlg::OnStartStop);
    connect(m_browseButton, &QPushButton::clicked, this, &CtapScopeDlg::OnBrowse);
    OnInitDialog();
}

CtapScopeDlg::~CtapScopeDlg() {
    EndCapture();
    // The live view reads m_feed, which goes before the child windows do.
    delete m_liveView;
}

void CtapScopeDlg::OnInitDialog() {
    // The desktops offer no way to add to the window manager's menu, so the
    // about box is on the window's own context menu.
    const std::string aboutText = app::LoadString(app::IDS_ABOUTBOX);
    if (!aboutText.empty()) {
        auto* about = new QAction(ToQString(aboutText), this);
        connect(about, &QAction::triggered, this, &CtapScopeDlg::OnAbout);
        addAction(about);
    }
    // What arrives, as it arrives, in a window beside this one.
    auto* liveView = new QAction(QString::fromLatin1(app::kLiveViewText), this);
    connect(liveView, &QAction::triggered, this, &CtapScopeDlg::OnLiveView);
    addAction(liveView);
    // A serial capture whose device goes away waits for it to come back
    // (re-plugged, perhaps under another kernel name) instead of ending.
    m_reconnectAction = new QAction(QString::fromLatin1(app::kReconnectText), this);
    m_reconnectAction->setCheckable(true);
    m_reconnectAction->setChecked(m_controller.Reconnect());
    connect(m_reconnectAction, &QAction::toggled, this,
            [this](bool checked) { m_controller.SetReconnect(checked); });
    addAction(m_reconnectAction);
    // A TCP capture that outlives its clients: many tills open a connection
    // per receipt.
    m_keepListeningAction = new QAction(QString::fromLatin1(app::kKeepListeningText), this);
    m_keepListeningAction->setCheckable(true);
    m_keepListeningAction->setChecked(m_controller.KeepListening());
    connect(m_keepListeningAction, &QAction::toggled, this,
            [this](bool checked) { m_controller.SetKeepListening(checked); });
    addAction(m_keepListeningAction);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    m_progressTimer = new QTimer(this);
    connect(m_progressTimer, &QTimer::timeout, this, &CtapScopeDlg::ApplyProgress);
    setWindowIcon(m_hIcon);

    m_fileNameBox->setText(ToQString(m_controller.LogFileName()));
    for (const int id : {app::IDS_TAB_COM, app::IDS_TAB_UDP, app::IDS_TAB_TCP}) {
        // Each tab's area is where the page of that tab is put.
        m_tab->addTab(new QWidget, ToQString(app::LoadString(id)));
    }
    m_tab->setCurrentIndex(0);
    ShowSettingsPage(0);
    connect(m_tab, &QTabWidget::currentChanged, this, &CtapScopeDlg::OnTabSelChange);
}

void CtapScopeDlg::ShowSettingsPage(int index) {
    if (index < app::kTabCom || index > app::kTabTcp) {
        return;
    }
    QWidget* area = m_tab->widget(index);
    QWidget* widget = nullptr;
    std::shared_ptr<ISettingsDialog> page;
    if (index == app::kTabCom) {
        auto* com = new ComSettingDialog(area);
        widget = com;
        page = std::shared_ptr<ComSettingDialog>(com);
    } else {
        auto* ethernet = new EthernetSettingDialog(area);
        widget = ethernet;
        page = std::shared_ptr<EthernetSettingDialog>(ethernet);
    }
    // The previous page (and its window) goes with its last handle.
    m_controller.SetSettingsPage(std::move(page));
    m_pageWidget = widget;
    widget->move(0, 0);
    widget->show();
}

void CtapScopeDlg::OnTabSelChange(int index) {
    ShowSettingsPage(index);
}

void CtapScopeDlg::OnStartStop() {
    m_controller.OnStartStop();
}

void CtapScopeDlg::OnBrowse() {
    m_controller.SetLogFileName(ReadFileName());
    const QString current = ToQString(m_controller.LogFileName());
    QFileDialog dialog(this, QString(), current, QString::fromLatin1(app::kBrowseFilter));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // An open dialog that also takes a name that does not exist yet.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(QString::fromLatin1(app::kBrowseExtension));
    if (!current.isEmpty()) {
        dialog.selectFile(current);
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return;
    }
    m_controller.SetLogFileName(dialog.selectedFiles().constFirst().toStdString());
    m_fileNameBox->setText(ToQString(m_controller.LogFileName()));
}

void CtapScopeDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CtapScopeDlg::OnLiveView() {
    if (m_liveView == nullptr) {
        m_liveView = new CLiveView(m_feed, this);
        m_liveView->setAttribute(Qt::WA_DeleteOnClose);
    }
    m_liveView->show();
    m_liveView->raise();
    m_liveView->activateWindow();
}

CLiveView* CtapScopeDlg::LiveView() const {
    return m_liveView.data();
}

std::string CtapScopeDlg::ReadFileName() {
    return m_fileNameBox->text().toStdString();
}

int CtapScopeDlg::SelectedTab() {
    return m_tab->currentIndex();
}

bool CtapScopeDlg::OnWindowThread() const {
    return QThread::currentThread() == thread();
}

void CtapScopeDlg::SetCaption(const std::string& caption) {
    ControlChange change;
    change.isCaption = true;
    change.caption = caption;
    QueueControlChange(std::move(change));
}

void CtapScopeDlg::EnableControls(bool enabled) {
    if (!enabled) {
        // A capture begins: the last one's losses and problems go.
        {
            std::lock_guard lock(m_handoffLock);
            m_datagramsLost = 0;
            m_lineErrors = 0;
            m_recordProblem.clear();
        }
        QMetaObject::invokeMethod(this, "ApplyWaiting", Qt::QueuedConnection);
    }
    ControlChange change;
    change.enabled = enabled;
    QueueControlChange(std::move(change));
}

void CtapScopeDlg::QueueControlChange(ControlChange change) {
    {
        std::lock_guard lock(m_handoffLock);
        m_changes.push_back(std::move(change));
    }
    if (OnWindowThread()) {
        ApplyControlChanges();
    } else {
        QMetaObject::invokeMethod(this, "ApplyControlChanges", Qt::QueuedConnection);
    }
}

void CtapScopeDlg::ApplyControlChanges() {
    std::deque<ControlChange> changes;
    {
        std::lock_guard lock(m_handoffLock);
        changes.swap(m_changes);
    }
    for (const ControlChange& change : changes) {
        if (change.isCaption) {
            m_startButton->setText(ToQString(change.caption));
        } else {
            m_tab->setEnabled(change.enabled);
            m_fileNameBox->setEnabled(change.enabled);
            m_browseButton->setEnabled(change.enabled);
            if (m_progressTimer == nullptr) {
                // Not set up yet: every step is queued to the window.
            } else if (!change.enabled) {
                // A capture runs: the indicator follows the worker's steps.
                m_progressPolled.store(true, std::memory_order_relaxed);
                m_progressTimer->start(kProgressPollMs);
            } else {
                m_progressTimer->stop();
                m_progressPolled.store(false, std::memory_order_relaxed);
                ApplyProgress();
            }
            if (change.enabled) {
                // The capture ended: it waits for nothing any more.
                {
                    std::lock_guard lock(m_handoffLock);
                    m_waitingFor.clear();
                }
                ApplyWaiting();
            }
        }
    }
}

void CtapScopeDlg::ShowEvent(const TransportEvent& event) {
    if (event.kind != TransportEvent::Kind::kDeviceGone &&
        event.kind != TransportEvent::Kind::kDeviceBack &&
        event.kind != TransportEvent::Kind::kLoss) {
        return;
    }
    {
        std::lock_guard lock(m_handoffLock);
        if (event.kind == TransportEvent::Kind::kLoss) {
            (event.unit == "datagrams" ? m_datagramsLost : m_lineErrors) += event.count;
        } else {
            m_waitingFor = event.kind == TransportEvent::Kind::kDeviceGone ? event.source : "";
        }
    }
    if (OnWindowThread()) {
        ApplyWaiting();
    } else {
        QMetaObject::invokeMethod(this, "ApplyWaiting", Qt::QueuedConnection);
    }
}

void CtapScopeDlg::ShowRecordFailure(const std::string& text) {
    {
        std::lock_guard lock(m_handoffLock);
        m_recordProblem = text;
    }
    QMetaObject::invokeMethod(this, "ApplyWaiting", Qt::QueuedConnection);
}

void CtapScopeDlg::ApplyWaiting() {
    std::string title = m_title;
    {
        std::lock_guard lock(m_handoffLock);
        if (!m_waitingFor.empty()) {
            title += " - waiting for " + m_waitingFor + " to come back";
        }
        if (m_datagramsLost > 0) {
            title += " - " + std::to_string(m_datagramsLost) + " datagrams dropped by the system";
        }
        if (m_lineErrors > 0) {
            title += " - " + std::to_string(m_lineErrors) + " line errors";
        }
        if (!m_recordProblem.empty()) {
            title += " - no record: " + m_recordProblem;
        }
    }
    setWindowTitle(ToQString(title));
}

// The worker steps the indicator once per block, which may be thousands of
// times a second; the window shows the latest position, so the steps between
// two repaints are coalesced into one queued call.
void CtapScopeDlg::StepProgress() {
    m_progressPosition.fetch_add(kProgressStep, std::memory_order_relaxed);
    if (m_progressPolled.load(std::memory_order_relaxed)) {
        return;  // the window's timer takes it
    }
    if (!m_progressQueued.exchange(true, std::memory_order_acq_rel)) {
        QMetaObject::invokeMethod(this, "ApplyProgress", Qt::QueuedConnection);
    }
}

int CtapScopeDlg::ProgressPosition() {
    return m_progressPosition.load(std::memory_order_relaxed);
}

void CtapScopeDlg::SetProgressPosition(int position) {
    m_progressPosition.store(position, std::memory_order_relaxed);
    if (m_progressPolled.load(std::memory_order_relaxed)) {
        return;
    }
    if (!m_progressQueued.exchange(true, std::memory_order_acq_rel)) {
        QMetaObject::invokeMethod(this, "ApplyProgress", Qt::QueuedConnection);
    }
}

void CtapScopeDlg::ApplyProgress() {
    // Cleared before reading, so that a step made meanwhile queues anew.
    m_progressQueued.store(false, std::memory_order_release);
    const int position = m_progressPosition.load(std::memory_order_relaxed);
    if (m_progress->value() != position) {
        m_progress->setValue(position);
    }
}

app::MessageAnswer CtapScopeDlg::ShowMessage(const app::MessageBoxRequest& request) {
    if (OnWindowThread()) {
        std::unique_ptr<QMessageBox> box(MakeMessageBox(request, this));
        return AnswerOf(box->exec(), request);
    }
    auto pending = std::make_shared<PendingBox>();
    pending->request = request;
    std::unique_lock lock(m_handoffLock);
    if (m_ending) {
        return request.DefaultAnswer();
    }
    m_boxes.push_back(pending);
    QMetaObject::invokeMethod(this, "ShowPendingBoxes", Qt::QueuedConnection);
    m_boxAnswered.wait(lock, [&] { return pending->answered; });
    std::erase(m_boxes, pending);
    return pending->answer;
}

void CtapScopeDlg::ShowLeftBehind(std::uint64_t bytes) {
    ShowMessage({std::to_string(bytes) +
                     " bytes that had arrived were not captured: the stop reads what has "
                     "already arrived for at most one second.",
                 "", m_title, app::MessageButtons::kOk, app::MessageIcon::kWarning});
}

void CtapScopeDlg::ShowPendingBoxes() {
    std::vector<std::shared_ptr<PendingBox>> toShow;
    {
        std::lock_guard lock(m_handoffLock);
        for (const auto& pending : m_boxes) {
            if (!pending->shown && !pending->answered) {
                pending->shown = true;
                toShow.push_back(pending);
            }
        }
    }
    for (const auto& pending : toShow) {
        // Shown without a nested event loop: the window thread goes on
        // serving the window, and the answer releases the worker.
        QMessageBox* box = MakeMessageBox(pending->request, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        pending->box = box;
        connect(box, &QMessageBox::finished, this, [this, pending](int result) {
            {
                std::lock_guard lock(m_handoffLock);
                if (!pending->answered) {
                    pending->answer = AnswerOf(result, pending->request);
                    pending->answered = true;
                }
            }
            m_boxAnswered.notify_all();
        });
        box->open();
    }
}

void CtapScopeDlg::EndCapture() {
    std::vector<QPointer<QMessageBox>> open;
    {
        std::lock_guard lock(m_handoffLock);
        m_ending = true;
        for (const auto& pending : m_boxes) {
            if (!pending->answered) {
                pending->answer = pending->request.DefaultAnswer();
                pending->answered = true;
            }
            open.push_back(pending->box);
        }
    }
    m_boxAnswered.notify_all();
    for (const QPointer<QMessageBox>& box : open) {
        if (box != nullptr) {
            box->close();
        }
    }
    m_controller.OnClose();
    std::lock_guard lock(m_handoffLock);
    m_ending = false;
}

void CtapScopeDlg::done(int result) {
    EndCapture();
    QDialog::done(result);
}

void CtapScopeDlg::closeEvent(QCloseEvent* event) {
    // OnClose: the capture ends with the window.
    EndCapture();
    QDialog::closeEvent(event);
}

void CtapScopeDlg::keyPressEvent(QKeyEvent* event) {
    // Enter ends the window, as the dialog's accept command does, unless a
    // button has the focus: then it presses that button.
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && event->modifiers() == Qt::NoModifier) {
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button != nullptr) {
            button->click();
        } else {
            accept();
        }
        return;
    }
    QDialog::keyPressEvent(event);
}
