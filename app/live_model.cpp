#include "app/live_model.h"

#include <QColor>
#include <QFont>
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "app/opened_capture.h"

namespace tapscope::app {
namespace {

constexpr std::int64_t kMicrosPerSecond = 1'000'000;
// Row previews an opened capture keeps read.
constexpr int kPreviewCache = 4096;

std::int64_t FloorDiv(std::int64_t value, std::int64_t by) {
    return value / by - (value % by < 0 ? 1 : 0);
}

// The slot of |step| in a ring of |size|, for steps before 0 too (a machine
// up for less than the plot's span).
std::size_t Slot(std::int64_t step, std::int64_t size) {
    return static_cast<std::size_t>((step % size + size) % size);
}

std::tm LocalTm(std::int64_t us) {
    const std::time_t seconds = static_cast<std::time_t>(FloorDiv(us, kMicrosPerSecond));
    std::tm tm{};
    localtime_r(&seconds, &tm);
    return tm;
}

QString Plural(std::uint64_t count, const char* one, const char* many) {
    return QString::number(count) + QLatin1Char(' ') + QLatin1String(count == 1 ? one : many);
}

bool IsTrouble(const QString& event) {
    return event == QLatin1String("loss") || event == QLatin1String("reset") ||
           event == QLatin1String("message") || event == QLatin1String("write-failed") ||
           event == QLatin1String("device-gone");
}

}  // namespace

LiveModel::LiveModel(std::size_t mostRows, QObject* parent)
    : QAbstractTableModel(parent),
      m_mostRows(mostRows),
      m_clock(&RecordStamp::Now),
      m_history(kHistorySteps, 0),
      m_previews(kPreviewCache) {
    m_counters.sinceMonoNs = m_clock().monoNs;
}

LiveModel::~LiveModel() = default;

int LiveModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int LiveModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumns;
}

QVariant LiveModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return QAbstractTableModel::headerData(section, orientation, role);
    }
    switch (section) {
        case kTimeColumn:
            return QStringLiteral("Time");
        case kSourceColumn:
            return QStringLiteral("Source");
        case kLengthColumn:
            return QStringLiteral("Bytes");
        case kHexColumn:
            return QStringLiteral("Hex");
        case kTextColumn:
            return QStringLiteral("Text");
        default:
            return {};
    }
}

QString LiveModel::ClockText(std::int64_t wallUs) {
    const std::tm tm = LocalTm(wallUs);
    char text[64];
    std::snprintf(
        text, sizeof text, "%02d:%02d:%02d.%06lld", tm.tm_hour, tm.tm_min, tm.tm_sec,
        static_cast<long long>(wallUs - FloorDiv(wallUs, kMicrosPerSecond) * kMicrosPerSecond));
    return QString::fromLatin1(text);
}

QString LiveModel::DateTimeText(std::int64_t wallUs) {
    const std::tm tm = LocalTm(wallUs);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday);
    return QString::fromLatin1(text) + ClockText(wallUs);
}

QString LiveModel::HexText(const QByteArray& bytes, int most) {
    static const char kHex[] = "0123456789abcdef";
    const int shown = std::min<int>(static_cast<int>(bytes.size()), most);
    QString text;
    text.reserve(shown * 3);
    for (int i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        if (i > 0) {
            text += QLatin1Char(' ');
        }
        text += QLatin1Char(kHex[byte >> 4]);
        text += QLatin1Char(kHex[byte & 15]);
    }
    return text;
}

QString LiveModel::PrintableText(const QByteArray& bytes, int most) {
    const int shown = std::min<int>(static_cast<int>(bytes.size()), most);
    QString text;
    text.reserve(shown);
    for (int i = 0; i < shown; ++i) {
        const auto byte = static_cast<unsigned char>(bytes[i]);
        text += QLatin1Char(byte >= 0x20 && byte < 0x7f ? static_cast<char>(byte) : '.');
    }
    return text;
}

QByteArray LiveModel::Preview(int row) const {
    const LiveRow& item = Row(row);
    if (item.offset < 0 || m_opened == nullptr) {
        return item.bytes;
    }
    if (const QByteArray* cached = m_previews.object(row)) {
        return *cached;
    }
    // One more than shown, to know whether the row goes on.
    auto* read =
        new QByteArray(m_opened->Read(static_cast<std::uint64_t>(item.offset),
                                      std::min<std::uint64_t>(item.length, kPreviewBytes + 1)));
    const QByteArray result = *read;
    m_previews.insert(row, read);
    return result;
}

