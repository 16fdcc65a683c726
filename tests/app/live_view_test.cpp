// The live view: its feed (what a capture hands over without waiting, what a
// full ring drops and counts), the model behind the table (rows, joined
// bursts, the filter by source, the bound, the counters and rates), a
// capture opened afterwards, and the view beside a real TCP capture of the
// window on Qt's offscreen platform.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTest>
#include <atomic>
#include <boost/asio/write.hpp>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "app/capture_record_writer.h"
#include "app/ethernet_setting_dialog.h"
#include "app/live_feed.h"
#include "app/live_model.h"
#include "app/live_view.h"
#include "app/opened_capture.h"
#include "app/tapscope_dlg.h"
#include "tests/app/app_test_support.h"
#include "tests/app/process_until.h"
#include "tests/support/temp_dir.h"

namespace tapscope::testing {
namespace {

using app::FeedBlock;
using app::FeedEvent;
using app::FeedSource;
using app::LiveFeed;
using app::LiveModel;
using app::LiveRow;
using Block = AbstractProtocol::BlockView;

constexpr std::int64_t kMs = 1'000'000;  // in nanoseconds

BlockSource Tcp(std::uint64_t connection, unsigned short port) {
    BlockSource source;
    source.kind = BlockSource::Kind::kTcp;
    source.connection = connection;
    source.address = boost::asio::ip::make_address("127.0.0.1");
    source.port = port;
    return source;
}

TransportEvent Told(TransportEvent::Kind kind, const std::string& source, std::uint64_t connection,
                    const std::string& text, std::uint64_t count = 0,
                    const std::string& unit = "") {
    TransportEvent event;
    event.kind = kind;
    event.source = source;
    event.connection = connection;
    event.text = text;
    event.count = count;
    event.unit = unit;
    return event;
}

// What a Take handed over, in order, as text: "source 1 #1 127.0.0.1:40112",
// "block 1 3/3 abc", "event connected", "not shown 2 blocks 5 bytes 0 events".
class Recorder : public app::FeedReader {
public:
    void Source(const FeedSource& source) override {
        items.push_back("source " + std::to_string(source.id) + " " + source.label);
    }
    void Block(const FeedBlock& block) override {
        items.push_back("block " + std::to_string(block.source) + " " + std::to_string(block.kept) +
                        "/" + std::to_string(block.size) + " " +
                        std::string(block.bytes, std::min<std::size_t>(block.kept, 8)));
        blocks += 1;
        bytes += block.size;
    }
    void Event(const FeedEvent& event) override {
        items.push_back("event " + event.kind + (event.source.empty() ? "" : " " + event.source));
    }
    void NotShown(std::uint64_t notBlocks, std::uint64_t notBytes,
                  std::uint64_t notEvents) override {
        items.push_back("not shown " + std::to_string(notBlocks) + " blocks " +
                        std::to_string(notBytes) + " bytes " + std::to_string(notEvents) +
                        " events");
        blocks += notBlocks;
        bytes += notBytes;
    }

