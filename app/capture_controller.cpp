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
//                                             OnProtocolEvent: client closed:
//                                               information box, StopCapture
//   OnStartStop (transport held)
//     StopCapture: the transport becomes
//     m_stopping; Drain(now + 1 s)  ------>   the transport delivers what had
//     (returns at once)                       already arrived (still appended),
//                                             then FinishStop: Stop, release,
//                                             stop io_context; run() returns
//                                           what Stop reported: box
//                                           SetControlsState(true)
//   OnClose: StopCapture, join worker
//
// With no run loop to drain on (Start failed, or the loop ended by itself),
// StopCapture goes straight to FinishStop. A transport that is neither held
// nor ending (a stop raced with its last emission) is ignored: its late data
// is not written and its late message cannot stop the next capture.
#include "app/capture_controller.h"

#include <algorithm>
#include <boost/format.hpp>
#include <chrono>
#include <cinttypes>
#include <exception>
#include <filesystem>
#include <system_error>

#include "app/command_line.h"
#include "app/strings.h"
#include "log/debug.h"
#include "platform/capture_file.h"
#include "platform/file.h"
#include "platform/system_info.h"
#include "protocols/serial_protocol.h"
#include "protocols/settings_document.h"
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

// The name that stands for standard output where that is allowed, and how
// messages call it.
constexpr const char* kStandardOutputName = "-";
constexpr const char* kStandardOutputText = "standard output";

// How long, once the capture is stopping, a block may still wait for room in
// a full pipe: short enough that every way out ends within a second whatever
// the pipe's reader does, long enough for a reader that is only slow.
constexpr auto kStopWriteGrace = std::chrono::milliseconds(500);

std::int64_t SteadyNow() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string Blocks(std::uint64_t count) {
    return std::to_string(count) + (count == 1 ? " block was" : " blocks were");
}

// "<file>: <reason>", or "<link>: <reason>" for a link that is not followed.
std::string Detail(const std::string& file, const platform::CaptureFileResult& result) {
    return (result.link.empty() ? file : result.link) + ": " + result.reason;
}

// How long the end of a capture goes on reading what had already arrived
// before it closes the transport (a sender that never stops would otherwise
// keep it open for good).
constexpr auto kDrainTime = std::chrono::seconds(1);