QByteArray LiveModel::Bytes(int row, std::size_t most) const {
    const LiveRow& item = Row(row);
    if (item.offset < 0 || m_opened == nullptr) {
        return item.bytes.left(static_cast<qsizetype>(
            std::min<std::size_t>(most, static_cast<std::size_t>(item.bytes.size()))));
    }
    return m_opened->Read(static_cast<std::uint64_t>(item.offset),
                          std::min<std::uint64_t>(item.length, most));
}

QVariant LiveModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount()) {
        return {};
    }
    const LiveRow& row = Row(index.row());
    const int column = index.column();
    if (role == kSourceRole) {
        // Bytes of no known source belong to no source, unlike an event of
        // the capture as a whole.
        return row.source < 0 && row.kind == LiveRow::Kind::kBytes ? kNoSource : row.source;
    }
    if (role == Qt::TextAlignmentRole) {
        return column == kLengthColumn ? QVariant(Qt::AlignRight | Qt::AlignVCenter)
                                       : QVariant(Qt::AlignLeft | Qt::AlignVCenter);
    }
    if (role == Qt::FontRole) {
        if (row.kind == LiveRow::Kind::kBytes) {
            return {};
        }
        QFont font;
        font.setItalic(true);
        return font;
    }
    if (role == Qt::ForegroundRole) {
        if (row.kind == LiveRow::Kind::kNotShown || !row.timeKnown) {
            return QColor(0x70, 0x70, 0x70);
        }
        if (row.kind == LiveRow::Kind::kEvent) {
            return IsTrouble(row.event) ? QColor(0xa0, 0x10, 0x10) : QColor(0x10, 0x40, 0x90);
        }
        return {};
    }
    if (role == Qt::ToolTipRole) {
        if (column == kTimeColumn && row.timeKnown && row.kind != LiveRow::Kind::kNotShown) {
            return DateTimeText(row.wallUs);
        }
        if (column == kLengthColumn && row.kind == LiveRow::Kind::kBytes) {
            return Plural(row.length, "byte", "bytes") +
                   (row.timeKnown ? QStringLiteral(" in ") + Plural(row.blocks, "read", "reads")
                                  : QString());
        }
        if (column == kHexColumn && row.kind == LiveRow::Kind::kEvent) {
            return row.text;
        }
        return {};
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (column) {
        case kTimeColumn:
            if (row.kind == LiveRow::Kind::kNotShown) {
                return ClockText(row.wallUs);
            }
            return row.timeKnown ? ClockText(row.wallUs) : QStringLiteral("time unknown");
        case kSourceColumn:
            return row.source >= 0 && row.source < m_sources.size() ? m_sources[row.source]
                                                                    : QString();
        case kLengthColumn:
            return row.kind == LiveRow::Kind::kBytes ? QVariant(QString::number(row.length))
                                                     : QVariant();
        case kHexColumn:
            if (row.kind == LiveRow::Kind::kEvent) {
                return QStringLiteral("-- ") + row.text;
            }
            if (row.kind == LiveRow::Kind::kNotShown) {
                QString text = QStringLiteral("... ") + Plural(row.blocks, "block", "blocks") +
                               QStringLiteral(" (") + Plural(row.length, "byte", "bytes") +
                               QStringLiteral(")");
                if (row.count > 0) {
                    text += QStringLiteral(" and ") + Plural(row.count, "event", "events");
                }
                return text + QStringLiteral(" not shown: the view fell behind");
            }
            {
                const QByteArray bytes = Preview(index.row());
                QString text = HexText(bytes, kPreviewBytes);
                if (row.length > static_cast<std::uint64_t>(kPreviewBytes)) {
                    text += QStringLiteral(" ...");
                }
                return text;
            }
        case kTextColumn:
            if (row.kind != LiveRow::Kind::kBytes) {
                return {};
            }
            return PrintableText(Preview(index.row()), kPreviewBytes);
        default:
            return {};
    }
}

int LiveModel::SourceIndex(const QString& label) {
    const auto found = m_sourceIndex.constFind(label);
    if (found != m_sourceIndex.constEnd()) {
        return found.value();
    }
    const int index = static_cast<int>(m_sources.size());
    m_sources.push_back(label);
    m_sourceIndex.insert(label, index);
    emit SourcesChanged();
    return index;
}

