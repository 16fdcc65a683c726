// CLiveView: a window beside the main window that shows what a capture
// receives as it arrives: the newest blocks at the bottom (time, source,
// bytes as hex and text), events as rows of their own, a filter by source,
// counters and a plot of the bytes per second over the last minutes. The
// same window shows a capture opened afterwards, with its record, without
// starting anything.
//
// It never slows the capture: the capture only copies into the LiveFeed's
// bounded ring, and the view takes from it on a timer on the window thread,
// keeping a bounded number of rows; a capture faster than the view is shown
// with gaps ("not shown") rather than held up.
//
// Threading: the window thread only.
#pragma once

#include <QPointer>
#include <QWidget>
#include <memory>

#include "app/live_feed.h"
#include "app/live_model.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;

namespace tapscope::app {
class OpenedCapture;
}

// Bytes per second over time as bars, with the local time of day below, so
// that a glance says when a sender went quiet.
class RatePlot : public QWidget {
    Q_OBJECT

public:
    explicit RatePlot(QWidget* parent = nullptr);
    // |caption|: what the plot spans ("last 5 minutes").
    void SetSeries(tapscope::app::RateSeries series, const QString& caption);
    const tapscope::app::RateSeries& Series() const { return m_series; }
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private:
    QRect PlotArea() const;

    tapscope::app::RateSeries m_series;
    QString m_caption;
};

class CLiveView : public QWidget {
    Q_OBJECT

public:
    // How often the view takes what the capture fed it.
    static constexpr int kPollMs = 100;
    // The span of the live rate plot, and of the rate counter.
    static constexpr int kPlotSeconds = 300;
    static constexpr int kRateSeconds = 5;

    // The live view of the captures that |feed| is fed by. |parent| is the
    // main window; the view is a window of its own beside it.
    CLiveView(tapscope::app::LiveFeed& feed, QWidget* parent);
    // An opened capture.
    CLiveView(std::unique_ptr<tapscope::app::OpenedCapture> capture, QWidget* parent);
    ~CLiveView() override;

    // Opens the capture file |path| (or the capture of a record named
    // "*.jsonl") in a window of its own, which goes when it is closed. Null,
    // after a message box, when it cannot be read.
    CLiveView* OpenCapture(const QString& path);
    // The button: a file dialog, then OpenCapture.
    void OnOpenCapture();
    // Takes what the feed holds and updates rows, counters, plot and status
    // line; the timer calls it while the view is shown.
    void Poll();

    bool IsLive() const { return m_feed != nullptr; }
    tapscope::app::LiveModel& Model() { return *m_model; }
    tapscope::app::LiveFilter& Filter() { return *m_filter; }
    QTableView* Table() const { return m_table; }
    QComboBox* SourceBox() const { return m_sourceBox; }
    QCheckBox* JoinBox() const { return m_joinBox; }
    QPlainTextEdit* Detail() const { return m_detail; }
    RatePlot* Plot() const { return m_plot; }
    QLabel* StatusLine() const { return m_status; }
    // The counters as shown: "Bytes", "Blocks", "Sources", "Losses", "Rate",
    // "Last block".
    QString CounterText(const QString& name) const;
    // Whether the table follows the newest rows (it does unless scrolled up).
    bool Following() const;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void Build();
    void UpdateSources();
    void UpdateCounters();
    void UpdatePlot();
    void UpdateStatus();
    void ShowDetail();

    tapscope::app::LiveFeed* m_feed = nullptr;
    std::unique_ptr<tapscope::app::LiveModel> m_model;
    tapscope::app::LiveFilter* m_filter = nullptr;

    QComboBox* m_sourceBox = nullptr;
    QCheckBox* m_joinBox = nullptr;
    QPushButton* m_clearButton = nullptr;
    QPushButton* m_openButton = nullptr;
    QLabel* m_counterValues[6] = {};
    RatePlot* m_plot = nullptr;
    QTableView* m_table = nullptr;
    QPlainTextEdit* m_detail = nullptr;
    QLabel* m_status = nullptr;
    QTimer* m_timer = nullptr;
    // The capture as the feed last told it.
    std::optional<tapscope::app::FeedCapture> m_capture;
};