// How often the record is written out, ending the row being gathered.
constexpr auto kRecordFlushPeriod = std::chrono::seconds(1);
// The burst gap where none is given and the line speed asks for no longer.
constexpr std::chrono::microseconds kDefaultBurstGap{10'000};

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
    : m_view(view),
      m_logFileName(std::move(logFileName)),
      m_giveUp([this] { return GiveUpWriting(); }) {
    // The capture file may be a pipe: a reader that goes away must end the
    // capture with a message, not end the program.
    platform::IgnoreBrokenPipe();
}

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

    m_captureFileRefused = false;
    m_logFileName = m_view.ReadFileName();
    if (m_logFileName.empty()) {
        ShowApplicationMessage(kEmptyFileName, "", MessageButtons::kOk, MessageIcon::kWarning);
        return;
    }
    if (!PageAccepts()) {
        return;
    }
    const bool toStandardOutput = m_standardOutputAllowed && m_logFileName == kStandardOutputName;
    auto file = std::make_unique<platform::CaptureFile>(m_logFileName, toStandardOutput);
    if (!toStandardOutput) {
        // The link rule first: the overwrite question must not be asked
        // about a file that another user's link points at.
        if (const platform::CaptureFileResult links = file->CheckLinks(); !links.Ok()) {
            RefuseCaptureFile(m_logFileName, links);
            return;
        }
        // A capture that rolls over begins a new, time-stamped file: there
        // is nothing to replace.
        if (!m_rollover.Active() && !PrepareCaptureFile(m_logFileName)) {
            return;
        }
    }
    // Found out now rather than when the first block is lost.
    if (const platform::CaptureFileResult check = file->Check(); !check.Ok()) {
        RefuseCaptureFile(toStandardOutput ? kStandardOutputText : m_logFileName, check);
        return;
    }
    m_captureFileName = toStandardOutput ? kStandardOutputText : m_logFileName;
    m_roller = m_rollover.Active() && !toStandardOutput
                   ? std::make_unique<CaptureRoller>(m_captureFileName, m_rollover)
                   : nullptr;
    // Only a file of its own gets a record: not standard output, a pipe or
    // a device (whose folder, such as /dev, is no place for one).
    std::error_code statusError;
    const auto captureType = std::filesystem::status(m_logFileName, statusError).type();
    m_recording = m_recordWanted && !toStandardOutput &&
                  (m_roller != nullptr || captureType == std::filesystem::file_type::regular ||
                   captureType == std::filesystem::file_type::not_found);
    m_blocks.store(0, std::memory_order_relaxed);
    m_bytes.store(0, std::memory_order_relaxed);
    m_dropped.store(0, std::memory_order_relaxed);
    m_datagramsLost.store(0, std::memory_order_relaxed);
    m_lineErrors.store(0, std::memory_order_relaxed);
    m_stopSince.store(0, std::memory_order_relaxed);
    {
        std::lock_guard lock(m_writeLock);
        m_captureFile = std::move(file);
        m_outage = false;
        m_outageDropped = 0;
        m_recordWriter.reset();
        m_recordFile.clear();
        m_recordFailure.clear();
        m_lostUnits = 0;
        m_flusherStop = false;
    }
    {
        std::lock_guard lock(m_protocolLock);
        m_lastDrain = DrainResult{};
        m_endedBy.clear();
        m_endReason.clear();
        m_endText.clear();
    }

    CreateProtocol();
    if (m_feed != nullptr) {
        m_feed->Begin(RecordStartFor(m_captureTab, m_captureSettings));
    }
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
    if (m_transportStarted && m_recording) {
        {
            // A capture that rolls over begins its first file, and that
            // file's record, with its first block.
            std::lock_guard lock(m_writeLock);
            if (m_roller == nullptr) {
                BeginRecordLocked(m_captureFileName);
            }
        }
        m_recordFlusher = std::thread(&CaptureController::FlushRecordEverySecond, this);
    }

    m_ioService.restart();
    m_workerFinished.store(false, std::memory_order_release);
    {
        // From here on a stop leaves its drain to the worker, which runs the
        // io_context next, even when it has not reached its run loop yet.
        std::lock_guard stop(m_stopLock);
        m_runLoopActive = true;
    }
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
    // A missing folder counts as a missing file here; the check that the file
    // can be created reports it.
    if (status.type() == fs::file_type::not_found) {
        return true;
    }
    if (error) {
        m_captureFileRefused = true;
        ZEL_ERROR_SITE()("Cannot check file [%s]: %s", path.c_str(), error.message().c_str());
        ShowApplicationMessage(
            (boost::format("Cannot check whether file '%1%' exists.") % name).str(),
            path + ": " + error.message(), MessageButtons::kOk, MessageIcon::kWarning);
        return false;
    }
    if (status.type() == fs::file_type::directory) {
        m_captureFileRefused = true;
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
        m_captureFileRefused = true;
        ZEL_ERROR_SITE()("Cannot remove file [%s]: %s", path.c_str(), error.message().c_str());
        ShowApplicationMessage((boost::format("Cannot remove file '%1%'.") % name).str(),
                               path + ": " + error.message(), MessageButtons::kOk,
                               MessageIcon::kWarning);
        return false;
    }
    return true;
}

void CaptureController::RefuseCaptureFile(const std::string& path,
                                          const platform::CaptureFileResult& result) {
    m_captureFileRefused = true;
    const std::string detail = Detail(path, result);
    ZEL_ERROR_SITE()("Cannot capture into [%s]: %s", path.c_str(), detail.c_str());
    const std::string name = std::filesystem::path(path).filename().string();
    ShowApplicationMessage((boost::format("Cannot capture into file '%1%'.") % name).str(), detail,
                           MessageButtons::kOk, MessageIcon::kWarning);
}