void LiveModel::Source(const FeedSource& source) {
    m_feedSources[source.id] = SourceIndex(QString::fromStdString(source.label));
}

void LiveModel::Block(const FeedBlock& block) {
    int source = -1;
    if (block.source != 0) {
        const auto found = m_feedSources.find(block.source);
        source = found != m_feedSources.end() ? found->second : -1;
    }
    m_counters.bytes += block.size;
    m_counters.blocks += 1;
    m_counters.anyBlock = true;
    m_counters.lastBlockWallUs = block.wallNs / 1000;
    m_counters.lastBlockMonoNs = block.monoNs;
    if (source >= 0) {
        m_seen.insert(source);
        m_counters.sources = m_seen.size();
    }
    AddToHistory(block.monoNs, block.size);

    // The row this block may join: the newest, staged or committed.
    LiveRow* last = nullptr;
    if (!m_staged.empty()) {
        last = &m_staged.back();
    } else if (!m_rows.empty()) {
        last = &m_rows.back();
    }
    // Joined only while the row holds all its bytes, so that what it shows
    // is one run of the stream.
    if (m_join && last != nullptr && last->kind == LiveRow::Kind::kBytes && !block.datagram &&
        !last->datagram && last->offset < 0 && last->source == source &&
        static_cast<std::uint64_t>(last->bytes.size()) == last->length &&
        last->length + block.size <= static_cast<std::uint64_t>(kRowBytes) &&
        block.monoNs - last->lastMonoNs < m_burstGapNs &&
        block.monoNs - last->firstMonoNs < kRowSpanNs) {
        last->bytes.append(block.bytes, static_cast<qsizetype>(block.kept));
        last->length += block.size;
        last->blocks += 1;
        last->lastMonoNs = block.monoNs;
        last->lastWallUs = block.wallNs / 1000;
        if (m_staged.empty()) {
            m_lastRowGrew = true;
        }
        return;
    }
    LiveRow row;
    row.kind = LiveRow::Kind::kBytes;
    row.datagram = block.datagram;
    row.source = source;
    row.wallUs = block.wallNs / 1000;
    row.lastWallUs = row.wallUs;
    row.firstMonoNs = block.monoNs;
    row.lastMonoNs = block.monoNs;
    row.length = block.size;
    row.blocks = 1;
    row.bytes = QByteArray(block.bytes, static_cast<qsizetype>(block.kept));
    m_staged.push_back(std::move(row));
}

void LiveModel::Event(const FeedEvent& event) {
    if (event.kind == "begin") {
        ResetCounters();
    }
    LiveRow row;
    row.kind = LiveRow::Kind::kEvent;
    row.source = event.source.empty() ? -1 : SourceIndex(QString::fromStdString(event.source));
    row.wallUs = event.wallNs / 1000;
    row.lastWallUs = row.wallUs;
    row.firstMonoNs = event.monoNs;
    row.lastMonoNs = event.monoNs;
    row.event = QString::fromStdString(event.kind);
    row.text = QString::fromStdString(event.text);
    row.count = event.count;
    row.unit = QString::fromStdString(event.unit);
    Count(row);
    m_staged.push_back(std::move(row));
}

void LiveModel::NotShown(std::uint64_t blocks, std::uint64_t bytes, std::uint64_t events) {
    const RecordStamp now = m_clock();
    m_counters.bytes += bytes;
    m_counters.blocks += blocks;
    m_counters.notShownBlocks += blocks;
    if (blocks > 0) {
        m_counters.anyBlock = true;
        m_counters.lastBlockWallUs = now.wallNs / 1000;
        m_counters.lastBlockMonoNs = now.monoNs;
    }
    AddToHistory(now.monoNs, bytes);
    LiveRow row;
    row.kind = LiveRow::Kind::kNotShown;
    row.wallUs = now.wallNs / 1000;
    row.lastWallUs = row.wallUs;
    row.firstMonoNs = now.monoNs;
    row.lastMonoNs = now.monoNs;
    row.blocks = blocks;
    row.length = bytes;
    row.count = events;
    m_staged.push_back(std::move(row));
}