    std::vector<std::string> items;
    std::uint64_t blocks = 0;
    std::uint64_t bytes = 0;
};

TEST(LiveFeedTest, ClosedItTakesNothingButRemembersTheCapture) {
    LiveFeed feed;
    app::RecordStart start;
    start.transport = "tcp";
    start.localAddress = "127.0.0.1";
    start.localPort = 8001;
    start.capture = "/tmp/till.bin";
    start.burstGapUs = 20'000;
    feed.Begin(start);
    const BlockSource one = Tcp(1, 40112);
    const Block block{"abc", 3, &one};
    feed.Blocks(&block, 1);
    feed.Event(Told(TransportEvent::Kind::kClientConnected, "127.0.0.1:40112", 1,
                    "client 127.0.0.1:40112 connected"));
    feed.SetActive(true);
    Recorder taken;
    EXPECT_EQ(feed.Take(taken), 0u);
    EXPECT_TRUE(taken.items.empty());
    const auto capture = feed.CurrentCapture();
    ASSERT_TRUE(capture.has_value());
    EXPECT_EQ(capture->description, "tcp 127.0.0.1:8001 into /tmp/till.bin");
    EXPECT_EQ(capture->burstGapUs, 20'000u);
    EXPECT_TRUE(capture->running);
    feed.End("stopped", "", 3, 1);
    EXPECT_FALSE(feed.CurrentCapture()->running);
}

// Sources are declared before their first block; blocks and events come in
// the order they were pushed; a large block keeps its first bytes; a
// connection's event names the connection, a UDP socket's is the capture's.
TEST(LiveFeedTest, BlocksAndEventsComeInOrderWithTheirSources) {
    LiveFeed feed;
    feed.SetActive(true);
    app::RecordStart start;
    start.transport = "tcp";
    feed.Begin(start);
    const BlockSource one = Tcp(1, 40112);
    const BlockSource two = Tcp(2, 40113);
    const std::string large(1000, 'x');
    const Block first[] = {{"ab", 2, &one}, {"c", 1, &two}, {large.data(), 1000, &two}};
    feed.Blocks(first, 3);
    feed.Event(Told(TransportEvent::Kind::kClientClosed, "127.0.0.1:40113", 2, "closed"));
    feed.Event(Told(TransportEvent::Kind::kLoss, "0.0.0.0:9000", 0, "lost", 4, "datagrams"));
    const Block second{"d", 1, &one};
    feed.Blocks(&second, 1);
    feed.CaptureEvent("message", "read: Connection reset by peer", 0);
    feed.End("error", "read: Connection reset by peer", 1004, 4);

    Recorder taken;
    EXPECT_EQ(feed.Take(taken), 9u);
    const std::string kept = std::to_string(LiveFeed::kKeptBytes);
    EXPECT_EQ(taken.items, (std::vector<std::string>{
                               "source 1 #1 127.0.0.1:40112",
                               "source 2 #2 127.0.0.1:40113",
                               "event begin",
                               "block 1 2/2 ab",
                               "block 2 1/1 c",
                               "block 2 " + kept + "/1000 xxxxxxxx",
                               "event closed #2 127.0.0.1:40113",
                               "event loss",
                               "block 1 1/1 d",
                               "event message",
                               "event end",
                           }));
    Recorder again;
    EXPECT_EQ(feed.Take(again), 0u);
}

// A capture faster than the view: blocks beyond the ring's room are dropped
// and counted, never waited for, and a client's arrival still gets in.
TEST(LiveFeedTest, AFullRingDropsAndCountsBlocksButKeepsRoomForEvents) {
    LiveFeed feed;
    feed.SetActive(true);
    const BlockSource one = Tcp(1, 40112);
    const Block block{"ab", 2, &one};
    for (std::size_t i = 0; i < LiveFeed::kCapacity; ++i) {
        feed.Blocks(&block, 1);
    }
    feed.Event(Told(TransportEvent::Kind::kClientConnected, "127.0.0.1:40113", 2, "in"));
    Recorder taken;
    const std::size_t room = LiveFeed::kCapacity - LiveFeed::kEventReserve;
    EXPECT_EQ(feed.Take(taken), room + 1);
    ASSERT_GE(taken.items.size(), 3u);
    EXPECT_EQ(taken.items[taken.items.size() - 2], "event connected #2 127.0.0.1:40113");
    EXPECT_EQ(taken.items.back(), "not shown " + std::to_string(LiveFeed::kEventReserve) +
                                      " blocks " + std::to_string(2 * LiveFeed::kEventReserve) +
                                      " bytes 0 events");
    EXPECT_EQ(taken.blocks, LiveFeed::kCapacity);
    // The room is back once the view has taken what was there.
    feed.Blocks(&block, 1);
    Recorder next;
    EXPECT_EQ(feed.Take(next), 1u);
    EXPECT_EQ(next.items, std::vector<std::string>{"block 1 2/2 ab"});
}

// Opening the view again starts afresh: what waited is dropped, and a
// source seen before is declared again for the new view.
TEST(LiveFeedTest, ReopeningDropsWhatWaitedAndDeclaresSourcesAgain) {
    LiveFeed feed;
    feed.SetActive(true);
    const BlockSource one = Tcp(1, 40112);
    const Block block{"a", 1, &one};
    feed.Blocks(&block, 1);
    feed.CaptureEvent("note", "before", 0);
    feed.SetActive(false);
    feed.Blocks(&block, 1);
    feed.SetActive(true);
    feed.Blocks(&block, 1);
    Recorder taken;
    EXPECT_EQ(feed.Take(taken), 1u);
    EXPECT_EQ(taken.items,
              (std::vector<std::string>{"source 2 #1 127.0.0.1:40112", "block 2 1/1 a"}));
}

// Two threads deliver (as a transport may while it stops) and the view
// takes at the same time: every block is either shown or counted as not
// shown, and each source's bytes come in the order they were sent.
TEST(LiveFeedTest, TwoProducersAndTheViewAtOnceLoseNothingUncounted) {
    LiveFeed feed;
    feed.SetActive(true);
    constexpr int kBlocks = 20000;
    std::atomic<int> running{2};
    class Checker : public Recorder {
    public:
        void Block(const FeedBlock& block) override {
            blocks += 1;
            bytes += block.size;
            int value = 0;
            std::memcpy(&value, block.bytes, sizeof value);
            ordered = ordered && value > last[block.source];
            last[block.source] = value;
        }
        std::map<std::uint32_t, int> last;
        bool ordered = true;
    } taken;
    auto produce = [&](std::uint64_t connection) {
        const BlockSource source = Tcp(connection, 40000);
        for (int i = 1; i <= kBlocks; ++i) {
            const Block block{reinterpret_cast<const char*>(&i), sizeof i, &source};
            feed.Blocks(&block, 1);
            if (i % 1000 == 0) {
                feed.CaptureEvent("note", "a thousand", 0);
            }
        }
        running.fetch_sub(1);
    };
    std::thread first(produce, 1);
    std::thread second(produce, 2);
    while (running.load() > 0) {
        feed.Take(taken);
    }
    first.join();
    second.join();
    feed.Take(taken);
    EXPECT_EQ(taken.blocks, 2u * kBlocks);
    EXPECT_EQ(taken.bytes, 2u * kBlocks * sizeof(int));
    EXPECT_TRUE(taken.ordered);
}

// A model fed by hand, with a clock the test sets.
class LiveModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_model.SetClock([this] { return app::RecordStamp{m_wallNs, m_monoNs}; });
        m_model.ResetCounters();
        m_model.Source({1, "#1 127.0.0.1:40112"});
        m_model.Source({2, "#2 127.0.0.1:40113"});
        m_model.Source({3, "127.0.0.1:5000"});
    }

