// LiveModel: the rows behind the live view, and behind a capture opened
// afterwards. Live, it reads a LiveFeed: each block becomes a row (its time,
// source, length and bytes), or with joining the bytes of one source that
// follow each other closer than the burst gap share a row, as in the record;
// events are rows of their own. It keeps at most a bounded number of rows,
// dropping the oldest, and counts what arrived: bytes, blocks, sources, losses,
// the bytes of the last minutes in 100 ms steps. An opened capture gives it all
// its rows at once, their bytes read from the capture file when shown.
//
// Threading: the window thread only. Rows reach the table at Commit, so that
// a poll that takes thousands of blocks tells the table once.
#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QCache>
#include <QHash>
#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "app/capture_record_writer.h"
#include "app/live_feed.h"

namespace tapscope::app {

class OpenedCapture;

struct LiveRow {
    // kBytes: bytes of one source; kEvent: an event, the capture's beginning
    // or end; kNotShown: blocks and events the view could not keep up with.
    enum class Kind : std::uint8_t { kBytes, kEvent, kNotShown };
    Kind kind = Kind::kBytes;
    // False for bytes no row of the record covers (no time, no source).
    bool timeKnown = true;
    bool datagram = false;
    int source = -1;          // index into LiveModel::Sources(); -1: none
    std::int64_t wallUs = 0;  // arrival of its first byte, microseconds since 1970 (UTC)
    std::int64_t firstMonoNs = 0;
    std::int64_t lastMonoNs = 0;
    std::int64_t lastWallUs = 0;
    std::uint64_t length = 0;  // bytes (kNotShown: bytes not shown)
    std::uint64_t blocks = 0;  // reads or datagrams (kNotShown: blocks not shown)
    // Where its bytes lie in the capture file (an opened capture); -1: a
    // live row, whose bytes are |bytes|.
    std::int64_t offset = -1;
    QByteArray bytes;         // live: the bytes kept, the first of |length|
    QString event;            // kEvent: "connected", "loss", "begin", ...
    QString text;             // kEvent: in words
    std::uint64_t count = 0;  // loss: units; write-failed: blocks; kNotShown: events
    QString unit;             // loss: "datagrams", "line errors"
};

struct LiveCounters {
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
    std::size_t sources = 0;
    // Units lost by what counts them: "datagrams", "line errors" (as the
    // system reports them), "blocks not written" (to the capture file).
    std::map<std::string, std::uint64_t> losses;
    // Blocks that arrived but that the view fell too far behind to show.
    std::uint64_t notShownBlocks = 0;
    bool anyBlock = false;
    std::int64_t lastBlockWallUs = 0;
    std::int64_t lastBlockMonoNs = 0;
    std::int64_t sinceMonoNs = 0;  // live: when the counting began
};

// Bytes per second over time, for the rate plot: |values[i]| is the rate from
// startWallUs + i * bucketUs for one bucket.
struct RateSeries {
    std::int64_t startWallUs = 0;
    std::int64_t bucketUs = 1'000'000;
    std::vector<double> values;
};

class LiveModel : public QAbstractTableModel, public FeedReader {
    Q_OBJECT

public:
    enum Column { kTimeColumn, kSourceColumn, kLengthColumn, kHexColumn, kTextColumn, kColumns };
    // The row's source index, for filtering: -1 for what concerns the
    // capture as a whole, kNoSource for bytes whose source is not known.
    static constexpr int kSourceRole = Qt::UserRole + 1;
    static constexpr int kNoSource = -2;
    // Rows the live view keeps.
    static constexpr std::size_t kLiveRows = 5000;
    // Bytes of a live row at most; a burst goes on in a new row.
    static constexpr int kRowBytes = 1024;
    // A row ends after this long even in an endless burst, as the record's do.
    static constexpr std::int64_t kRowSpanNs = 1'000'000'000;
    // Bytes of a row the table shows; the rest in the row's detail.
    static constexpr int kPreviewBytes = 16;
    // The history of the rate: 100 ms steps over five minutes.
    static constexpr std::int64_t kStepNs = 100'000'000;
    static constexpr std::size_t kHistorySteps = 3000;

    // |mostRows| 0: no bound (an opened capture).
    explicit LiveModel(std::size_t mostRows = kLiveRows, QObject* parent = nullptr);
    ~LiveModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

