// The life of one capture:
//
//   window thread                         worker thread
//   OnStartStop (no transport held)
//     join the last worker
//     file name, page, capture file
//     CreateProtocol, Start
//     restart io_context, start worker -> RunService
//                                           SetControlsState(false)
//                                           io_context.run()
//                                             OnProtocolData: append block
//                                             OnProtocolMessage: box, StopCapture
//   OnStartStop (transport held)
//     StopCapture: take the transport,
//     Stop, release, stop io_context  ---->   run() returns
//                                           SetControlsState(true)
//   OnClose: StopCapture, join worker
//
// A transport that is no longer held (a stop raced with its last emission)
// is ignored: its late data is not written and its late message cannot stop
// the next capture.
#include "app/capture_controller.h"

#include <algorithm>
#include <boost/format.hpp>
#include <chrono>
#include <exception>
#include <filesystem>
#include <system_error>

#include "app/strings.h"
#include "log/debug.h"
#include "platform/capture_file.h"
#include "platform/file.h"
#include "protocols/serial_protocol.h"
#include "protocols/tcp_server_protocol.h"
#include "protocols/udp_protocol.h"

namespace tapscope::app {
namespace {

// The progress indicator's range and step; the controller starts it over at
// the top, so that it beats once per block rather than measuring anything.
constexpr int kProgressTop = 100;

// How long the controller's destructor lets the io_context complete what
// StopCapture aborted. Stopped transports finish at once; the bound only keeps
// a transport that ignores its stop from hanging the window's end.
constexpr auto kDrainLimit = std::chrono::seconds(2);

constexpr const char* kCaptureFileName = "pos_log.txt";

}  // namespace

std::string DefaultCaptureFileName() {
    std::error_code error;
    const std::filesystem::path folder = std::filesystem::current_path(error);
    if (error) {
        return kCaptureFileName;
    }
    return (folder / kCaptureFileName).generic_string();
}

CaptureController::CaptureController(ICaptureView& view, std::string logFileName)
    : m_view(view), m_logFileName(std::move(logFileName)) {}

CaptureController::~CaptureController() {
    OnClose();
    // Stopped transports still have aborted operations queued; run them so
    // that every transport is released before the io_context goes.
    m_ioService.restart();
    m_ioService.run_for(kDrainLimit);
    m_settingsPage.reset();
}

void CaptureController::OnStartStop() {
    if (HoldsProtocol()) {
        StopCapture();
        return;
    }
    // The last capture is still ending (its worker may be waiting for the
    // operator to close a message box): the press waits for that.
    if (!WorkerFinished()) {
        return;
    }
    // The last worker has left its run loop; it must be gone before its
    // capture's state is reused.
    JoinWorker();

    m_logFileName = m_view.ReadFileName();
    if (m_logFileName.empty()) {
        ShowApplicationMessage(kEmptyFileName, "", MessageButtons::kOk, MessageIcon::kWarning);
        return;
    }
    if (!PageAccepts() || !PrepareCaptureFile(m_logFileName)) {
        return;
    }
    m_captureFileName = m_logFileName;
    m_blocks.store(0, std::memory_order_relaxed);
    m_bytes.store(0, std::memory_order_relaxed);

    CreateProtocol();
    std::shared_ptr<AbstractProtocol> protocol;
    {
        std::lock_guard lock(m_protocolLock);
        protocol = m_protocol;
    }
    // A message that Start reports comes back through OnProtocolMessage on
    // this thread and may already have released m_protocol; |protocol| keeps
    // the transport alive until Start has returned.
    m_transportStarted = protocol != nullptr && protocol->Start();
    protocol.reset();

    m_ioService.restart();
    m_workerFinished.store(false, std::memory_order_release);
    m_worker = std::thread(&CaptureController::RunService, this);
}

bool CaptureController::PageAccepts() {
    if (m_settingsPage == nullptr) {
        return true;  // no transport will be created; the worker ends at once
    }
    m_settingsPage->GetSettings();
    return !m_settingsPage->SettingsRejected();
}

bool CaptureController::PrepareCaptureFile(const std::string& path) {
    namespace fs = std::filesystem;
    const std::string name = fs::path(path).filename().string();
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    // A missing folder counts as a missing file: the blocks will then report
    // that the file cannot be opened.
    if (status.type() == fs::file_type::not_found) {
        return true;
    }
    if (error) {
        ZEL_ERROR_SITE()("Cannot check file [%s]: %s", path.c_str(), error.message().c_str());
        ShowApplicationMessage(
            (boost::format("Cannot check whether file '%1%' exists.") % name).str(),
            path + ": " + error.message(), MessageButtons::kOk, MessageIcon::kWarning);
        return false;
    }
    if (status.type() == fs::file_type::directory) {
        const std::string reason = platform::ErrorText(static_cast<int>(std::errc::is_a_directory));
        ZEL_ERROR_SITE()("Cannot capture into [%s]: %s", path.c_str(), reason.c_str());
        ShowApplicationMessage((boost::format("'%1%' is a folder, not a file.") % name).str(),
                               path + ": " + reason, MessageButtons::kOk, MessageIcon::kWarning);
        return false;
    }
    if (status.type() != fs::file_type::regular) {
        // A device or a pipe (such as /dev/null or a FIFO that a reader
        // drains) is written to as it stands: there is nothing to replace,
        // and removing it would be wrong.
        return true;
    }
    MessageAnswer answer = MessageAnswer::kNo;
    ShowApplicationMessage((boost::format(kOverwriteQuestion) % name).str(), "",
                           MessageButtons::kYesNo, MessageIcon::kError, &answer);
    if (answer != MessageAnswer::kYes) {
        return false;
    }
    if (!fs::remove(path, error) && error) {
        ZEL_ERROR_SITE()("Cannot remove file [%s]: %s", path.c_str(), error.message().c_str());
        ShowApplicationMessage((boost::format("Cannot remove file '%1%'.") % name).str(),
                               path + ": " + error.message(), MessageButtons::kOk,
                               MessageIcon::kWarning);
        return false;
    }
    return true;
}

void CaptureController::CreateProtocol() {
    if (m_settingsPage == nullptr) {
        return;
    }
    const std::string settings = m_settingsPage->GetSettings();
    ZelLog::Log()->Trace("[Current settings ] = %s", settings.c_str());

    std::shared_ptr<AbstractProtocol> protocol;
    switch (m_view.SelectedTab()) {
        case kTabCom: {
            auto serial = MakeProtocol<SerialProtocol>(m_ioService, settings);
            serial->SetReconnect(m_reconnect);
            protocol = std::move(serial);
            break;
        }
        case kTabUdp:
            protocol = MakeProtocol<UDPProtocol>(m_ioService, settings);
            break;
        case kTabTcp:
            protocol = TCPServerProtocol::Create(m_ioService, settings);
            break;
        default:
            break;
    }
    if (protocol != nullptr) {
        protocol->m_dataSignal.connect(
            [this](std::shared_ptr<AbstractProtocol> sender, const std::vector<char>& block,
                   const unsigned int& count) { OnProtocolData(std::move(sender), block, count); });
        protocol->m_messageSignal.connect(
            [this](std::shared_ptr<AbstractProtocol> sender, const std::string& message) {
                OnProtocolMessage(std::move(sender), message);
            });
        protocol->m_eventSignal.connect(
            [this](std::shared_ptr<AbstractProtocol> sender, const TransportEvent& event) {
                OnProtocolEvent(std::move(sender), event);
            });
    }
    std::lock_guard lock(m_protocolLock);
    m_protocol = std::move(protocol);
}

void CaptureController::StopCapture() {
    std::lock_guard stop(m_stopLock);
    std::shared_ptr<AbstractProtocol> protocol;
    {
        // Taken out first: a message that Stop itself reports then finds the
        // transport no longer held and cannot enter a second stop of it.
        std::lock_guard lock(m_protocolLock);
        protocol.swap(m_protocol);
    }
    if (protocol != nullptr) {
        protocol->Stop();
        // The last owner's release stops it again and destroys it; a copy
        // held by an emission in progress delays that until it returns.
        protocol.reset();
    }
    if (!m_ioService.stopped()) {
        m_ioService.stop();
    }
}

void CaptureController::RunService() {
    SetControlsState(false);
    std::string failure;
    try {
        m_ioService.run();
    } catch (const std::exception& error) {
        failure = error.what();
    } catch (...) {
        failure = "Unknown error in the capture's run loop";
    }
    if (!failure.empty()) {
        // A handler threw out of the run loop: the capture cannot go on.
        m_view.ShowMessage(
            {failure, "", m_view.WindowTitle(), MessageButtons::kOk, MessageIcon::kError});
        ZEL_ERROR_SITE()("%s", failure.c_str());
        StopCapture();
    }
    SetControlsState(true);
    m_workerFinished.store(true, std::memory_order_release);
}

void CaptureController::SetControlsState(bool idle) {
    m_view.SetCaption(LoadString(idle ? IDS_START : IDS_STOP));
    m_view.EnableControls(idle);
}

void CaptureController::OnProtocolData(std::shared_ptr<AbstractProtocol> sender,
                                       const std::vector<char>& block, const unsigned int& count) {
    if (!IsCurrent(sender)) {
        return;
    }
    // The valid bytes are the first |count| of |block|; never more than it has.
    const std::size_t size = std::min<std::size_t>(count, block.size());
    int error = 0;
    const platform::AppendResult result =
        platform::AppendToFile(m_captureFileName, block.data(), size, error);
    if (result == platform::AppendResult::kOpenFailed) {
        const std::string reason = platform::ErrorText(error);
        ZEL_ERROR_SITE()("Cannot open file [%s]: %s", m_captureFileName.c_str(), reason.c_str());
        ShowApplicationMessage(kCannotOpenFile, m_captureFileName + ": " + reason,
                               MessageButtons::kOk, MessageIcon::kWarning);
        return;
    }
    if (block.empty()) {
        return;
    }
    if (result == platform::AppendResult::kWriteFailed) {
        // The block is not (wholly) in the file: say so rather than report
        // success.
        const std::string reason = platform::ErrorText(error);
        ZEL_ERROR_SITE()("Cannot write file [%s]: %s", m_captureFileName.c_str(), reason.c_str());
        ShowApplicationMessage("Cannot write file", m_captureFileName + ": " + reason,
                               MessageButtons::kOk, MessageIcon::kWarning);
        return;
    }
    ZelLog::Log()->Trace("Success write [%i] symbols to file [%s]", static_cast<int>(size),
                         m_captureFileName.c_str());
    m_blocks.fetch_add(1, std::memory_order_relaxed);
    m_bytes.fetch_add(size, std::memory_order_relaxed);
    m_view.StepProgress();
    if (m_view.ProgressPosition() >= kProgressTop) {
        m_view.SetProgressPosition(0);
    }
}

void CaptureController::OnProtocolMessage(std::shared_ptr<AbstractProtocol> sender,
                                          const std::string& message) {
    if (!IsCurrent(sender)) {
        ZelLog::Log()->Warning("Message of a transport no longer in use: %s", message.c_str());
        return;
    }
    const std::string title = m_view.WindowTitle();
    m_view.ShowMessage({message, "", title, MessageButtons::kOk, MessageIcon::kError});
    ZEL_ERROR_SITE()("%s", message.c_str());
    StopCapture();
}

void CaptureController::OnProtocolEvent(std::shared_ptr<AbstractProtocol> sender,
                                        const TransportEvent& event) {
    if (!IsCurrent(sender)) {
        return;
    }
    // The transport has logged it; the view shows it.
    m_view.ShowEvent(event);
}

void CaptureController::OnClose() {
    StopCapture();
    JoinWorker();
}

bool CaptureController::HoldsProtocol() const {
    std::lock_guard lock(m_protocolLock);
    return m_protocol != nullptr;
}

std::shared_ptr<AbstractProtocol> CaptureController::CurrentProtocol() const {
    std::lock_guard lock(m_protocolLock);
    return m_protocol;
}

bool CaptureController::IsCurrent(const std::shared_ptr<AbstractProtocol>& sender) const {
    std::lock_guard lock(m_protocolLock);
    return sender != nullptr && sender.get() == m_protocol.get();
}

void CaptureController::JoinWorker() {
    if (m_worker.joinable() && m_worker.get_id() != std::this_thread::get_id()) {
        m_worker.join();
    }
}

void CaptureController::ShowApplicationMessage(const std::string& text, const std::string& detail,
                                               MessageButtons buttons, MessageIcon icon,
                                               MessageAnswer* answer) {
    const MessageAnswer given = m_view.ShowMessage({text, detail, kProgramName, buttons, icon});
    if (answer != nullptr) {
        *answer = given;
    }
}

}  // namespace tapscope::app
