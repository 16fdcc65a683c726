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
// both threads at once; it is serialised, and never waits for the worker:
// while the worker runs, the transport's drain and Stop happen there. The worker is joined, never
// detached: before the next capture starts, and in OnClose, which every way
// out of the window calls before the io_context goes.
#pragma once

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/capture_record_writer.h"
#include "app/capture_roller.h"
#include "app/capture_view.h"
#include "app/live_feed.h"
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
    // Blocks that arrived together: datagrams appended with one write, a
    // stream's one append each, all under one hold of the write lock; then
    // each logged, counted and stepped as if it had come alone.
    void OnProtocolBlocks(std::shared_ptr<AbstractProtocol> sender,
                          const std::vector<AbstractProtocol::BlockView>& blocks);
    void OnProtocolMessage(std::shared_ptr<AbstractProtocol> sender, const std::string& message);
    // What a transport tells besides bytes and errors. It is logged; a TCP
    // client that closes its connection ends the capture, as an error would,
    // but is shown as information: it is how such a capture is meant to end.
    void OnProtocolEvent(std::shared_ptr<AbstractProtocol> sender, const TransportEvent& event);
    // The window ends: stops the capture and joins the worker.
    void OnClose();

    // Window thread, while no capture runs.
    const std::string& LogFileName() const { return m_logFileName; }
    void SetLogFileName(std::string name) { m_logFileName = std::move(name); }
    // With |allowed|, the file name "-" stands for the process's standard
    // output (the command line's "-o -"); the window keeps it a file name.
    void SetStandardOutputAllowed(bool allowed) { m_standardOutputAllowed = allowed; }
    // Creates the transport of a tab from the page's document; without one,
    // the tab's own transport is created. Window thread, while no capture runs.
    using ProtocolFactory = std::function<std::shared_ptr<AbstractProtocol>(
        boost::asio::io_context& ioService, int tab, const std::string& settings)>;
    void SetProtocolFactory(ProtocolFactory factory) { m_protocolFactory = std::move(factory); }
    void SetSettingsPage(std::shared_ptr<ISettingsDialog> page) {
        m_settingsPage = std::move(page);
    }
    ISettingsDialog* SettingsPage() const { return m_settingsPage.get(); }
    // Whether a serial capture waits for its device to come back rather than
    // end when it goes away; applies from the next capture on.
    void SetReconnect(bool reconnect) { m_reconnect = reconnect; }
    bool Reconnect() const { return m_reconnect; }
    // How many bytes one read of a serial port or a TCP connection may take
    // (whatever has arrived, up to this); 1 by default, as the window keeps
    // it. UDP reads whole datagrams regardless. Applies from the next capture.
    void SetReadSize(std::size_t bytes) { m_readSize = bytes; }
    std::size_t ReadSize() const { return m_readSize; }
    // Whether a capture writes its record beside the capture file (on by
    // default; capture_record.h). Window thread, while no capture runs.
    void SetRecord(bool record) { m_recordWanted = record; }
    bool Record() const { return m_recordWanted; }
    // The longest pause between two reads of one source that still leaves
    // them in one row of the record; nothing: 10 ms, or three character
    // times at a serial port's line speed where that is longer.
    void SetBurstGap(std::optional<std::chrono::microseconds> gap) { m_burstGap = gap; }
    // Whether a TCP capture outlives its clients: a client that closes or
    // resets its connection is recorded and shown, and the capture goes on
    // until it is stopped. Off by default; applies from the next capture.
    void SetKeepListening(bool keep) { m_keepListening = keep; }
    bool KeepListening() const { return m_keepListening; }
    // The live view's feed: told of each capture's beginning and end, of its
    // blocks and of its events; while no view is open that costs a relaxed
    // load per call. Null (the command line): none. Window thread, while no
    // capture runs; the feed must outlive the captures.
    void SetFeed(LiveFeed* feed) { m_feed = feed; }
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
    // What the end of the last capture read of what had already arrived, and
    // what it had to leave (see AbstractProtocol::Drain). Any thread, once
    // the worker has finished.
    DrainResult LastDrain() const;
    // Units the system reported lost in the current (or last) capture: UDP
    // datagrams dropped for the socket, serial line errors. Any thread.
    std::uint64_t DatagramsLost() const { return m_datagramsLost.load(std::memory_order_relaxed); }
    std::uint64_t LineErrors() const { return m_lineErrors.load(std::memory_order_relaxed); }
    // The record of the current (or last) capture file; empty when none is
    // written. Why it could not be written; empty when it could. Any thread,
    // once the worker has finished.
    std::string RecordFile() const;
    std::string RecordFailure() const;
    // What ended the last capture when it was not an error: "client
    // 127.0.0.1:40112 closed the connection"; empty otherwise. Any thread.
    std::string EndedBy() const;

    boost::asio::io_context& IoService() { return m_ioService; }