std::shared_ptr<AbstractProtocol> CaptureController::MakeTabProtocol(int tab,
                                                                     const std::string& settings) {
    switch (tab) {
        case kTabCom: {
            auto serial = MakeProtocol<SerialProtocol>(m_ioService, settings);
            serial->SetReconnect(m_reconnect);
            serial->SetReadSize(m_readSize);
            return serial;
        }
        case kTabUdp:
            return MakeProtocol<UDPProtocol>(m_ioService, settings);
        case kTabTcp: {
            auto server = TCPServerProtocol::Create(m_ioService, settings);
            server->SetReadSize(m_readSize);
            server->SetKeepListening(m_keepListening);
            return server;
        }
        default:
            return nullptr;
    }
}

void CaptureController::CreateProtocol() {
    if (m_settingsPage == nullptr) {
        return;
    }
    const std::string settings = m_settingsPage->GetSettings();
    ZelLog::Log()->Trace("[Current settings ] = %s", settings.c_str());
    m_captureSettings = settings;
    m_captureTab = m_view.SelectedTab();

    std::shared_ptr<AbstractProtocol> protocol;
    const int tab = m_view.SelectedTab();
    if (m_protocolFactory) {
        protocol = m_protocolFactory(m_ioService, tab, settings);
    } else {
        protocol = MakeTabProtocol(tab, settings);
    }
    if (protocol != nullptr) {
        protocol->m_dataSignal.connect(
            [this](std::shared_ptr<AbstractProtocol> sender, const std::vector<char>& block,
                   const unsigned int& count) { OnProtocolData(std::move(sender), block, count); });
        protocol->m_blocksSignal.connect(
            [this](std::shared_ptr<AbstractProtocol> sender,
                   const std::vector<AbstractProtocol::BlockView>& blocks) {
                OnProtocolBlocks(std::move(sender), blocks);
            });
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
    // From now on a block that waits for room in a full pipe waits only for
    // a short grace, so that the stop is not held up by the pipe's reader.
    std::int64_t running = 0;
    m_stopSince.compare_exchange_strong(running, SteadyNow());
    std::lock_guard stop(m_stopLock);
    std::shared_ptr<AbstractProtocol> protocol;
    bool stopping = false;
    {
        // Taken out first: a message that the transport reports while it
        // ends cannot enter a second stop of it; as m_stopping it is still
        // known, so that its last bytes are written and its messages shown.
        std::lock_guard lock(m_protocolLock);
        protocol.swap(m_protocol);
        if (protocol != nullptr) {
            m_stopping = protocol;
        }
        stopping = m_stopping != nullptr;
    }
    if (protocol == nullptr) {
        // Nothing held. A capture that is draining stops the io_context
        // itself once the drain is done.
        if (!stopping && !m_ioService.stopped()) {
            m_ioService.stop();
        }
        return;
    }
    if (!m_runLoopActive) {
        // Nobody runs the io_context: nothing would complete a drain.
        FinishStop(protocol.get(), DrainResult{});
        return;
    }
    // What has already arrived is read on the worker first; FinishStop then
    // runs there. The window thread does not wait for it.
    const AbstractProtocol* which = protocol.get();
    protocol->Drain(std::chrono::steady_clock::now() + kDrainTime,
                    [this, which](const DrainResult& drained) { FinishStop(which, drained); });
}

void CaptureController::FinishStop(const AbstractProtocol* which, const DrainResult& drained) {
    std::vector<std::string> failures;
    {
        std::lock_guard stop(m_stopLock);
        std::shared_ptr<AbstractProtocol> protocol;
        {
            std::lock_guard lock(m_protocolLock);
            // A drain that ends after its capture was already finished (the
            // run loop stopped first) has nothing left to do.
            if (m_stopping == nullptr || (which != nullptr && m_stopping.get() != which)) {
                return;
            }
            protocol = m_stopping;
            m_lastDrain = drained;
        }
        if (drained.drainedBytes > 0 || drained.leftBytes > 0) {
            ZelLog::Log()->Trace("Read [%" PRIu64
                                 "] bytes that had arrived before the stop; [%" PRIu64
                                 "] left behind",
                                 drained.drainedBytes, drained.leftBytes);
        }
        protocol->Stop();
        {
            std::lock_guard lock(m_protocolLock);
            m_stopping.reset();
            failures.swap(m_stopFailures);
        }
        // The last owner's release stops it again and destroys it; a copy
        // held by an emission in progress delays that until it returns.
        protocol.reset();
        if (!m_ioService.stopped()) {
            m_ioService.stop();
        }
    }
    if (drained.leftBytes > 0) {
        m_view.ShowLeftBehind(drained.leftBytes);
    }
    // A failed Stop is shown as any transport message is, once the stop
    // lock is let go (the box may wait for the window thread).
    for (const std::string& failure : failures) {
        m_view.ShowMessage(
            {failure, "", m_view.WindowTitle(), MessageButtons::kOk, MessageIcon::kError});
        ZEL_ERROR_SITE()("%s", failure.c_str());
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
    {
        std::lock_guard stop(m_stopLock);
        m_runLoopActive = false;
    }
    if (!failure.empty()) {
        // A handler threw out of the run loop: the capture cannot go on.
        m_view.ShowMessage(
            {failure, "", m_view.WindowTitle(), MessageButtons::kOk, MessageIcon::kError});
        ZEL_ERROR_SITE()("%s", failure.c_str());
        StopCapture();
    }
    // A stop whose drain the run loop did not finish (it was stopped or ran
    // out of work first) is finished here.
    FinishStop(nullptr, DrainResult{});
    EndOutage(false);
    StopRecordFlusher();
    std::string reason;
    std::string text;
    {
        std::lock_guard lock(m_protocolLock);
        reason = m_endReason.empty() ? "stopped" : m_endReason;
        text = m_endText;
    }
    {
        // A pipe's reader sees the end of the stream now.
        std::lock_guard lock(m_writeLock);
        if (m_captureFile != nullptr) {
            m_captureFile->Close();
        }
        EndRecordLocked(reason, text, "");
    }
    if (m_feed != nullptr) {
        m_feed->End(reason, text, BytesWritten(), BlocksWritten());
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
    if (!IsCurrentOrStopping(sender)) {
        return;
    }
    // The valid bytes are the first |count| of |block|; never more than it has.
    const std::size_t size = std::min<std::size_t>(count, block.size());
    const AbstractProtocol::BlockView view{block.data(), static_cast<unsigned int>(size)};
    // An empty buffer only creates the file; it is no block.
    WriteBlocks(&view, 1, block.empty(), false);
}

void CaptureController::OnProtocolBlocks(std::shared_ptr<AbstractProtocol> sender,
                                         const std::vector<AbstractProtocol::BlockView>& blocks) {
    if (!IsCurrentOrStopping(sender) || blocks.empty()) {
        return;
    }
    // Datagrams that waited together are appended with one write. The blocks
    // of a stream (a burst of reads of a TCP connection) keep one open, append
    // and close each, as when they come one by one.
    const BlockSource* source = blocks.front().source != nullptr
                                    ? blocks.front().source
                                    : AbstractProtocol::DeliveringSource();
    const bool stream = source != nullptr && source->kind == BlockSource::Kind::kTcp;
    WriteBlocks(blocks.data(), blocks.size(), false, !stream);
}

void CaptureController::WriteBlocks(const AbstractProtocol::BlockView* blocks, std::size_t count,
                                    bool onlyCreate, bool oneWrite) {
    // Blocks that go to one file are appended with one write; with rollover
    // a new file may begin between two of them, never inside one. The
    // record gives them the time they were handed over.
    const RecordStamp at = m_recording ? RecordStamp::Now() : RecordStamp{};
    for (std::size_t first = 0; first < count;) {
        platform::CaptureFileResult result;
        bool resumed = false;
        // The file's name for the log lines; kept from call to call so that
        // taking it costs no allocation per block.
        thread_local std::string file;
        std::size_t group = 0;
        std::size_t written = 0;
        {
            std::lock_guard lock(m_writeLock);
            if (m_captureFile == nullptr) {
                return;
            }
            // Reused from call to call: one block per call is the common
            // case, and it should cost no allocation.
            std::vector<platform::CaptureFile::Block>& parts = m_parts;
            parts.clear();
            for (std::size_t i = first; i < count; ++i) {
                if (m_roller) {
                    const std::string& next = m_roller->FileForBlock(blocks[i].count);
                    if (next != m_captureFile->Path()) {
                        if (i > first) {
                            break;  // the next group begins the new file
                        }
                        m_captureFile->Close();
                        m_captureFile = std::make_unique<platform::CaptureFile>(next);
                        if (m_recording) {
                            EndRecordLocked("rolled over", "", next);
                            BeginRecordLocked(next);
                        }
                    }
                    m_roller->Written(blocks[i].count);
                }
                parts.push_back({blocks[i].data, blocks[i].count});
            }
            if (m_roller) {
                for (const std::string& failure : m_roller->TakeRemovalFailures()) {
                    ZelLog::Log()->Warning("Cannot delete old capture file %s", failure.c_str());
                }
            }
            group = parts.size();
            file.assign(m_captureFile->Path());
            if (oneWrite) {
                result = m_captureFile->AppendBlocks(parts.data(), group, written, m_giveUp);
            } else {
                while (written < group) {
                    std::size_t appended = 0;
                    result = m_captureFile->AppendBlocks(&parts[written], 1, appended, m_giveUp);
                    written += appended;
                    if (!result.Ok()) {
                        break;
                    }
                }
            }
            resumed = written > 0 && m_outage;
            if (m_recordWriter != nullptr && !onlyCreate) {
                const BlockSource* delivering = AbstractProtocol::DeliveringSource();
                for (std::size_t i = first; i < first + written; ++i) {
                    m_recordWriter->Block(blocks[i].source ? blocks[i].source : delivering,
                                          blocks[i].data, blocks[i].count, at);
                }
            }
        }
        if (m_feed != nullptr && !onlyCreate) {
            m_feed->Blocks(blocks + first, written);
        }
        if (resumed) {
            EndOutage(true);
        }
        if (!onlyCreate) {
            for (std::size_t i = first; i < first + written; ++i) {
                ZelLog::Log()->Trace("Success write [%i] symbols to file [%s]",
                                     static_cast<int>(blocks[i].count), file.c_str());
                m_blocks.fetch_add(1, std::memory_order_relaxed);
                m_bytes.fetch_add(blocks[i].count, std::memory_order_relaxed);
                m_view.StepProgress();
                if (m_view.ProgressPosition() >= kProgressTop) {
                    m_view.SetProgressPosition(0);
                }
            }
        }
        if (result.result == platform::AppendResult::kReaderGone) {
            // Nobody reads the capture any more: it ends, as a transport's
            // error ends it, and what it still held is dropped.
            m_dropped.fetch_add(count - first - written, std::memory_order_relaxed);
            const std::string detail = Detail(m_captureFileName, result);
            SetEndReason("file failed", detail);
            ZEL_ERROR_SITE()
            ("Cannot write file [%s]: %s", m_captureFileName.c_str(), result.reason.c_str());
            ShowApplicationMessage("Cannot write file", detail, MessageButtons::kOk,
                                   MessageIcon::kError);
            StopCapture();
            return;
        }
        if (!result.Ok()) {
            for (std::size_t i = written; i < group; ++i) {
                BlockNotWritten(result);
            }
        }
        first += group;
    }
}

void CaptureController::BlockNotWritten(const platform::CaptureFileResult& result) {
    m_dropped.fetch_add(1, std::memory_order_relaxed);
    {
        std::lock_guard lock(m_writeLock);
        if (m_outage) {
            ++m_outageDropped;
            return;
        }
        m_outage = true;
        m_outageDropped = 1;
        m_outageCause = result;
    }
    const bool opening = result.result == platform::AppendResult::kOpenFailed ||
                         result.result == platform::AppendResult::kLinkRefused;
    ZEL_ERROR_SITE()
    ("Cannot %s file [%s]: %s", opening ? "open" : "write", m_captureFileName.c_str(),
     Detail(m_captureFileName, result).c_str());
    // A pipe that stays full while the capture stops is told in the count at
    // the end; a box now would only hold the stop up.
    if (result.result != platform::AppendResult::kGaveUp) {
        ShowApplicationMessage(opening ? kCannotOpenFile : "Cannot write file",
                               Detail(m_captureFileName, result), MessageButtons::kOk,
                               MessageIcon::kWarning);
    }
}

void CaptureController::EndOutage(bool resumed) {
    std::uint64_t dropped = 0;
    platform::CaptureFileResult cause;
    {
        std::lock_guard lock(m_writeLock);
        if (!m_outage) {
            return;
        }
        dropped = m_outageDropped;
        cause = m_outageCause;
        m_outage = false;
        m_outageDropped = 0;
        if (m_recordWriter != nullptr) {
            m_recordWriter->CaptureEvent(
                "write-failed",
                Blocks(dropped) + " not written: " + Detail(m_captureFileName, cause), dropped,
                RecordStamp::Now());
        }
    }
    if (m_feed != nullptr) {
        m_feed->CaptureEvent("write-failed",
                             Blocks(dropped) + " not written: " + Detail(m_captureFileName, cause),
                             dropped);
    }
    const std::string text =
        resumed ? "Writing to the capture file works again; " + Blocks(dropped) + " dropped."
                : "The capture ended while its file could not be written; " + Blocks(dropped) +
                      " dropped.";
    ZelLog::Log()->Warning("%s (%s)", text.c_str(), Detail(m_captureFileName, cause).c_str());
    ShowApplicationMessage(text, Detail(m_captureFileName, cause), MessageButtons::kOk,
                           MessageIcon::kWarning);
}

bool CaptureController::GiveUpWriting() const {
    const std::int64_t since = m_stopSince.load(std::memory_order_relaxed);
    return since != 0 &&
           SteadyNow() - since >=
               std::chrono::duration_cast<std::chrono::nanoseconds>(kStopWriteGrace).count();
}

void CaptureController::OnProtocolMessage(std::shared_ptr<AbstractProtocol> sender,
                                          const std::string& message) {
    if (!IsCurrent(sender)) {
        {
            std::lock_guard lock(m_protocolLock);
            if (sender != nullptr && sender == m_stopping) {
                // Reported while the capture ends (its Stop failed): shown
                // once the stop is done, which is already under way.
                m_stopFailures.push_back(message);
                return;
            }
        }
        ZelLog::Log()->Warning("Message of a transport no longer in use: %s", message.c_str());
        return;
    }
    SetEndReason("error", message);
    {
        std::lock_guard lock(m_writeLock);
        if (m_recordWriter != nullptr) {
            m_recordWriter->CaptureEvent("message", message, 0, RecordStamp::Now());
        }
    }
    if (m_feed != nullptr) {
        m_feed->CaptureEvent("message", message, 0);
    }
    const std::string title = m_view.WindowTitle();
    m_view.ShowMessage({message, "", title, MessageButtons::kOk, MessageIcon::kError});
    ZEL_ERROR_SITE()("%s", message.c_str());
    StopCapture();
}

void CaptureController::OnProtocolEvent(std::shared_ptr<AbstractProtocol> sender,
                                        const TransportEvent& event) {
    ZelLog::Log()->Trace("%s", event.text.c_str());
    if (!IsCurrentOrStopping(sender)) {
        return;
    }
    if (event.kind == TransportEvent::Kind::kLoss) {
        (event.unit == "datagrams" ? m_datagramsLost : m_lineErrors)
            .fetch_add(event.count, std::memory_order_relaxed);
    }
    {
        std::lock_guard lock(m_writeLock);
        if (event.kind == TransportEvent::Kind::kLoss) {
            m_lostUnits += event.count;
        }
        if (m_recordWriter != nullptr) {
            m_recordWriter->Event(event, RecordStamp::Now());
        }
    }
    if (m_feed != nullptr) {
        m_feed->Event(event);
    }
    if (!IsCurrent(sender)) {
        return;  // recorded; the capture is already ending
    }
    if (event.kind != TransportEvent::Kind::kClientClosed || m_keepListening) {
        m_view.ShowEvent(event);
        return;
    }
    {
        std::lock_guard lock(m_protocolLock);
        m_endedBy = event.text;
    }
    SetEndReason("client closed", event.text);
    m_view.ShowMessage(
        {event.text, "", m_view.WindowTitle(), MessageButtons::kOk, MessageIcon::kInformation});
    StopCapture();
}

void CaptureController::SetEndReason(const std::string& reason, const std::string& text) {
    std::lock_guard lock(m_protocolLock);
    if (m_endReason.empty()) {
        m_endReason = reason;
        m_endText = text;
    }
}

RecordStart CaptureController::RecordStartFor(int tab, const std::string& settings) const {
    RecordStart start;
    std::string version = VersionText();
    while (!version.empty() && version.back() == '\n') {
        version.pop_back();
    }
    start.program = version;
    start.host = platform::HostName();
    start.transport = tab == kTabCom ? "serial" : tab == kTabUdp ? "udp" : "tcp";
    start.settings = settings;
    start.capture = m_captureFileName;
    if (tab == kTabUdp || tab == kTabTcp) {
        try {
            const auto document = ParseSettingsDocument(settings);
            start.localAddress = document.get<std::string>("settings.<xmlattr>.ip", "");
            start.localPort = document.get<unsigned>("settings.<xmlattr>.port", 0);
        } catch (const std::exception&) {
            // Told by the transport already; the record goes without it.
        }
    }
    start.burstGapUs = static_cast<std::uint64_t>(BurstGapFor(tab, settings).count());
    return start;
}

std::chrono::microseconds CaptureController::BurstGapFor(int tab,
                                                         const std::string& settings) const {
    if (m_burstGap) {
        return *m_burstGap;
    }
    if (tab != kTabCom) {
        return kDefaultBurstGap;
    }
    // Three character times: a start bit, the data bits, a parity bit where
    // there is one, and the stop bits.
    try {
        const auto document = ParseSettingsDocument(settings);
        const double baud = document.get<double>("settings.<xmlattr>.baudrate", 0);
        const double bits = document.get<double>("settings.<xmlattr>.charsize", 8);
        const std::string parity = document.get<std::string>("settings.<xmlattr>.parity", "none");
        const std::string stop = document.get<std::string>("settings.<xmlattr>.stopbits", "one");
        const double stopBits = stop == "two" || stop == "2"              ? 2.0
                                : stop == "onepointfive" || stop == "1.5" ? 1.5
                                                                          : 1.0;
        if (baud <= 0) {
            return kDefaultBurstGap;
        }
        const double character = (1 + bits + (parity == "none" ? 0 : 1) + stopBits) / baud;
        const auto three = std::chrono::microseconds(static_cast<std::int64_t>(3e6 * character));
        return std::max(kDefaultBurstGap, three);
    } catch (const std::exception&) {
        return kDefaultBurstGap;
    }
}

void CaptureController::BeginRecordLocked(const std::string& captureFile) {
    m_recordWriter.reset();
    if (!m_recordFailure.empty()) {
        return;  // reported once; the capture goes on without a record
    }
    RecordStart start = RecordStartFor(m_captureTab, m_captureSettings);
    start.capture = captureFile;
    m_recordFile = RecordPathFor(captureFile);
    auto writer = std::make_unique<CaptureRecordWriter>(m_recordFile, std::move(start));
    if (!writer->Open(RecordStamp::Now())) {
        m_recordFailure = m_recordFile + ": " + writer->Failure();
        ZelLog::Log()->Warning("Cannot write the capture record %s", m_recordFailure.c_str());
        m_view.ShowRecordFailure(m_recordFailure);
        return;
    }
    m_recordWriter = std::move(writer);
}

void CaptureController::EndRecordLocked(const std::string& reason, const std::string& text,
                                        const std::string& next) {
    if (m_recordWriter == nullptr) {
        return;
    }
    RecordEnd end;
    end.reason = reason;
    end.text = text;
    end.next = next;
    end.lost = m_lostUnits;
    end.dropped = m_dropped.load(std::memory_order_relaxed);
    m_recordWriter->End(std::move(end), RecordStamp::Now());
    if (!m_recordWriter->Failure().empty() && m_recordFailure.empty()) {
        m_recordFailure = m_recordFile + ": " + m_recordWriter->Failure();
        ZelLog::Log()->Warning("Cannot write the capture record %s", m_recordFailure.c_str());
        m_view.ShowRecordFailure(m_recordFailure);
    }
    m_recordWriter.reset();
}

void CaptureController::FlushRecordEverySecond() {
    std::unique_lock lock(m_writeLock);
    while (!m_flusherStop) {
        m_flusherWake.wait_for(lock, kRecordFlushPeriod);
        if (m_recordWriter == nullptr) {
            continue;
        }
        m_recordWriter->Flush();
        if (!m_recordWriter->Failure().empty() && m_recordFailure.empty()) {
            m_recordFailure = m_recordFile + ": " + m_recordWriter->Failure();
            ZelLog::Log()->Warning("Cannot write the capture record %s", m_recordFailure.c_str());
            m_view.ShowRecordFailure(m_recordFailure);
        }
    }
}

void CaptureController::StopRecordFlusher() {
    {
        std::lock_guard lock(m_writeLock);
        m_flusherStop = true;
    }
    m_flusherWake.notify_all();
    if (m_recordFlusher.joinable()) {
        m_recordFlusher.join();
    }
}

std::string CaptureController::RecordFile() const {
    std::lock_guard lock(m_writeLock);
    return m_recordFailure.empty() ? m_recordFile : std::string();
}

std::string CaptureController::RecordFailure() const {
    std::lock_guard lock(m_writeLock);
    return m_recordFailure;
}

void CaptureController::OnClose() {
    StopCapture();
    JoinWorker();
}

std::string CaptureController::CurrentCaptureFile() const {
    return m_roller ? m_roller->CurrentFile() : m_captureFileName;
}

bool CaptureController::HoldsProtocol() const {
    std::lock_guard lock(m_protocolLock);
    return m_protocol != nullptr;
}

std::shared_ptr<AbstractProtocol> CaptureController::CurrentProtocol() const {
    std::lock_guard lock(m_protocolLock);
    return m_protocol;
}

DrainResult CaptureController::LastDrain() const {
    std::lock_guard lock(m_protocolLock);
    return m_lastDrain;
}

std::string CaptureController::EndedBy() const {
    std::lock_guard lock(m_protocolLock);
    return m_endedBy;
}

bool CaptureController::IsCurrentOrStopping(const std::shared_ptr<AbstractProtocol>& sender) const {
    std::lock_guard lock(m_protocolLock);
    return sender != nullptr && (sender == m_protocol || sender == m_stopping);
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
