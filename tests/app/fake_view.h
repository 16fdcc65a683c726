// FakeView: a capture view without widgets for the controller's tests. It
// records what the controller shows (captions, enabled states, progress
// positions, message boxes) and answers questions from a script. Any thread
// may call it, as the controller's worker does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "app/capture_view.h"

namespace tapscope::testing {

class FakeView : public app::ICaptureView {
public:
    std::string ReadFileName() override {
        std::lock_guard lock(m_mutex);
        return m_fileName;
    }
    int SelectedTab() override {
        std::lock_guard lock(m_mutex);
        return m_tab;
    }
    void SetCaption(const std::string& caption) override {
        Change([&] { m_captions.push_back(caption); });
    }
    void EnableControls(bool enabled) override {
        Change([&] { m_enabled.push_back(enabled); });
    }
    void StepProgress() override {
        Change([&] { m_position += 10; });
    }
    int ProgressPosition() override {
        std::lock_guard lock(m_mutex);
        return m_position;
    }
    void SetProgressPosition(int position) override {
        Change([&] { m_position = position; });
    }
    app::MessageAnswer ShowMessage(const app::MessageBoxRequest& request) override {
        app::MessageAnswer answer = request.DefaultAnswer();
        {
            // A box the operator has not closed yet.
            std::unique_lock lock(m_mutex);
            ++m_waiting;
            m_changed.notify_all();
            m_changed.wait(lock, [&] { return !m_holdBoxes; });
            --m_waiting;
        }
        Change([&] {
            m_messages.push_back(request);
            if (request.buttons == app::MessageButtons::kYesNo && !m_answers.empty()) {
                answer = m_answers.front();
                m_answers.pop_front();
            }
        });
        return answer;
    }
    std::string WindowTitle() override { return "Read protocol from service."; }
    void ShowLeftBehind(std::uint64_t bytes) override {
        Change([&] { m_leftBehind.push_back(bytes); });
    }
    std::vector<std::uint64_t> LeftBehind() const {
        std::lock_guard lock(m_mutex);
        return m_leftBehind;
    }

    void SetFileName(const std::string& name) {
        std::lock_guard lock(m_mutex);
        m_fileName = name;
    }
    void SetTab(int tab) {
        std::lock_guard lock(m_mutex);
        m_tab = tab;
    }
    // While held, ShowMessage waits as a box the operator leaves open does.
    void HoldBoxes(bool hold) {
        Change([&] { m_holdBoxes = hold; });
    }
    // The answer to the next question.
    void Answer(app::MessageAnswer answer) {
        std::lock_guard lock(m_mutex);
        m_answers.push_back(answer);
    }

    std::vector<std::string> Captions() const {
        std::lock_guard lock(m_mutex);
        return m_captions;
    }
    std::vector<bool> EnabledStates() const {
        std::lock_guard lock(m_mutex);
        return m_enabled;
    }
    std::vector<app::MessageBoxRequest> Messages() const {
        std::lock_guard lock(m_mutex);
        return m_messages;
    }
    std::vector<std::string> MessageTexts() const {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> texts;
        for (const auto& message : m_messages) {
            texts.push_back(message.text);
        }
        return texts;
    }
    int Position() const {
        std::lock_guard lock(m_mutex);
        return m_position;
    }

    // Waits (bounded) until |condition| holds under the view's lock.
    template <typename Condition>
    bool WaitFor(Condition condition, std::chrono::seconds limit = std::chrono::seconds(30)) {
        std::unique_lock lock(m_mutex);
        return m_changed.wait_for(lock, limit, [&] { return condition(*this); });
    }
    // Unlocked views for WaitFor's conditions.
    std::size_t MessageCountLocked() const { return m_messages.size(); }
    int PositionLocked() const { return m_position; }
    int WaitingLocked() const { return m_waiting; }
    const std::vector<std::string>& CaptionsLocked() const { return m_captions; }

private:
    template <typename Action>
    void Change(Action action) {
        {
            std::lock_guard lock(m_mutex);
            action();
        }
        m_changed.notify_all();
    }

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::string m_fileName;                          // guarded by m_mutex
    int m_tab = 1;                                   // guarded by m_mutex
    std::vector<std::string> m_captions;             // guarded by m_mutex
    std::vector<bool> m_enabled;                     // guarded by m_mutex
    int m_position = 0;                              // guarded by m_mutex
    std::vector<app::MessageBoxRequest> m_messages;  // guarded by m_mutex
    std::deque<app::MessageAnswer> m_answers;        // guarded by m_mutex
    bool m_holdBoxes = false;                        // guarded by m_mutex
    int m_waiting = 0;                               // boxes held open; guarded by m_mutex
    std::vector<std::uint64_t> m_leftBehind;         // guarded by m_mutex
};

// A settings page that gives a fixed document.
class FixedPage : public ISettingsDialog {
public:
    explicit FixedPage(std::string document) : m_document(std::move(document)) {}
    std::string GetSettings() override { return m_document; }

private:
    std::string m_document;
};

}  // namespace tapscope::testing
