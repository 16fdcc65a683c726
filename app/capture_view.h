// ICaptureView: what the capture controller needs of the window it runs in -
// the main window, the command line's console, or a test's fake.
//
// Threading: ReadFileName and SelectedTab are called on the window thread
// only. The others may also be called on the capture's worker thread; a view
// with widgets must then hand the change to its window thread (a queued call)
// and never touch a widget from the worker. ShowMessage on the worker waits
// for the answer, unless the view is ending: it then answers at once with the
// box's default answer (kOk, or kNo for a question).
#pragma once

#include <cstdint>
#include <string>

#include "protocols/transport_event.h"

namespace tapscope::app {

enum class MessageButtons { kOk, kYesNo };
// kInformation: news that is no failure (the console does not count it as one).
enum class MessageIcon { kWarning, kError, kInformation };
enum class MessageAnswer { kOk, kYes, kNo };

struct MessageBoxRequest {
    std::string text;
    // A second line with the particulars (a file and the system's reason),
    // shown below the text; may be empty.
    std::string detail;
    std::string caption;
    MessageButtons buttons = MessageButtons::kOk;
    MessageIcon icon = MessageIcon::kWarning;

    MessageAnswer DefaultAnswer() const {
        return buttons == MessageButtons::kYesNo ? MessageAnswer::kNo : MessageAnswer::kOk;
    }
};

class ICaptureView {
public:
    // The file-name box's text.
    virtual std::string ReadFileName() = 0;
    // The index of the selected tab: 0 COM, 1 UDP, 2 TCP.
    virtual int SelectedTab() = 0;
    // The Start/Stop button's caption.
    virtual void SetCaption(const std::string& caption) = 0;
    // Enables or disables the tab control, the file-name box and the browse
    // button together.
    virtual void EnableControls(bool enabled) = 0;
    // The progress indicator: range 0 to 100, step 10.
    virtual void StepProgress() = 0;
    virtual int ProgressPosition() = 0;
    virtual void SetProgressPosition(int position) = 0;
    virtual MessageAnswer ShowMessage(const MessageBoxRequest& request) = 0;
    virtual std::string WindowTitle() = 0;
    // The end of a capture had to leave |bytes| that had already arrived
    // unread (it reads them for a bounded time only). A view may say so; by
    // default it says nothing (the command line puts it in its totals).
    virtual void ShowLeftBehind(std::uint64_t bytes) { static_cast<void>(bytes); }
    // What the transport tells besides bytes and errors (a serial device gone
    // or back, line errors); never fatal. A view that shows nothing of it
    // keeps this default.
    virtual void ShowEvent(const TransportEvent& event) { (void)event; }
    // The capture's record cannot be written ("till.bin.jsonl: No space left
    // on device"); the capture goes on without it. Told once per capture,
    // from whichever thread met it and with the capture's write lock held:
    // it must not wait for another thread.
    virtual void ShowRecordFailure(const std::string& text) { (void)text; }

protected:
    ~ICaptureView() = default;
};

}  // namespace tapscope::app