    // |bytes| from feed source |source| at |ms| milliseconds.
    void Add(std::uint32_t source, const std::string& bytes, std::int64_t ms,
             bool datagram = false) {
        FeedBlock block;
        block.wallNs = m_wallNs + ms * kMs;
        block.monoNs = m_monoNs + ms * kMs;
        block.source = source;
        block.size = bytes.size();
        block.bytes = bytes.data();
        block.kept = bytes.size();
        block.datagram = datagram;
        m_model.Block(block);
    }
    void AddEvent(const std::string& kind, const std::string& source, std::int64_t ms,
                  std::uint64_t count = 0, const std::string& unit = "") {
        FeedEvent event;
        event.kind = kind;
        event.text = kind + " text";
        event.source = source;
        event.count = count;
        event.unit = unit;
        event.wallNs = m_wallNs + ms * kMs;
        event.monoNs = m_monoNs + ms * kMs;
        m_model.Event(event);
    }
    // Each row as "source:bytes/blocks" or "event:kind", for comparing.
    std::vector<std::string> Rows(const QAbstractItemModel& model) {
        std::vector<std::string> rows;
        for (int row = 0; row < model.rowCount(); ++row) {
            const QString source = model.index(row, LiveModel::kSourceColumn).data().toString();
            const QString length = model.index(row, LiveModel::kLengthColumn).data().toString();
            const QString text = model.index(row, LiveModel::kTextColumn).data().toString();
            const QString hex = model.index(row, LiveModel::kHexColumn).data().toString();
            rows.push_back(length.isEmpty() ? (source + " " + hex).toStdString()
                                            : (source + " " + length + " " + text).toStdString());
        }
        return rows;
    }

