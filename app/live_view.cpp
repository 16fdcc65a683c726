#include "app/live_view.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSplitter>
#include <QTableView>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <ctime>

#include "app/opened_capture.h"
#include "app/strings.h"

namespace app = tapscope::app;

namespace {

constexpr const char* kCounterNames[] = {"Bytes",  "Blocks", "Sources",
                                         "Losses", "Rate",   "Last block"};
enum Counter { kBytes, kBlocks, kSources, kLosses, kRate, kLastBlock };

// The bytes of a row the detail shows at most (an opened capture's row can
// be large); "tapscope show" lists them all.
constexpr std::uint64_t kDetailBytes = 64 * 1024;
// The plot's buckets for an opened capture.
constexpr int kCaptureBuckets = 300;
// Characters the columns are made wide enough for.
constexpr const char* kTimeSample = "00:00:00.000000";
constexpr const char* kSourceSample = "#99 127.0.0.1:65535";
constexpr const char* kLengthSample = "1000000";
// Where the plot's time labels may go, at the least this far apart.
constexpr int kTickSpacing = 90;

QString Grouped(std::uint64_t value) {
    QString digits = QString::number(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(at, QLatin1Char(' '));
    }
    return digits;
}

// "512 B/s", "12.3 kB/s", "1.20 MB/s".
QString RateText(double bytesPerSecond) {
    if (bytesPerSecond < 1000) {
        return QString::number(std::lround(bytesPerSecond)) + QStringLiteral(" B/s");
    }
    if (bytesPerSecond < 1e6) {
        return QString::number(bytesPerSecond / 1e3, 'f', 1) + QStringLiteral(" kB/s");
    }
    return QString::number(bytesPerSecond / 1e6, 'f', 2) + QStringLiteral(" MB/s");
}

// "0.4 s", "12 s", "3 min 12 s", "2 h 5 min".
QString SpanText(std::int64_t ns) {
    const double seconds = static_cast<double>(std::max<std::int64_t>(ns, 0)) / 1e9;
    if (seconds < 10) {
        return QString::number(seconds, 'f', 1) + QStringLiteral(" s");
    }
    const auto whole = static_cast<std::int64_t>(seconds);
    if (whole < 60) {
        return QString::number(whole) + QStringLiteral(" s");
    }
    if (whole < 3600) {
        return QString::number(whole / 60) + QStringLiteral(" min ") + QString::number(whole % 60) +
               QStringLiteral(" s");
    }
    return QString::number(whole / 3600) + QStringLiteral(" h ") +
           QString::number(whole % 3600 / 60) + QStringLiteral(" min");
}

// Lines of 16 bytes as xxd and "tapscope show" write them, each with its
// offset: "00000010: 4142 4344 ...  ABCD...".
QString Dump(const QByteArray& bytes, std::uint64_t offset) {
    static const char kHex[] = "0123456789abcdef";
    QString text;
    for (qsizetype line = 0; line < bytes.size(); line += 16) {
        char head[24];
        std::snprintf(head, sizeof head, "%08llx: ",
                      static_cast<unsigned long long>(offset + static_cast<std::uint64_t>(line)));
        text += QLatin1String(head);
        QString printable;
        for (qsizetype i = 0; i < 16; ++i) {
            if (line + i < bytes.size()) {
                const auto byte = static_cast<unsigned char>(bytes[line + i]);
                text += QLatin1Char(kHex[byte >> 4]);
                text += QLatin1Char(kHex[byte & 15]);
                printable +=
                    QLatin1Char(byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.');
            } else {
                text += QStringLiteral("  ");
            }
            if (i % 2 == 1 && i != 15) {
                text += QLatin1Char(' ');
            }
        }
        text += QStringLiteral("  ") + printable + QLatin1Char('\n');
    }
    return text;
}

// Seconds east of UTC of local time at |wallUs|.
std::int64_t LocalOffsetSeconds(std::int64_t wallUs) {
    const std::time_t seconds = static_cast<std::time_t>(wallUs / 1'000'000);
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return tm.tm_gmtoff;
}

QString TickText(std::int64_t wallUs, std::int64_t stepSeconds) {
    const QString clock = app::LiveModel::ClockText(wallUs);
    // "10:42" where the ticks are whole minutes, "10:42:30" otherwise.
    return stepSeconds % 60 == 0 ? clock.left(5) : clock.left(8);
}

}  // namespace

RatePlot::RatePlot(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void RatePlot::SetSeries(app::RateSeries series, const QString& caption) {
    m_series = std::move(series);
    m_caption = caption;
    update();
}

QSize RatePlot::sizeHint() const {
    return QSize(600, fontMetrics().height() * 6);
}

QSize RatePlot::minimumSizeHint() const {
    return QSize(200, fontMetrics().height() * 6);
}

QRect RatePlot::PlotArea() const {
    const QFontMetrics metrics = fontMetrics();
    // The caption above, the time labels below.
    return rect().adjusted(4, metrics.height() + 4, -4, -(metrics.height() + 4));
}

void RatePlot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QFontMetrics metrics = fontMetrics();
    painter.fillRect(rect(), palette().base());
    const QRect area = PlotArea();
    double peak = 0;
    for (const double value : m_series.values) {
        peak = std::max(peak, value);
    }
    painter.setPen(palette().color(QPalette::Text));
    painter.drawText(QRect(4, 2, width() - 8, metrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
                     QStringLiteral("Bytes per second, ") + m_caption);
    painter.drawText(QRect(4, 2, width() - 8, metrics.height()), Qt::AlignRight | Qt::AlignVCenter,
                     QStringLiteral("peak ") + RateText(peak));
    const QColor grid = palette().color(QPalette::Mid);
    painter.setPen(grid);
    painter.drawLine(area.bottomLeft(), area.bottomRight());
    const std::size_t count = m_series.values.size();
    if (count == 0) {
        return;
    }
    const double width = static_cast<double>(area.width()) / static_cast<double>(count);
    // Ticks at whole local times, far enough apart for their labels.
    const std::int64_t span = static_cast<std::int64_t>(count) * m_series.bucketUs / 1'000'000;
    static const std::int64_t kSteps[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                          600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    std::int64_t step = kSteps[std::size(kSteps) - 1];
    for (const std::int64_t candidate : kSteps) {
        if (span == 0 ||
            static_cast<double>(candidate) / static_cast<double>(span) * area.width() >=
                kTickSpacing) {
            step = candidate;
            break;
        }
    }
    const std::int64_t offset = LocalOffsetSeconds(m_series.startWallUs);
    const std::int64_t startSeconds = m_series.startWallUs / 1'000'000;
    std::int64_t tick = ((startSeconds + offset) / step + 1) * step - offset;
    const double pixelsPerSecond =
        static_cast<double>(area.width()) / static_cast<double>(std::max<std::int64_t>(span, 1));
    for (; tick < startSeconds + span; tick += step) {
        const int x = area.left() +
                      static_cast<int>(static_cast<double>(tick - startSeconds) * pixelsPerSecond);
        painter.setPen(grid);
        painter.drawLine(x, area.top(), x, area.bottom() + 3);
        painter.setPen(palette().color(QPalette::Text));
        const QString label = TickText(tick * 1'000'000, step);
        const int labelWidth = metrics.horizontalAdvance(label);
        const int left = std::clamp(x - labelWidth / 2, 0, this->width() - labelWidth);
        painter.drawText(left, area.bottom() + 4 + metrics.ascent(), label);
    }
    if (peak <= 0) {
        return;
    }
    const QColor bar = palette().color(QPalette::Highlight);
    for (std::size_t i = 0; i < count; ++i) {
        if (m_series.values[i] <= 0) {
            continue;
        }
        const double height = m_series.values[i] / peak * area.height();
        const double left = area.left() + width * static_cast<double>(i);
        // At least a pixel, so that a trickle is seen beside a burst.
        painter.fillRect(
            QRectF(left, area.bottom() - std::max(height, 1.0),
                   std::max(width - (width > 3 ? 1.0 : 0.0), 1.0), std::max(height, 1.0)),
            bar);
    }
}

void RatePlot::mouseMoveEvent(QMouseEvent* event) {
    const QRect area = PlotArea();
    const std::size_t count = m_series.values.size();
    const int x = static_cast<int>(event->position().x());
    if (count == 0 || x < area.left() || x > area.right()) {
        QToolTip::hideText();
        return;
    }
    const auto i = std::min<std::size_t>(
        count - 1, static_cast<std::size_t>(static_cast<double>(x - area.left()) / area.width() *
                                            static_cast<double>(count)));
    const std::int64_t at = m_series.startWallUs + static_cast<std::int64_t>(i) * m_series.bucketUs;
    QToolTip::showText(
        event->globalPosition().toPoint(),
        app::LiveModel::ClockText(at).left(8) + QStringLiteral(": ") + RateText(m_series.values[i]),
        this);
}

CLiveView::CLiveView(app::LiveFeed& feed, QWidget* parent)
    : QWidget(parent, Qt::Window), m_feed(&feed), m_model(std::make_unique<app::LiveModel>()) {
    setWindowTitle(QStringLiteral("tapScope - live view"));
    Build();
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &CLiveView::Poll);
    // A capture that runs already: what it received before is in its file.
    m_capture = m_feed->CurrentCapture();
    if (m_capture && m_capture->running) {
        m_model->SetBurstGap(std::chrono::microseconds(m_capture->burstGapUs));
        app::FeedEvent running;
        running.kind = "note";
        running.text = "capture running: " + m_capture->description +
                       " (what came before the view opened is in its file)";
        const app::RecordStamp now = app::RecordStamp::Now();
        running.wallNs = now.wallNs;
        running.monoNs = now.monoNs;
        m_model->Event(running);
        m_model->Commit();
    }
    UpdateStatus();
}

CLiveView::CLiveView(std::unique_ptr<app::OpenedCapture> capture, QWidget* parent)
    : QWidget(parent, Qt::Window), m_model(std::make_unique<app::LiveModel>(0)) {
    setWindowTitle(QStringLiteral("tapScope - ") +
                   QFileInfo(QString::fromStdString(capture->Path())).fileName());
    m_model->Load(std::move(capture));
    Build();
    UpdateSources();
    UpdateCounters();
    UpdatePlot();
    UpdateStatus();
}

CLiveView::~CLiveView() {
    if (m_feed != nullptr) {
        m_feed->SetActive(false);
    }
}

void CLiveView::Build() {
    auto* layout = new QVBoxLayout(this);

    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(QStringLiteral("Source:"), this));
    m_sourceBox = new QComboBox(this);
    m_sourceBox->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_sourceBox->setMinimumContentsLength(24);
    m_sourceBox->addItem(QStringLiteral("All sources"));
    bar->addWidget(m_sourceBox);
    m_joinBox = new QCheckBox(QStringLiteral("Join bursts"), this);
    m_joinBox->setChecked(m_model->Join());
    m_joinBox->setToolTip(
        QStringLiteral("Bytes of one source that follow each other closer than the burst gap "
                       "share a row, as in the capture's record"));
    bar->addWidget(m_joinBox);
    bar->addStretch(1);
    m_clearButton = new QPushButton(QStringLiteral("Clear"), this);
    bar->addWidget(m_clearButton);
    m_openButton = new QPushButton(QStringLiteral("Open capture..."), this);
    bar->addWidget(m_openButton);
    layout->addLayout(bar);
    if (!IsLive()) {
        // The record's rows are joined already; there is nothing to clear.
        m_joinBox->hide();
        m_clearButton->hide();
    }

    auto* counters = new QGridLayout;
    for (int i = 0; i < static_cast<int>(std::size(kCounterNames)); ++i) {
        auto* caption = new QLabel(QString::fromLatin1(kCounterNames[i]), this);
        caption->setForegroundRole(QPalette::PlaceholderText);
        m_counterValues[i] = new QLabel(this);
        QFont bold = m_counterValues[i]->font();
        bold.setBold(true);
        m_counterValues[i]->setFont(bold);
        m_counterValues[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
        counters->addWidget(caption, 0, i);
        counters->addWidget(m_counterValues[i], 1, i);
        counters->setColumnStretch(i, 1);
    }
    layout->addLayout(counters);

    m_plot = new RatePlot(this);
    layout->addWidget(m_plot);

    m_filter = new app::LiveFilter(this);
    m_filter->setSourceModel(m_model.get());
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QFontMetrics metrics(fixed);
    m_table = new QTableView(this);
    m_table->setModel(m_filter);
    m_table->setFont(fixed);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setWordWrap(false);
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(metrics.height() + 4);
    QHeaderView* header = m_table->horizontalHeader();
    header->setHighlightSections(false);
    header->setStretchLastSection(true);
    const int pad = metrics.horizontalAdvance(QStringLiteral("  ")) + 6;
    auto widthOf = [&](const QString& sample) { return metrics.horizontalAdvance(sample) + pad; };
    header->resizeSection(app::LiveModel::kTimeColumn, widthOf(QString::fromLatin1(kTimeSample)));
    header->resizeSection(app::LiveModel::kSourceColumn,
                          widthOf(QString::fromLatin1(kSourceSample)));
    header->resizeSection(app::LiveModel::kLengthColumn,
                          widthOf(QString::fromLatin1(kLengthSample)));
    // Sixteen bytes and the mark that more follow.
    header->resizeSection(
        app::LiveModel::kHexColumn,
        widthOf(QString(app::LiveModel::kPreviewBytes * 3 + 3, QLatin1Char('0'))));
    const int textWidth = widthOf(QString(app::LiveModel::kPreviewBytes, QLatin1Char('0')));
    header->setMinimumSectionSize(metrics.horizontalAdvance(QStringLiteral("00")));

    m_detail = new QPlainTextEdit(this);
    m_detail->setReadOnly(true);
    m_detail->setFont(fixed);
    m_detail->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_detail->setPlaceholderText(QStringLiteral("Select a row to see all its bytes."));

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->addWidget(m_table);
    splitter->addWidget(m_detail);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);

    m_status = new QLabel(this);
    m_status->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_status->setWordWrap(true);
    layout->addWidget(m_status);

    // Wide enough for every column, the scroll bar and the frame.
    int tableWidth = textWidth + m_table->verticalScrollBar()->sizeHint().width() + 4;
    for (int column = 0; column < app::LiveModel::kTextColumn; ++column) {
        tableWidth += header->sectionSize(column);
    }
    const QMargins margins = layout->contentsMargins();
    resize(tableWidth + margins.left() + margins.right(), metrics.height() * 40);

    connect(m_sourceBox, &QComboBox::currentIndexChanged, this, [this](int index) {
        const bool follow = Following();
        m_filter->SetSource(index - 1);
        if (follow) {
            m_table->scrollToBottom();
        }
    });
    connect(m_joinBox, &QCheckBox::toggled, this, [this](bool join) { m_model->SetJoin(join); });
    connect(m_clearButton, &QPushButton::clicked, this, [this] {
        m_model->Clear();
        m_detail->clear();
        UpdateCounters();
        UpdatePlot();
    });
    connect(m_openButton, &QPushButton::clicked, this, &CLiveView::OnOpenCapture);
    connect(m_model.get(), &app::LiveModel::SourcesChanged, this, &CLiveView::UpdateSources);
    connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &CLiveView::ShowDetail);
}

