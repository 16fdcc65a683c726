// ConsoleView: the capture's view on a terminal or in a script. Messages go
// to standard error as "tapscope: <text>: <detail>"; the overwrite question is
// asked when standard input is a terminal, and answered No without one
// (unless --overwrite said Yes); a one-line status shows the bytes and blocks
// captured when standard error is a terminal.
//
// Threading: ShowMessage may be called on the worker (it never waits there);
// the status line is drawn by the main thread; output is serialised.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "app/capture_view.h"
#include "app/command_line.h"

namespace tapscope::app {

class ConsoleView : public ICaptureView {
public:
    ConsoleView(const CaptureOptions& options, std::string fileName);

    std::string ReadFileName() override { return m_fileName; }
    int SelectedTab() override { return m_tab; }
    void SetCaption(const std::string&) override {}
    void EnableControls(bool) override {}
    void StepProgress() override;
    int ProgressPosition() override;
    void SetProgressPosition(int position) override;
    MessageAnswer ShowMessage(const MessageBoxRequest& request) override;
    std::string WindowTitle() override;
    // A device gone or back, line errors: a line of its own, and the status
    // line says while the capture waits and how many line errors came.
    void ShowEvent(const TransportEvent& event) override;
    // "tapscope: cannot write the record ...; the capture goes on without it".
    void ShowRecordFailure(const std::string& text) override;

    // Writes "tapscope: <text>" as a line of its own.
    void Print(const std::string& text);
    // Redraws the status line (on a terminal) when the counts changed.
    void ShowStatus(std::uint64_t blocks, std::uint64_t bytes);
    // Clears the status line and says how often the last message repeated.
    void EndOutput();

    // How many messages reported a failure.
    int Failures() const { return m_failures.load(std::memory_order_relaxed); }
    // Whether a termination signal answered the overwrite question.
    bool Interrupted() const { return m_interrupted; }

private:
    // Under m_outputLock.
    void ClearStatusLocked();
    void FlushRepeatsLocked();
    std::string StatusSuffixLocked() const;
    MessageAnswer AskOnTerminal(const MessageBoxRequest& request);

    const std::string m_fileName;
    const int m_tab;
    const bool m_overwrite;
    const bool m_statusLine;  // standard error is a terminal
    std::atomic<int> m_progress{0};
    std::atomic<int> m_failures{0};
    bool m_interrupted = false;

    std::mutex m_outputLock;
    bool m_statusShown = false;       // guarded by m_outputLock
    std::uint64_t m_shownBlocks = 0;  // guarded by m_outputLock
    std::uint64_t m_shownBytes = 0;   // guarded by m_outputLock
    // What the status line says after the counts: ", waiting for COM3 ->
    // /dev/ttyUSB0 to come back", ", 3 line errors".
    std::string m_waitingFor;           // guarded by m_outputLock
    std::uint64_t m_lineErrors = 0;     // guarded by m_outputLock
    std::uint64_t m_datagramsLost = 0;  // guarded by m_outputLock
    std::string m_shownSuffix;          // guarded by m_outputLock
    // The last message and how often it came again since (a capture into a
    // file that cannot be opened says so for every block).
    std::string m_lastMessage;    // guarded by m_outputLock
    std::uint64_t m_repeats = 0;  // guarded by m_outputLock
};

}  // namespace tapscope::app