    std::int64_t m_wallNs = 1'796'752'170'000'000'000;  // 2026-12-08T17:49:30Z
    std::int64_t m_monoNs = 5'000'000'000;
    LiveModel m_model;
};

// As the record joins them: bytes of one source closer than the burst gap;
// never across another source, a datagram, the row's byte bound or a second.
TEST_F(LiveModelTest, JoinsBurstsOfOneSourceAsTheRecordDoes) {
    m_model.SetBurstGap(std::chrono::milliseconds(10));
    Add(1, "ab", 0);
    Add(1, "c", 9);   // 9 ms after the last: the same row
    Add(1, "d", 19);  // exactly the gap after: a new row
    Add(2, "e", 20);  // another source
    Add(1, "f", 21);
    Add(3, "g", 22, true);  // datagrams stay apart
    Add(3, "h", 23, true);
    m_model.Commit();
    // A row grows in the table as more of its burst comes.
    Add(3, "i", 24);
    Add(3, "j", 25);
    m_model.Commit();
    EXPECT_EQ(Rows(m_model), (std::vector<std::string>{
                                 "#1 127.0.0.1:40112 3 abc",
                                 "#1 127.0.0.1:40112 1 d",
                                 "#2 127.0.0.1:40113 1 e",
                                 "#1 127.0.0.1:40112 1 f",
                                 "127.0.0.1:5000 1 g",
                                 "127.0.0.1:5000 1 h",
                                 "127.0.0.1:5000 2 ij",
                             }));
    EXPECT_EQ(m_model.Row(0).blocks, 2u);
    EXPECT_EQ(m_model.Bytes(0, 100), QByteArray("abc"));

    // A row holds kRowBytes at most, and spans a second at most.
    m_model.Clear();
    const std::string half(LiveModel::kRowBytes / 2, 'x');
    Add(1, half, 0);
    Add(1, half, 1);
    Add(1, "y", 2);
    for (int ms = 3; ms <= 1003; ms += 5) {
        Add(2, "z", ms);
    }
    m_model.Commit();
    ASSERT_EQ(m_model.rowCount(), 4);
    EXPECT_EQ(m_model.Row(0).length, static_cast<std::uint64_t>(LiveModel::kRowBytes));
    EXPECT_EQ(m_model.Row(1).length, 1u);
    EXPECT_EQ(m_model.Row(2).blocks + m_model.Row(3).blocks, 201u);
    EXPECT_EQ(m_model.Row(2).blocks, 200u);

    // Unjoined, each block is a row.
    m_model.Clear();
    m_model.SetJoin(false);
    Add(1, "a", 0);
    Add(1, "b", 1);
    m_model.Commit();
    EXPECT_EQ(m_model.rowCount(), 2);
}

// The table shows sixteen bytes of a row as hex and text; the rest is in
// the row's bytes.
TEST_F(LiveModelTest, ShowsSixteenBytesAsHexAndText) {
    Add(1, std::string("RECEIPT 0001\r\nTOTAL 12.50\r\n"), 0);
    m_model.Commit();
    EXPECT_EQ(m_model.index(0, LiveModel::kHexColumn).data().toString(),
              "52 45 43 45 49 50 54 20 30 30 30 31 0d 0a 54 4f ...");
    EXPECT_EQ(m_model.index(0, LiveModel::kTextColumn).data().toString(), "RECEIPT 0001..TO");
    EXPECT_EQ(m_model.index(0, LiveModel::kTimeColumn).data().toString(),
              LiveModel::ClockText(m_wallNs / 1000));
    EXPECT_EQ(m_model.Bytes(0, 1000).size(), 27);
}

// The oldest rows go beyond the bound, also when one poll brings more rows
// than the bound.
TEST_F(LiveModelTest, KeepsTheNewestRowsWithinItsBound) {
    LiveModel model(5);
    model.SetJoin(false);
    model.Source({1, "one"});
    auto add = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            const std::string byte(1, static_cast<char>('a' + i));
            FeedBlock block;
            block.source = 1;
            block.size = 1;
            block.bytes = byte.data();
            block.kept = 1;
            block.monoNs = i * kMs;
            model.Block(block);
        }
        model.Commit();
    };
    add(0, 3);
    add(3, 7);
    EXPECT_EQ(Rows(model),
              (std::vector<std::string>{"one 1 c", "one 1 d", "one 1 e", "one 1 f", "one 1 g"}));
    add(7, 20);
    EXPECT_EQ(Rows(model),
              (std::vector<std::string>{"one 1 p", "one 1 q", "one 1 r", "one 1 s", "one 1 t"}));
    // The counters count every block, shown or gone.
    EXPECT_EQ(model.Counters().blocks, 20u);
}