void CLiveView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_feed != nullptr && !m_timer->isActive()) {
        m_feed->SetActive(true);
        m_timer->start(kPollMs);
        Poll();
    }
}

void CLiveView::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (m_feed != nullptr) {
        m_timer->stop();
        m_feed->SetActive(false);
    }
}

bool CLiveView::Following() const {
    const QScrollBar* bar = m_table->verticalScrollBar();
    return bar->value() >= bar->maximum();
}

void CLiveView::Poll() {
    if (m_feed == nullptr) {
        return;
    }
    const bool follow = Following();
    // Scrolled up, the row at the top stays there while older rows go.
    const QPersistentModelIndex top(follow ? QModelIndex() : m_table->indexAt(QPoint(0, 0)));
    m_capture = m_feed->CurrentCapture();
    if (m_capture) {
        m_model->SetBurstGap(std::chrono::microseconds(m_capture->burstGapUs));
    }
    m_feed->Take(*m_model);
    m_model->Commit();
    if (follow) {
        m_table->scrollToBottom();
    } else if (top.isValid()) {
        m_table->scrollTo(top, QAbstractItemView::PositionAtTop);
    }
    UpdateCounters();
    UpdatePlot();
    UpdateStatus();
    if (m_table->currentIndex().isValid()) {
        ShowDetail();
    }
}

