#include "app/console_view.h"

#include <cstdio>
#include <iostream>

#include "app/strings.h"
#include "platform/terminal.h"
#include "platform/termination.h"

namespace tapscope::app {
namespace {

constexpr int kProgressStep = 10;
// How often the overwrite question looks for Ctrl-C while it waits.
constexpr int kAnswerPollMs = 100;

std::string OneLine(std::string text) {
    for (std::size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) {
        text.replace(at, 2, "\n");
    }
    return text;
}

}  // namespace

ConsoleView::ConsoleView(const CaptureOptions& options, std::string fileName)
    : m_fileName(std::move(fileName)),
      m_tab(options.tab),
      m_overwrite(options.overwrite),
      // A capture to standard output on the same terminal would be torn by
      // the status line: it is left off then.
      m_statusLine(
          platform::IsTerminal(platform::StandardStream::kError) &&
          !(options.file == "-" && platform::IsTerminal(platform::StandardStream::kOutput))) {}

void ConsoleView::StepProgress() {
    m_progress.fetch_add(kProgressStep, std::memory_order_relaxed);
}

int ConsoleView::ProgressPosition() {
    return m_progress.load(std::memory_order_relaxed);
}

void ConsoleView::SetProgressPosition(int position) {
    m_progress.store(position, std::memory_order_relaxed);
}

std::string ConsoleView::WindowTitle() {
    return kMainTitle;
}

MessageAnswer ConsoleView::ShowMessage(const MessageBoxRequest& request) {
    if (request.buttons == MessageButtons::kYesNo) {
        if (m_overwrite) {
            return MessageAnswer::kYes;
        }
        if (!platform::IsTerminal(platform::StandardStream::kInput)) {
            Print(m_fileName + " exists and is kept; give --overwrite to replace it");
            m_failures.fetch_add(1, std::memory_order_relaxed);
            return MessageAnswer::kNo;
        }
        const MessageAnswer answer = AskOnTerminal(request);
        if (answer != MessageAnswer::kYes) {
            Print(m_fileName + " is kept; nothing captured");
            m_failures.fetch_add(1, std::memory_order_relaxed);
        }
        return answer;
    }
    std::string text = OneLine(request.text);
    if (!request.detail.empty()) {
        // "Cannot capture into file 'x'.: x: reason" reads as one sentence
        // without the box text's full stop.
        if (!text.empty() && text.back() == '.') {
            text.pop_back();
        }
        text += ": " + OneLine(request.detail);
    }
    if (request.icon != MessageIcon::kInformation) {
        m_failures.fetch_add(1, std::memory_order_relaxed);
    }
    std::lock_guard lock(m_outputLock);
    if (text == m_lastMessage) {
        ++m_repeats;
        return request.DefaultAnswer();
    }
    FlushRepeatsLocked();
    ClearStatusLocked();
    std::cerr << kProgramName << ": " << text << std::endl;
    m_lastMessage = text;
    return request.DefaultAnswer();
}

MessageAnswer ConsoleView::AskOnTerminal(const MessageBoxRequest& request) {
    {
        std::lock_guard lock(m_outputLock);
        ClearStatusLocked();
        std::cerr << OneLine(request.text) << " [y/N] " << std::flush;
    }
    while (true) {
        std::string signal;
        if (platform::WaitForTerminationSignal(0, signal)) {
            std::cerr << std::endl;
            m_interrupted = true;
            return MessageAnswer::kNo;
        }
        if (!platform::WaitForInput(kAnswerPollMs)) {
            continue;
        }
        std::string line;
        if (!std::getline(std::cin, line)) {
            std::cerr << std::endl;
            return MessageAnswer::kNo;
        }
        return !line.empty() && (line[0] == 'y' || line[0] == 'Y') ? MessageAnswer::kYes
                                                                   : MessageAnswer::kNo;
    }
}

void ConsoleView::Print(const std::string& text) {
    std::lock_guard lock(m_outputLock);
    FlushRepeatsLocked();
    ClearStatusLocked();
    std::cerr << kProgramName << ": " << text << std::endl;
    m_lastMessage.clear();
}

void ConsoleView::ShowStatus(std::uint64_t blocks, std::uint64_t bytes) {
    if (!m_statusLine) {
        return;
    }
    std::lock_guard lock(m_outputLock);
    const std::string suffix = StatusSuffixLocked();
    if (m_statusShown && blocks == m_shownBlocks && bytes == m_shownBytes &&
        suffix == m_shownSuffix) {
        return;
    }
    // "\r" and "erase to the end of the line" redraw it in place.
    std::cerr << "\r\x1b[Kcaptured " << bytes << " bytes in " << blocks << " blocks" << suffix
              << std::flush;
    m_statusShown = true;
    m_shownBlocks = blocks;
    m_shownBytes = bytes;
    m_shownSuffix = suffix;
}

std::string ConsoleView::StatusSuffixLocked() const {
    std::string suffix;
    if (m_lineErrors > 0) {
        suffix += ", " + std::to_string(m_lineErrors) + " line errors";
    }
    if (m_datagramsLost > 0) {
        suffix += ", " + std::to_string(m_datagramsLost) + " datagrams dropped by the system";
    }
    if (!m_waitingFor.empty()) {
        suffix += ", waiting for " + m_waitingFor + " to come back";
    }
    return suffix;
}

void ConsoleView::ShowEvent(const TransportEvent& event) {
    switch (event.kind) {
        case TransportEvent::Kind::kDeviceGone:
        case TransportEvent::Kind::kDeviceBack:
        case TransportEvent::Kind::kLoss:
        case TransportEvent::Kind::kClientReset:
            break;
        default:
            return;  // not shown on the console
    }
    std::lock_guard lock(m_outputLock);
    if (event.kind == TransportEvent::Kind::kDeviceGone) {
        m_waitingFor = event.source;
    } else if (event.kind == TransportEvent::Kind::kDeviceBack) {
        m_waitingFor.clear();
    } else if (event.kind == TransportEvent::Kind::kLoss) {
        (event.unit == "datagrams" ? m_datagramsLost : m_lineErrors) += event.count;
    }
    FlushRepeatsLocked();
    ClearStatusLocked();
    std::cerr << kProgramName << ": " << event.text << std::endl;
    m_lastMessage.clear();
}

void ConsoleView::ShowRecordFailure(const std::string& text) {
    Print("cannot write the record " + text + "; the capture goes on without it");
}

void ConsoleView::EndOutput() {
    std::lock_guard lock(m_outputLock);
    FlushRepeatsLocked();
    ClearStatusLocked();
}

void ConsoleView::ClearStatusLocked() {
    if (m_statusShown) {
        std::cerr << "\r\x1b[K" << std::flush;
        m_statusShown = false;
    }
}

void ConsoleView::FlushRepeatsLocked() {
    if (m_repeats > 0) {
        ClearStatusLocked();
        std::cerr << kProgramName << ": (the same " << m_repeats << " more times)" << std::endl;
        m_repeats = 0;
    }
}

}  // namespace tapscope::app
