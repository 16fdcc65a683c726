// CaptureController: the capture of the main window, free of widgets. It turns
// the operator's choices into a running capture (a transport on the
// io_context, run by one worker thread) and ends it again; every block the
// transport delivers is appended to the capture file. A capture file that
// cannot be used stops the capture from starting; one that fails during the
// capture is reported once per outage, its blocks counted as dropped until
// writing works again. The window, the command line and the tests drive it
// through the same operations, and it reaches them through ICaptureView.
//
// Threading: OnStartStop, CreateProtocol, OnClose and the accessors run on
// the window thread. RunService is the worker's body; OnProtocolData and most
// OnProtocolMessage calls run on the worker. StopCapture may be entered on
// both threads at once; it is serialised. The worker is joined, never
// detached: before the next capture starts, and in OnClose, which every way
// out of the window calls before the io_context goes.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/capture_roller.h"
#include "app/capture_view.h"
#include "app/settings_dialog.h"
#include "platform/capture_file.h"
#include "protocols/abstract_protocol.h"

namespace tapscope::app {

// The initial capture file: "pos_log.txt" in the process's current folder.
std::string DefaultCaptureFileName();

// Tab indexes and the transport each creates.
enum TabIndex : int { kTabCom = 0, kTabUdp = 1, kTabTcp = 2 };

class CaptureController {
public:
    // |view| must outlive the controller.
    CaptureController(ICaptureView& view, std::string logFileName);
    // Stops a running capture, joins the worker and lets the io_context
    // finish what the stop aborted.
    ~CaptureController();
    CaptureController(const CaptureController&) = delete;
    CaptureController& operator=(const CaptureController&) = delete;

    // The Start/Stop button: starts a capture when none is held, else stops.
    // A press while the last capture is still ending does nothing.
    void OnStartStop();
    // Builds the document of the page, creates the transport of the selected
    // tab and connects its signals. Leaves m_protocol set or empty.
    void CreateProtocol();
    // Stops and releases the transport, stops the io_context. Any thread.
    void StopCapture();
    // The worker's body: runs the io_context until it is stopped or has
    // nothing left to do.
    void RunService();
    // Button caption and enabled state of the other controls.
    void SetControlsState(bool idle);
    void OnProtocolData(std::shared_ptr<AbstractProtocol> sender, const std::vector<char>& block,
                        const unsigned int& count);
    void OnProtocolMessage(std::shared_ptr<AbstractProtocol> sender, const std::string& message);
    void OnProtocolEvent(std::shared_ptr<AbstractProtocol> sender, const TransportEvent& event);
    // The window ends: stops the capture and joins the worker.
    void OnClose();

    // Window thread, while no capture runs.
    const std::string& LogFileName() const { return m_logFileName; }
    void SetLogFileName(std::string name) { m_logFileName = std::move(name); }
    // With |allowed|, the file name "-" stands for the process's standard
    // output (the command line's "-o -"); the window keeps it a file name.
    void SetStandardOutputAllowed(bool allowed) { m_standardOutputAllowed = allowed; }
    void SetSettingsPage(std::shared_ptr<ISettingsDialog> page) {
        m_settingsPage = std::move(page);
    }
    ISettingsDialog* SettingsPage() const { return m_settingsPage.get(); }
    // Whether a serial capture waits for its device to come back rather than
    // end when it goes away; applies from the next capture on.
    void SetReconnect(bool reconnect) { m_reconnect = reconnect; }
    bool Reconnect() const { return m_reconnect; }
    // Capture files that roll over (see CaptureRoller); inactive limits keep
    // the one capture file. Window thread, while no capture runs.
    void SetRollover(RolloverLimits limits) { m_rollover = limits; }
    // The file the last block went to: the capture file, or with rollover the
    // current one of its series (empty before the first block). Worker
    // thread, or any thread once the worker has finished.
    std::string CurrentCaptureFile() const;