void CLiveView::UpdateSources() {
    const QStringList& sources = m_model->Sources();
    for (int i = m_sourceBox->count() - 1; i < sources.size(); ++i) {
        m_sourceBox->addItem(sources[i]);
    }
}

QString CLiveView::CounterText(const QString& name) const {
    for (int i = 0; i < static_cast<int>(std::size(kCounterNames)); ++i) {
        if (name == QLatin1String(kCounterNames[i])) {
            return m_counterValues[i]->text();
        }
    }
    return {};
}

void CLiveView::UpdateCounters() {
    const app::LiveCounters& counters = m_model->Counters();
    m_counterValues[kBytes]->setText(Grouped(counters.bytes));
    m_counterValues[kBlocks]->setText(Grouped(counters.blocks));
    m_counterValues[kSources]->setText(QString::number(counters.sources));
    QString losses;
    for (const auto& [unit, count] : counters.losses) {
        losses += (losses.isEmpty() ? QString() : QStringLiteral(", ")) + Grouped(count) +
                  QLatin1Char(' ') + QString::fromStdString(unit);
    }
    m_counterValues[kLosses]->setText(losses.isEmpty() ? QStringLiteral("none") : losses);
    if (IsLive()) {
        const app::RecordStamp now = app::RecordStamp::Now();
        m_counterValues[kRate]->setText(RateText(m_model->RecentRate(now.monoNs, kRateSeconds)) +
                                        QStringLiteral(" (last %1 s)").arg(kRateSeconds));
        m_counterValues[kLastBlock]->setText(counters.anyBlock
                                                 ? SpanText(now.monoNs - counters.lastBlockMonoNs) +
                                                       QStringLiteral(" ago")
                                                 : QStringLiteral("none yet"));
        return;
    }
    // An opened capture: its average, and when its last block came.
    const app::RateSeries series = m_model->CaptureRates(1);
    double seconds = 0;
    if (!series.values.empty()) {
        seconds = static_cast<double>(series.bucketUs) / 1e6;
    }
    m_counterValues[kRate]->setText(seconds > 0
                                        ? RateText(static_cast<double>(counters.bytes) / seconds) +
                                              QStringLiteral(" on average")
                                        : QStringLiteral("none"));
    m_counterValues[kLastBlock]->setText(counters.anyBlock
                                             ? app::LiveModel::ClockText(counters.lastBlockWallUs)
                                             : QStringLiteral("none"));
}