// One source's rows, with what concerns the capture as a whole, but not
// another source's rows nor bytes of no known source.
TEST_F(LiveModelTest, TheFilterShowsOneSourceWithTheCapturesOwnRows) {
    AddEvent("begin", "", 0);
    AddEvent("connected", "#1 127.0.0.1:40112", 1);
    Add(1, "a", 2);
    Add(2, "b", 3);
    Add(0, "?", 4);
    AddEvent("loss", "", 5, 3, "datagrams");
    m_model.NotShown(10, 20, 0);
    m_model.Commit();
    app::LiveFilter filter;
    filter.setSourceModel(&m_model);
    EXPECT_EQ(filter.rowCount(), 7);
    filter.SetSource(m_model.Sources().indexOf("#1 127.0.0.1:40112"));
    EXPECT_EQ(Rows(filter), (std::vector<std::string>{
                                " -- begin text",
                                "#1 127.0.0.1:40112 -- connected text",
                                "#1 127.0.0.1:40112 1 a",
                                " -- loss text",
                                " ... 10 blocks (20 bytes) not shown: the view fell behind",
                            }));
    filter.SetSource(-1);
    EXPECT_EQ(filter.rowCount(), 7);
}

// Counters count from when the model starts (the view opens) and start
// over when a capture begins; blocks not shown still count.
TEST_F(LiveModelTest, CountsBytesBlocksSourcesLossesAndTheLastBlock) {
    Add(1, "abc", 0);
    Add(2, "de", 100);
    AddEvent("loss", "", 200, 5, "datagrams");
    AddEvent("loss", "COM3", 300, 2, "line errors");
    AddEvent("write-failed", "", 400, 7);
    m_model.NotShown(4, 40, 1);
    m_model.Commit();
    const app::LiveCounters& counters = m_model.Counters();
    EXPECT_EQ(counters.bytes, 45u);
    EXPECT_EQ(counters.blocks, 6u);
    EXPECT_EQ(counters.sources, 3u);  // two clients and COM3
    EXPECT_EQ(counters.losses,
              (std::map<std::string, std::uint64_t>{
                  {"datagrams", 5}, {"line errors", 2}, {"blocks not written", 7}}));
    EXPECT_EQ(counters.notShownBlocks, 4u);
    // What was not shown counts as arrived when the view learnt of it.
    EXPECT_EQ(counters.lastBlockMonoNs, m_monoNs);

    AddEvent("begin", "", 500);
    EXPECT_EQ(m_model.Counters().bytes, 0u);
    EXPECT_EQ(m_model.Counters().sources, 0u);
    EXPECT_TRUE(m_model.Counters().losses.empty());
    Add(2, "f", 600);
    EXPECT_EQ(m_model.Counters().lastBlockMonoNs, m_monoNs + 600 * kMs);
    EXPECT_EQ(m_model.Counters().sources, 1u);
}