void LiveModel::Count(const LiveRow& row) {
    if (row.kind != LiveRow::Kind::kEvent) {
        return;
    }
    if (row.source >= 0) {
        m_seen.insert(row.source);
        m_counters.sources = m_seen.size();
    }
    if (row.event == QLatin1String("loss")) {
        m_counters.losses[row.unit.isEmpty() ? std::string("units") : row.unit.toStdString()] +=
            row.count;
    } else if (row.event == QLatin1String("write-failed")) {
        m_counters.losses["blocks not written"] += row.count;
    }
}

void LiveModel::Commit() {
    if (m_lastRowGrew && !m_rows.empty()) {
        const int last = static_cast<int>(m_rows.size()) - 1;
        emit dataChanged(index(last, 0), index(last, kColumns - 1));
    }
    m_lastRowGrew = false;
    if (m_staged.empty()) {
        return;
    }
    // More than the bound at once: only the newest can stay.
    auto from = m_staged.begin();
    if (m_mostRows != 0 && m_staged.size() > m_mostRows) {
        from += static_cast<std::ptrdiff_t>(m_staged.size() - m_mostRows);
    }
    const std::size_t adding = static_cast<std::size_t>(m_staged.end() - from);
    if (m_mostRows != 0 && m_rows.size() + adding > m_mostRows) {
        const std::size_t excess = std::min(m_rows.size(), m_rows.size() + adding - m_mostRows);
        if (excess > 0) {
            beginRemoveRows(QModelIndex(), 0, static_cast<int>(excess) - 1);
            m_rows.erase(m_rows.begin(), m_rows.begin() + static_cast<std::ptrdiff_t>(excess));
            endRemoveRows();
        }
    }
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows(QModelIndex(), first, first + static_cast<int>(adding) - 1);
    std::move(from, m_staged.end(), std::back_inserter(m_rows));
    endInsertRows();
    m_staged.clear();
}

void LiveModel::ResetCounters() {
    m_counters = LiveCounters{};
    m_counters.sinceMonoNs = m_clock().monoNs;
    m_seen.clear();
    std::fill(m_history.begin(), m_history.end(), 0);
    m_newestStep = -1;
}

void LiveModel::Clear() {
    beginResetModel();
    m_rows.clear();
    m_staged.clear();
    m_lastRowGrew = false;
    m_previews.clear();
    endResetModel();
    ResetCounters();
}