void CLiveView::UpdatePlot() {
    if (IsLive()) {
        m_plot->SetSeries(m_model->LiveRates(app::RecordStamp::Now(), kPlotSeconds),
                          QStringLiteral("last %1 minutes").arg(kPlotSeconds / 60));
        return;
    }
    m_plot->SetSeries(m_model->CaptureRates(kCaptureBuckets),
                      QStringLiteral("over the whole capture"));
}

void CLiveView::UpdateStatus() {
    if (!IsLive()) {
        const app::OpenedCapture* opened = m_model->Opened();
        QString text = QString::fromStdString(opened->Path());
        for (const std::string& note : opened->Notes()) {
            text += QStringLiteral("; ") + QString::fromStdString(note);
        }
        m_status->setText(text);
        return;
    }
    QString text;
    if (m_capture && m_capture->running) {
        text = QStringLiteral("Capturing ") + QString::fromStdString(m_capture->description);
    } else {
        text = QStringLiteral("No capture running");
    }
    if (!Following()) {
        text += QStringLiteral(" - scrolled back: new rows are added below");
    }
    m_status->setText(text);
}

void CLiveView::ShowDetail() {
    const QModelIndex current = m_filter->mapToSource(m_table->currentIndex());
    if (!current.isValid()) {
        m_detail->clear();
        return;
    }
    const int row = current.row();
    const app::LiveRow& item = m_model->Row(row);
    const QString source =
        m_model->data(m_model->index(row, app::LiveModel::kSourceColumn)).toString();
    QString text;
    if (item.kind == app::LiveRow::Kind::kEvent) {
        text = app::LiveModel::DateTimeText(item.wallUs) + QLatin1Char(' ') +
               (source.isEmpty() ? QString() : source + QStringLiteral(": ")) + item.text;
    } else if (item.kind == app::LiveRow::Kind::kNotShown) {
        text = m_model->data(m_model->index(row, app::LiveModel::kHexColumn)).toString() +
               QStringLiteral(
                   "\nThe capture file has every byte; open it when the capture is "
                   "done, or run \"tapscope show\" on it.");
    } else {
        const bool fromFile = item.offset >= 0;
        const QByteArray bytes = m_model->Bytes(row, kDetailBytes);
        text = (item.timeKnown ? app::LiveModel::DateTimeText(item.wallUs)
                               : QStringLiteral("time unknown")) +
               (source.isEmpty() ? QString() : QLatin1Char(' ') + source) + QStringLiteral(": ") +
               QString::number(item.length) +
               (item.length == 1 ? QStringLiteral(" byte") : QStringLiteral(" bytes"));
        if (item.timeKnown) {
            text += QStringLiteral(" in ") + QString::number(item.blocks) +
                    (item.blocks == 1 ? QStringLiteral(" read") : QStringLiteral(" reads"));
        }
        text += QLatin1Char('\n');
        text += Dump(bytes, fromFile ? static_cast<std::uint64_t>(item.offset) : 0);
        if (static_cast<std::uint64_t>(bytes.size()) < item.length) {
            text += fromFile ? QStringLiteral(
                                   "(the first %1 bytes; \"tapscope show\" lists them "
                                   "all)")
                                   .arg(bytes.size())
                             : QStringLiteral(
                                   "(the first %1 bytes were kept; the capture file "
                                   "has them all)")
                                   .arg(bytes.size());
        }
    }
    if (m_detail->toPlainText() != text) {
        m_detail->setPlainText(text);
    }
}