private:
    // Existence test, overwrite question and removal. False when the capture
    // must not start (the operator said No, or the path cannot be used).
    bool PrepareCaptureFile(const std::string& path);
    // Appends |count| blocks (with |onlyCreate|, one empty buffer that only
    // makes the file) and accounts for each; with |oneWrite| the blocks that
    // go to one file share one open, write and close, otherwise each has its
    // own.
    void WriteBlocks(const AbstractProtocol::BlockView* blocks, std::size_t count, bool onlyCreate,
                     bool oneWrite);
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
    std::shared_ptr<AbstractProtocol> MakeTabProtocol(int tab, const std::string& settings);
    bool IsCurrent(const std::shared_ptr<AbstractProtocol>& sender) const;
    // The record of |captureFile| begins (m_writeLock held): a writer is made
    // and opened; a record that cannot be made is reported once.
    void BeginRecordLocked(const std::string& captureFile);
    // Ends the record being written (m_writeLock held).
    void EndRecordLocked(const std::string& reason, const std::string& text,
                         const std::string& next);
    // The record's fields of the capture about to start.
    RecordStart RecordStartFor(int tab, const std::string& settings) const;
    std::chrono::microseconds BurstGapFor(int tab, const std::string& settings) const;
    // The body of the thread that writes the record out once a second.
    void FlushRecordEverySecond();
    void StopRecordFlusher();
    // Why the capture ended, for the record's end line.
    void SetEndReason(const std::string& reason, const std::string& text);
    // The current transport, or the one whose capture is ending (its last
    // bytes are still written).
    bool IsCurrentOrStopping(const std::shared_ptr<AbstractProtocol>& sender) const;
    // The end of StopCapture once the transport |which| has drained (null:
    // whichever is stopping): Stop, release, stop the io_context; then shows
    // what the Stop reported. Any thread.
    void FinishStop(const AbstractProtocol* which, const DrainResult& drained);
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
    ProtocolFactory m_protocolFactory;

    // The transport of a capture that is ending: taken out of m_protocol by
    // StopCapture, held while it drains and stops, so that what it delivers
    // meanwhile is still written and what its Stop reports is still shown.
    std::shared_ptr<AbstractProtocol> m_stopping;  // guarded by m_protocolLock
    // Messages of the stopping transport, shown once its Stop has returned.
    std::vector<std::string> m_stopFailures;  // guarded by m_protocolLock
    DrainResult m_lastDrain;                  // guarded by m_protocolLock
    std::string m_endedBy;                    // guarded by m_protocolLock
    mutable std::mutex m_protocolLock;
    // True from the start of a worker until it has left the io_context's run
    // loop, so that a drain can be left to it; under m_stopLock.
    bool m_runLoopActive = false;
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
    mutable std::mutex m_writeLock;
    std::vector<platform::CaptureFile::Block> m_parts;  // guarded by m_writeLock
    // Whether a write waiting for a full pipe gives up (GiveUpWriting).
    const std::function<bool()> m_giveUp;
    bool m_outage = false;                      // guarded by m_writeLock
    std::uint64_t m_outageDropped = 0;          // guarded by m_writeLock
    platform::CaptureFileResult m_outageCause;  // guarded by m_writeLock
    // When StopCapture began (steady clock, nanoseconds); 0 while running.
    std::atomic<std::int64_t> m_stopSince{0};
    bool m_standardOutputAllowed = false;
    bool m_captureFileRefused = false;
    bool m_transportStarted = false;
    bool m_reconnect = false;    // window thread
    std::size_t m_readSize = 1;  // window thread
    std::atomic<bool> m_workerFinished{true};
    bool m_recordWanted = true;                           // window thread
    std::optional<std::chrono::microseconds> m_burstGap;  // window thread
    bool m_keepListening = false;                         // window thread
    // The settings document and tab of the running capture, for its record.
    std::string m_captureSettings;
    int m_captureTab = -1;
    // Whether this capture keeps a record (a regular capture file, record
    // wanted); set before the worker starts.
    bool m_recording = false;
    // The record of the current capture file, and the thread that writes it
    // out once a second (apart from the io_context, whose run loop may end
    // by itself when its transport has nothing left to do).
    std::unique_ptr<CaptureRecordWriter> m_recordWriter;  // guarded by m_writeLock
    std::thread m_recordFlusher;
    std::condition_variable m_flusherWake;
    bool m_flusherStop = false;     // guarded by m_writeLock
    std::string m_recordFile;       // guarded by m_writeLock
    std::string m_recordFailure;    // guarded by m_writeLock
    std::uint64_t m_lostUnits = 0;  // guarded by m_writeLock: for the end line
    std::string m_endReason;        // guarded by m_protocolLock
    std::string m_endText;          // guarded by m_protocolLock
    std::atomic<std::uint64_t> m_datagramsLost{0};
    std::atomic<std::uint64_t> m_lineErrors{0};
    std::atomic<std::uint64_t> m_blocks{0};
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::uint64_t> m_dropped{0};
    LiveFeed* m_feed = nullptr;  // window thread sets it while no capture runs
};

}  // namespace tapscope::app