void LiveModel::Load(std::unique_ptr<OpenedCapture> capture) {
    beginResetModel();
    m_staged.clear();
    m_lastRowGrew = false;
    m_previews.clear();
    std::vector<LiveRow> rows = capture->TakeRows();
    m_rows.assign(std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
    m_sources = capture->Sources();
    m_sourceIndex.clear();
    for (int i = 0; i < m_sources.size(); ++i) {
        m_sourceIndex.insert(m_sources[i], i);
    }
    m_feedSources.clear();
    m_opened = std::move(capture);
    m_counters = LiveCounters{};
    m_seen.clear();
    for (const LiveRow& row : m_rows) {
        if (row.kind == LiveRow::Kind::kBytes) {
            m_counters.bytes += row.length;
            m_counters.blocks += row.blocks;
            if (row.source >= 0) {
                m_seen.insert(row.source);
            }
            if (row.timeKnown) {
                m_counters.anyBlock = true;
                m_counters.lastBlockWallUs = std::max(m_counters.lastBlockWallUs, row.lastWallUs);
            }
        }
        Count(row);
    }
    m_counters.sources = m_seen.size();
    endResetModel();
    emit SourcesChanged();
}

void LiveModel::AddToHistory(std::int64_t monoNs, std::uint64_t bytes) {
    const std::int64_t step = FloorDiv(monoNs, kStepNs);
    const auto size = static_cast<std::int64_t>(kHistorySteps);
    if (m_newestStep >= 0 && step <= m_newestStep - size) {
        return;  // older than the history reaches
    }
    if (step > m_newestStep) {
        // The steps in between had nothing.
        const std::int64_t from =
            m_newestStep < 0 ? step : std::max(m_newestStep + 1, step - size + 1);
        for (std::int64_t s = from; s <= step; ++s) {
            m_history[Slot(s, size)] = 0;
        }
        m_newestStep = step;
    }
    m_history[Slot(step, size)] += bytes;
}

std::uint64_t LiveModel::HistoryBytes(std::int64_t fromStep, std::int64_t toStep) const {
    const auto size = static_cast<std::int64_t>(kHistorySteps);
    std::uint64_t total = 0;
    for (std::int64_t s = std::max(fromStep, m_newestStep - size + 1);
         s <= std::min(toStep, m_newestStep); ++s) {
        total += m_history[Slot(s, size)];
    }
    return total;
}

double LiveModel::RecentRate(std::int64_t nowMonoNs, int seconds) const {
    const std::int64_t nowStep = FloorDiv(nowMonoNs, kStepNs);
    const std::int64_t steps = static_cast<std::int64_t>(seconds) * (1'000'000'000 / kStepNs);
    const std::uint64_t bytes = HistoryBytes(nowStep - steps, nowStep - 1);
    // Since the counting began, when that is shorter: a capture two seconds
    // old is not averaged over five.
    const std::int64_t counted =
        std::max<std::int64_t>(1, nowStep - FloorDiv(m_counters.sinceMonoNs, kStepNs));
    const std::int64_t span = std::min(steps, counted);
    return static_cast<double>(bytes) * 1e9 / static_cast<double>(span * kStepNs);
}

RateSeries LiveModel::LiveRates(const RecordStamp& now, int seconds) const {
    constexpr std::int64_t kStepsPerSecond = 1'000'000'000 / kStepNs;
    // Whole seconds, ending at the start of the current one.
    const std::int64_t endStep = FloorDiv(now.monoNs, 1'000'000'000) * kStepsPerSecond;
    const std::int64_t firstStep = endStep - static_cast<std::int64_t>(seconds) * kStepsPerSecond;
    RateSeries series;
    series.bucketUs = kMicrosPerSecond;
    series.startWallUs = now.wallNs / 1000 - (now.monoNs - firstStep * kStepNs) / 1000;
    series.values.reserve(static_cast<std::size_t>(seconds));
    for (int i = 0; i < seconds; ++i) {
        const std::int64_t from = firstStep + i * kStepsPerSecond;
        series.values.push_back(
            static_cast<double>(HistoryBytes(from, from + kStepsPerSecond - 1)));
    }
    return series;
}

RateSeries LiveModel::CaptureRates(int buckets) const {
    RateSeries series;
    std::int64_t first = 0;
    std::int64_t last = 0;
    bool any = false;
    for (const LiveRow& row : m_rows) {
        if (!row.timeKnown || row.kind == LiveRow::Kind::kNotShown) {
            continue;
        }
        first = any ? std::min(first, row.wallUs) : row.wallUs;
        last = any ? std::max(last, row.lastWallUs) : row.lastWallUs;
        any = true;
    }
    if (!any || buckets <= 0) {
        return series;
    }
    // Whole seconds from the first second of the capture.
    const std::int64_t start = FloorDiv(first, kMicrosPerSecond) * kMicrosPerSecond;
    const std::int64_t span = last - start + 1;
    const std::int64_t seconds = (span + kMicrosPerSecond - 1) / kMicrosPerSecond;
    const std::int64_t perBucket = std::max<std::int64_t>(1, (seconds + buckets - 1) / buckets);
    series.startWallUs = start;
    series.bucketUs = perBucket * kMicrosPerSecond;
    const auto count = static_cast<std::size_t>((span + series.bucketUs - 1) / series.bucketUs);
    series.values.assign(count, 0.0);
    for (const LiveRow& row : m_rows) {
        if (!row.timeKnown || row.kind != LiveRow::Kind::kBytes) {
            continue;
        }
        const auto at = static_cast<std::size_t>((row.wallUs - start) / series.bucketUs);
        series.values[std::min(at, count - 1)] += static_cast<double>(row.length);
    }
    for (double& value : series.values) {
        value /= static_cast<double>(perBucket);
    }
    return series;
}

void LiveFilter::SetSource(int source) {
    if (source == m_source) {
        return;
    }
    m_source = source;
    invalidateFilter();
}

bool LiveFilter::filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const {
    if (m_source < 0) {
        return true;
    }
    const QModelIndex index = sourceModel()->index(sourceRow, 0, sourceParent);
    const int source = sourceModel()->data(index, LiveModel::kSourceRole).toInt();
    return source == m_source || source == -1;
}

}  // namespace tapscope::app