// The rate counter averages the last seconds (or the time counted, when
// shorter); the plot has a bar per second of the last minutes.
TEST_F(LiveModelTest, RatesOverTheLastSecondsAndMinutes) {
    // 1000 bytes in each of ten seconds, then quiet.
    for (int second = 0; second < 10; ++second) {
        Add(1, std::string(1000, 'x'), second * 1000 + 500);
    }
    m_model.Commit();
    const std::int64_t at10s = m_monoNs + 10'000 * kMs;
    EXPECT_DOUBLE_EQ(m_model.RecentRate(at10s, 5), 1000.0);
    // Three seconds counted so far: 3000 bytes over three seconds, not five.
    EXPECT_DOUBLE_EQ(m_model.RecentRate(m_monoNs + 3'000 * kMs, 5), 1000.0);
    // Two quiet seconds later the last five hold 3000 bytes.
    EXPECT_DOUBLE_EQ(m_model.RecentRate(at10s + 2'000 * kMs, 5), 600.0);

    const app::RateSeries series =
        m_model.LiveRates({m_wallNs + 12'000 * kMs, m_monoNs + 12'000 * kMs}, 60);
    ASSERT_EQ(series.values.size(), 60u);
    EXPECT_EQ(series.bucketUs, 1'000'000);
    EXPECT_EQ(series.startWallUs, (m_wallNs - 48'000 * kMs) / 1000);
    // Seconds 0 to 9 of the capture are the 48th to the 57th bars.
    for (std::size_t i = 0; i < 60; ++i) {
        SCOPED_TRACE(i);
        EXPECT_DOUBLE_EQ(series.values[i], i >= 48 && i < 58 ? 1000.0 : 0.0);
    }
    // Older than the history reaches: gone.
    const app::RateSeries later = m_model.LiveRates(
        {m_wallNs + 400'000 * kMs, m_monoNs + 400'000 * kMs}, CLiveView::kPlotSeconds);
    for (const double value : later.values) {
        EXPECT_EQ(value, 0.0);
    }
}

// A capture written by the record writer, read back for the view.
class OpenedCaptureTest : public ::testing::Test {
protected:
    void Write(const std::string& bytes) {
        std::ofstream out(m_capture, std::ios::binary | std::ios::app);
        out << bytes;
    }

    TempDir m_dir;
    const std::string m_capture = m_dir.File("till.bin");
};

TEST_F(OpenedCaptureTest, ShowsTheRecordsRowsAndEventsWithTheFilesBytes) {
    app::RecordStart start;
    start.transport = "tcp";
    start.burstGapUs = 10'000;
    app::CaptureRecordWriter writer(app::RecordPathFor(m_capture), start);
    auto at = [](std::int64_t ms) {
        return app::RecordStamp{1'796'752'170'000'000'000 + ms * kMs, 5'000'000'000 + ms * kMs};
    };
    ASSERT_TRUE(writer.Open(at(0)));
    const BlockSource one = Tcp(1, 40112);
    const BlockSource two = Tcp(2, 40113);
    writer.Event(Told(TransportEvent::Kind::kClientConnected, "127.0.0.1:40112", 1, "one in"),
                 at(1));
    const std::string receipt = "RECEIPT 0001\r\nTOTAL 12.50\r\n";
    for (std::size_t i = 0; i < receipt.size(); ++i) {
        writer.Block(&one, &receipt[i], 1, at(2));
    }
    Write(receipt);
    writer.Block(&two, "\x1b@", 2, at(50));
    Write("\x1b@");
    writer.Event(Told(TransportEvent::Kind::kLoss, "", 0, "dropped", 3, "datagrams"), at(60));
    app::RecordEnd end;
    end.reason = "stopped";
    end.lost = 3;
    writer.End(end, at(100));
    ASSERT_TRUE(writer.Failure().empty()) << writer.Failure();
    // Bytes after the record's end: of unknown time.
    Write("late");

    std::string error;
    auto opened = app::OpenedCapture::Open(m_capture, error);
    ASSERT_NE(opened, nullptr) << error;
    LiveModel model(0);
    model.Load(std::move(opened));
    ASSERT_EQ(model.rowCount(), 5);
    EXPECT_EQ(model.Row(0).kind, LiveRow::Kind::kEvent);
    EXPECT_EQ(model.index(0, LiveModel::kHexColumn).data().toString(), "-- one in");
    EXPECT_EQ(model.index(1, LiveModel::kSourceColumn).data().toString(), "#1 127.0.0.1:40112");
    EXPECT_EQ(model.index(1, LiveModel::kTextColumn).data().toString(), "RECEIPT 0001..TO");
    EXPECT_EQ(model.Bytes(1, 1000), QByteArray::fromStdString(receipt));
    EXPECT_EQ(model.Row(1).blocks, receipt.size());
    EXPECT_EQ(model.Bytes(2, 1000), QByteArray("\x1b@"));
    EXPECT_EQ(model.index(2, LiveModel::kSourceColumn).data().toString(), "#2 127.0.0.1:40113");
    EXPECT_EQ(model.Row(3).event, "loss");
    EXPECT_FALSE(model.Row(4).timeKnown);
    EXPECT_EQ(model.Bytes(4, 1000), QByteArray("late"));
    EXPECT_EQ(model.index(4, LiveModel::kTimeColumn).data().toString(), "time unknown");
    EXPECT_EQ(model.Sources(), (QStringList{"#1 127.0.0.1:40112", "#2 127.0.0.1:40113"}));

    const app::LiveCounters& counters = model.Counters();
    EXPECT_EQ(counters.bytes, receipt.size() + 2 + 4);
    EXPECT_EQ(counters.sources, 2u);
    EXPECT_EQ(counters.losses.at("datagrams"), 3u);
    EXPECT_EQ(counters.lastBlockWallUs, at(50).wallNs / 1000);
    const app::RateSeries rates = model.CaptureRates(300);
    ASSERT_EQ(rates.values.size(), 1u);
    EXPECT_DOUBLE_EQ(rates.values[0], static_cast<double>(receipt.size() + 2));

    const auto& notes = model.Opened()->Notes();
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0], "ended: stopped, 29 bytes in 28 blocks");
    EXPECT_EQ(notes[1], "4 bytes past the record's last row, of unknown time");
}

TEST_F(OpenedCaptureTest, WithoutARecordTheFileIsOneBlockOfUnknownTime) {
    Write("abc");
    std::string error;
    auto opened = app::OpenedCapture::Open(m_capture, error);
    ASSERT_NE(opened, nullptr) << error;
    EXPECT_EQ(opened->Notes(),
              std::vector<std::string>{"no record (" + m_capture +
                                       ".jsonl): the bytes are one block of unknown time"});
    LiveModel model(0);
    model.Load(std::move(opened));
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.Bytes(0, 10), QByteArray("abc"));

    // A folder, or nothing at all, cannot be opened.
    EXPECT_EQ(app::OpenedCapture::Open(m_dir.Path(), error), nullptr);
    EXPECT_EQ(error, m_dir.Path() + " is not a regular file");
    EXPECT_EQ(app::OpenedCapture::Open(m_dir.File("missing.bin"), error), nullptr);
    EXPECT_NE(error.find("missing.bin"), std::string::npos);
}

// Two TCP clients of a capture through the main window, the live view open
// from its context menu: both are shown, one can be picked out, the counters
// follow, and the finished capture opens in a view of its own.
TEST(LiveViewTest, ShowsTheClientsOfAWindowCaptureAndOpensItAfterwards) {
    TempDir dir;
    const std::string capture = dir.File("till.bin");
    CtapScopeDlg window(nullptr, capture);
    window.KeepListeningAction()->setChecked(true);
    window.show();
    window.actions()[1]->trigger();
    CLiveView* live = window.LiveView();
    ASSERT_NE(live, nullptr);
    EXPECT_TRUE(live->isVisible());

    const unsigned short port = FreeTcpPort();
    window.Tab()->setCurrentIndex(2);
    dynamic_cast<EthernetSettingDialog*>(window.SettingsPageWidget())
        ->PortBox()
        ->setText(QString::number(port));
    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    ASSERT_TRUE(ProcessUntil([&] { return window.StartButton()->text() == "Stop..."; }));
    {
        boost::asio::io_context io;
        boost::asio::ip::tcp::socket till(io);
        boost::asio::ip::tcp::socket printer(io);
        till.connect({boost::asio::ip::make_address("127.0.0.1"), port});
        boost::asio::write(till, boost::asio::buffer(std::string("RECEIPT 0001\r\n")));
        ASSERT_TRUE(ProcessUntil([&] { return live->Model().Counters().bytes == 14; }));
        printer.connect({boost::asio::ip::make_address("127.0.0.1"), port});
        boost::asio::write(printer, boost::asio::buffer(std::string("\x1b@PRINT\r\n")));
        ASSERT_TRUE(ProcessUntil([&] { return live->Model().Counters().bytes == 23; }));
    }
    ASSERT_TRUE(ProcessUntil([&] { return live->Model().Counters().sources == 2; }));
    EXPECT_EQ(live->CounterText("Bytes"), "23");
    EXPECT_EQ(live->CounterText("Blocks"), "23");
    EXPECT_EQ(live->CounterText("Sources"), "2");
    EXPECT_EQ(live->CounterText("Losses"), "none");
    ASSERT_EQ(live->SourceBox()->count(), 3);
    const QString printer = live->SourceBox()->itemText(2);
    EXPECT_TRUE(printer.startsWith("#2 127.0.0.1:")) << printer.toStdString();

    // The printer's rows alone: its arrival, its bytes, and the capture's own
    // beginning.
    live->SourceBox()->setCurrentIndex(2);
    std::vector<QString> shown;
    QByteArray printed;
    for (int row = 0; row < live->Filter().rowCount(); ++row) {
        const QModelIndex index = live->Filter().mapToSource(live->Filter().index(row, 0));
        shown.push_back(live->Model().data(live->Model().index(index.row(), 1)).toString());
        printed += live->Model().Bytes(index.row(), 100);
    }
    EXPECT_EQ(printed, QByteArray("\x1b@PRINT\r\n"));
    for (const QString& source : shown) {
        EXPECT_TRUE(source.isEmpty() || source == printer) << source.toStdString();
    }
    // Selecting a row shows all its bytes below.
    live->Table()->setCurrentIndex(live->Filter().index(live->Filter().rowCount() - 1, 0));
    EXPECT_NE(live->Detail()->toPlainText().indexOf("PRINT"), -1)
        << live->Detail()->toPlainText().toStdString();

    QTest::mouseClick(window.StartButton(), Qt::LeftButton);
    ASSERT_TRUE(ProcessUntil([&] { return window.StartButton()->text() == "Start..."; }));
    ASSERT_TRUE(ProcessUntil([&] {
        const int last = live->Model().rowCount() - 1;
        return last >= 0 && live->Model().Row(last).event == "end";
    }));
    EXPECT_EQ(live->Model().Row(live->Model().rowCount() - 1).text.toStdString(),
              "capture ended (stopped), 23 bytes in 23 blocks");

    CLiveView* opened = live->OpenCapture(QString::fromStdString(app::RecordPathFor(capture)));
    ASSERT_NE(opened, nullptr);
    EXPECT_FALSE(opened->IsLive());
    EXPECT_EQ(opened->Model().Counters().bytes, 23u);
    EXPECT_EQ(opened->SourceBox()->count(), 3);
    QByteArray all;
    for (int row = 0; row < opened->Model().rowCount(); ++row) {
        all += opened->Model().Bytes(row, 100);
    }
    EXPECT_EQ(all, QByteArray("RECEIPT 0001\r\n\x1b@PRINT\r\n"));
    opened->close();
    live->close();
    EXPECT_TRUE(ProcessUntil([&] { return window.LiveView() == nullptr; }));
}

}  // namespace
}  // namespace tapscope::testing