    // Live. Whether blocks of one source closer than the burst gap share a
    // row; applies to the blocks that come next.
    void SetJoin(bool join) { m_join = join; }
    bool Join() const { return m_join; }
    void SetBurstGap(std::chrono::microseconds gap) { m_burstGapNs = gap.count() * 1000; }
    // The clock of the counters and of "not shown" rows; tests set their own.
    void SetClock(std::function<RecordStamp()> clock) { m_clock = std::move(clock); }
    // FeedReader: rows and counters are updated at once, the table at Commit.
    void Source(const FeedSource& source) override;
    void Block(const FeedBlock& block) override;
    void Event(const FeedEvent& event) override;
    void NotShown(std::uint64_t blocks, std::uint64_t bytes, std::uint64_t events) override;
    void Commit();
    // The counters and the rate history start over (a capture begins).
    void ResetCounters();
    // Rows and counters go; the sources stay known.
    void Clear();

    // An opened capture: all its rows, their bytes read from its file.
    void Load(std::unique_ptr<OpenedCapture> capture);
    const OpenedCapture* Opened() const { return m_opened.get(); }

    const LiveRow& Row(int row) const { return m_rows[static_cast<std::size_t>(row)]; }
    // The bytes of |row|, at most |most|: the kept bytes, or from the file.
    QByteArray Bytes(int row, std::size_t most) const;
    // Source labels, by index.
    const QStringList& Sources() const { return m_sources; }
    const LiveCounters& Counters() const { return m_counters; }
    // Bytes per second over the |seconds| before the current 100 ms step,
    // divided by that span or by the time counted, whichever is shorter.
    double RecentRate(std::int64_t nowMonoNs, int seconds) const;
    // Bytes per second, second by second, over the |seconds| before |now|.
    RateSeries LiveRates(const RecordStamp& now, int seconds) const;
    // An opened capture's bytes per second over its whole span, in at most
    // |buckets| buckets of whole seconds.
    RateSeries CaptureRates(int buckets) const;

    // "17:49:30.123456", local time; "2026-12-08 17:49:30.123456".
    static QString ClockText(std::int64_t wallUs);
    static QString DateTimeText(std::int64_t wallUs);
    // "52 45 43" and "REC" for the first |most| bytes of |bytes|.
    static QString HexText(const QByteArray& bytes, int most);
    static QString PrintableText(const QByteArray& bytes, int most);

signals:
    // A source was seen for the first time.
    void SourcesChanged();

private:
    int SourceIndex(const QString& label);
    void Count(const LiveRow& row);
    void AddToHistory(std::int64_t monoNs, std::uint64_t bytes);
    std::uint64_t HistoryBytes(std::int64_t fromStep, std::int64_t toStep) const;
    QByteArray Preview(int row) const;

    std::size_t m_mostRows;
    std::deque<LiveRow> m_rows;
    // Rows taken since the last Commit, and whether the last committed row
    // grew meanwhile.
    std::vector<LiveRow> m_staged;
    bool m_lastRowGrew = false;
    bool m_join = true;
    std::int64_t m_burstGapNs = 10'000'000;
    std::function<RecordStamp()> m_clock;

    QStringList m_sources;
    QHash<QString, int> m_sourceIndex;
    std::unordered_map<std::uint32_t, int> m_feedSources;  // feed id -> index
    std::unordered_set<int> m_seen;                        // sources counted

    LiveCounters m_counters;
    std::vector<std::uint64_t> m_history;  // bytes per step, by step % size
    std::int64_t m_newestStep = -1;

    std::unique_ptr<OpenedCapture> m_opened;
    mutable QCache<int, QByteArray> m_previews;
};

// The rows of one source (and the events of the capture as a whole), or all.
class LiveFilter : public QSortFilterProxyModel {
    Q_OBJECT

public:
    explicit LiveFilter(QObject* parent = nullptr) : QSortFilterProxyModel(parent) {}
    // -1: every source. A source's rows come with those of the capture as a
    // whole (its beginning and end, a UDP socket's losses, what was not
    // shown), but without bytes of no known source.
    void SetSource(int source);
    int SourceShown() const { return m_source; }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex& sourceParent) const override;

private:
    int m_source = -1;
};

}  // namespace tapscope::app