    // Whether a transport is held (what OnStartStop decides on), and which.
    // Any thread.
    bool HoldsProtocol() const;
    std::shared_ptr<AbstractProtocol> CurrentProtocol() const;
    // What the last press that started a capture did: whether it started a
    // worker, and what the transport's Start returned. Window thread.
    bool WorkerStarted() const { return m_worker.joinable(); }
    bool TransportStarted() const { return m_transportStarted; }
    // True once the worker of the last capture has left its run loop. Any
    // thread.
    bool WorkerFinished() const { return m_workerFinished.load(std::memory_order_acquire); }
    // Blocks and bytes written in the current (or last) capture, and blocks
    // that could not be written. Any thread.
    std::uint64_t BlocksWritten() const { return m_blocks.load(std::memory_order_relaxed); }
    std::uint64_t BytesWritten() const { return m_bytes.load(std::memory_order_relaxed); }
    std::uint64_t BlocksDropped() const { return m_dropped.load(std::memory_order_relaxed); }
    // Whether the last press was refused because the capture file cannot be
    // used (rather than by the operator or the settings). Window thread.
    bool CaptureFileRefused() const { return m_captureFileRefused; }

    boost::asio::io_context& IoService() { return m_ioService; }

private:
    // Existence test, overwrite question and removal. False when the capture
    // must not start (the operator said No, or the path cannot be used).
    bool PrepareCaptureFile(const std::string& path);
    // Shows why |path| cannot be captured into, after a failed check.
    void RefuseCaptureFile(const std::string& path, const platform::CaptureFileResult& result);
    // A block that could not be written: the first of an outage is shown,
    // the others only counted.
    void BlockNotWritten(const platform::CaptureFileResult& result);
    // Says how many blocks an outage dropped, when writing works again or
    // when the capture ends.
    void EndOutage(bool resumed);
    // Whether a write waiting for a full pipe should stop waiting: the
    // capture has been stopping for longer than the grace for it.
    bool GiveUpWriting() const;
    // False (after the page has said why) when the page cannot give a
    // document for its values.
    bool PageAccepts();
    bool IsCurrent(const std::shared_ptr<AbstractProtocol>& sender) const;
    void JoinWorker();
    void ShowApplicationMessage(const std::string& text, const std::string& detail,
                                MessageButtons buttons, MessageIcon icon,
                                MessageAnswer* answer = nullptr);

    ICaptureView& m_view;
    // The file-name box's text; written on the window thread while no worker
    // runs.
    std::string m_logFileName;
    std::shared_ptr<AbstractProtocol> m_protocol;  // guarded by m_protocolLock
    boost::asio::io_context m_ioService;
    std::shared_ptr<ISettingsDialog> m_settingsPage;

    mutable std::mutex m_protocolLock;
    // Serialises StopCapture; re-entrant, because a transport's Stop may
    // report a message on the calling thread.
    std::recursive_mutex m_stopLock;
    std::thread m_worker;
    // The capture file of the running capture, copied from m_logFileName
    // before the worker starts; the worker reads only this copy.
    std::string m_captureFileName;
    RolloverLimits m_rollover;
    // The series of files of the running capture, when it rolls over; used
    // only by the worker.
    std::unique_ptr<CaptureRoller> m_roller;
    // Made at Start before the worker runs; then used under m_writeLock.
    std::unique_ptr<platform::CaptureFile> m_captureFile;
    // Serialises the writes of blocks (a transport may deliver from the
    // window thread while it stops) and the outage state below.
    std::mutex m_writeLock;
    bool m_outage = false;                      // guarded by m_writeLock
    std::uint64_t m_outageDropped = 0;          // guarded by m_writeLock
    platform::CaptureFileResult m_outageCause;  // guarded by m_writeLock
    // When StopCapture began (steady clock, nanoseconds); 0 while running.
    std::atomic<std::int64_t> m_stopSince{0};
    bool m_standardOutputAllowed = false;
    bool m_captureFileRefused = false;
    bool m_transportStarted = false;
    bool m_reconnect = false;  // window thread
    std::atomic<bool> m_workerFinished{true};
    std::atomic<std::uint64_t> m_blocks{0};
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::uint64_t> m_dropped{0};
};

}  // namespace tapscope::app