void CLiveView::OnOpenCapture() {
    // Where the last capture went, to begin with.
    QString folder;
    if (m_capture && !m_capture->file.empty()) {
        folder = QFileInfo(QString::fromStdString(m_capture->file)).path();
    } else if (const app::OpenedCapture* opened = m_model->Opened()) {
        folder = QFileInfo(QString::fromStdString(opened->Path())).path();
    }
    const QString path = QFileDialog::getOpenFileName(
        this, QStringLiteral("Open capture"), folder,
        QStringLiteral("Captures (*.bin *.txt *.jsonl);;All Files (*)"));
    if (!path.isEmpty()) {
        OpenCapture(path);
    }
}

CLiveView* CLiveView::OpenCapture(const QString& path) {
    QString capturePath = path;
    // A record chosen for its capture: "till.bin.jsonl" is till.bin's.
    if (capturePath.endsWith(QStringLiteral(".jsonl")) &&
        QFileInfo(capturePath.chopped(6)).isFile()) {
        capturePath.chop(6);
    }
    std::string error;
    std::unique_ptr<app::OpenedCapture> capture =
        app::OpenedCapture::Open(capturePath.toStdString(), error);
    if (capture == nullptr) {
        QMessageBox box(QMessageBox::Warning, QString::fromLatin1(app::kProgramName),
                        QStringLiteral("Cannot open the capture."), QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.setInformativeText(QString::fromStdString(error));
        // A file name is shown as written, never taken as markup.
        for (QLabel* label : box.findChildren<QLabel*>()) {
            label->setTextFormat(Qt::PlainText);
        }
        box.exec();
        return nullptr;
    }
    // Beside the main window, not inside this view: it stays when this
    // view closes.
    QWidget* owner = parentWidget() != nullptr ? parentWidget() : this;
    auto* view = new CLiveView(std::move(capture), owner);
    view->setAttribute(Qt::WA_DeleteOnClose);
    view->show();
    return view;
}
