// What the capture record costs the capture path. The capture controller
// (the window's capture, without its widgets) captures what one sender sends
// over loopback, with the record off and on, in alternating rounds of the same
// run, the sender pinned to core 0 and the capture to core 1:
//   UDP: 64-byte datagrams, a window of them in flight so that none is lost
//        (each datagram is a row of its own);
//   TCP: one connection sending in 4 KiB writes, read one byte at a time as
//        the window does (bursts of reads become rows).
// Each round checks the capture file's size; the table shows blocks per
// second (median of the rounds) with the record off and on, and their ratio.
// Last, the size of the record of a 1 MiB TCP capture sent in 4 KiB writes
// beside the capture's.
//
//   build/bench/record_bench [datagrams] [tcp-bytes] [rounds]
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/capture_controller.h"
#include "app/capture_record.h"
#include "app/settings_dialog.h"
#include "log/debug.h"

namespace {

using Clock = std::chrono::steady_clock;
using tapscope::app::CaptureController;

constexpr std::size_t kDatagramSize = 64;
constexpr std::uint64_t kWindow = 1000;
constexpr std::size_t kTcpWriteSize = 4096;

// A fresh port for every round, so that no round meets the last one's.
unsigned short NextPort() {
    static unsigned short next = static_cast<unsigned short>(40000 + getpid() % 10000);
    return ++next;
}

void PinTo(int core) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(core, &set);
    pthread_setaffinity_np(pthread_self(), sizeof(set), &set);
}

class BenchView : public tapscope::app::ICaptureView {
public:
    explicit BenchView(int tab) : m_tab(tab) {}
    std::string ReadFileName() override { return m_file; }
    int SelectedTab() override { return m_tab; }
    void SetCaption(const std::string&) override {}
    void EnableControls(bool) override {}
    void StepProgress() override { m_position.fetch_add(10, std::memory_order_relaxed); }
    int ProgressPosition() override { return m_position.load(std::memory_order_relaxed); }
    void SetProgressPosition(int position) override {
        m_position.store(position, std::memory_order_relaxed);
    }
    tapscope::app::MessageAnswer ShowMessage(
        const tapscope::app::MessageBoxRequest& request) override {
        std::fprintf(stderr, "message: %s %s\n", request.text.c_str(), request.detail.c_str());
        return tapscope::app::MessageAnswer::kYes;
    }
    std::string WindowTitle() override { return "bench"; }

    std::string m_file;

private:
    const int m_tab;
    std::atomic<int> m_position{0};
};

class Page : public ISettingsDialog {
public:
    explicit Page(std::string document) : m_document(std::move(document)) {}
    std::string GetSettings() override { return m_document; }

private:
    std::string m_document;
};

struct Round {
    double blocksPerSecond = 0;
    bool whole = false;
    std::uintmax_t recordBytes = 0;
};

// One capture of what |send| sends, until |blocks| blocks are written.
template <typename Send>
Round Capture(int tab, unsigned short port, bool record, const std::string& file,
              std::uint64_t blocks, std::uint64_t bytes, Send send) {
    BenchView view(tab);
    view.m_file = file;
    std::filesystem::remove(file);
    std::filesystem::remove(tapscope::app::RecordPathFor(file));
    CaptureController controller(view, file);
    controller.SetRecord(record);
    controller.SetSettingsPage(std::make_shared<Page>("<settings ip=\"127.0.0.1\" port=\"" +
                                                      std::to_string(port) + "\" />"));
    controller.OnStartStop();
    Round round;
    if (!controller.TransportStarted()) {
        controller.OnClose();
        return round;
    }
    const Clock::time_point start = Clock::now();
    std::thread sender([&] {
        PinTo(0);
        send(controller);
    });
    while (controller.BlocksWritten() < blocks && Clock::now() - start < std::chrono::seconds(60)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sender.join();
    // A TCP capture may have ended already, when its client closed.
    if (controller.HoldsProtocol()) {
        controller.OnStartStop();
    }
    controller.OnClose();
    round.blocksPerSecond = static_cast<double>(controller.BlocksWritten()) / seconds;
    std::error_code error;
    round.whole = std::filesystem::file_size(file, error) == bytes;
    round.recordBytes = std::filesystem::file_size(tapscope::app::RecordPathFor(file), error);
    if (error) {
        round.recordBytes = 0;
    }
    return round;
}

Round UdpRound(bool record, const std::string& file, std::uint64_t datagrams) {
    const unsigned short port = NextPort();
    return Capture(tapscope::app::kTabUdp, port, record, file, datagrams, datagrams * kDatagramSize,
                   [&](CaptureController& controller) {
                       boost::asio::io_context io;
                       boost::asio::ip::udp::socket socket(io, boost::asio::ip::udp::v4());
                       const boost::asio::ip::udp::endpoint to(
                           boost::asio::ip::make_address("127.0.0.1"), port);
                       const std::string payload(kDatagramSize, 'u');
                       for (std::uint64_t sent = 0; sent < datagrams; ++sent) {
                           while (sent - controller.BlocksWritten() >= kWindow) {
                               std::this_thread::yield();
                           }
                           socket.send_to(boost::asio::buffer(payload), to);
                       }
                   });
}

Round TcpRound(bool record, const std::string& file, std::uint64_t bytes) {
    const unsigned short port = NextPort();
    return Capture(
        tapscope::app::kTabTcp, port, record, file, bytes, bytes, [&](CaptureController&) {
            boost::asio::io_context io;
            boost::asio::ip::tcp::socket socket(io);
            socket.connect({boost::asio::ip::make_address("127.0.0.1"), port});
            const std::string chunk(kTcpWriteSize, 't');
            for (std::uint64_t sent = 0; sent < bytes; sent += kTcpWriteSize) {
                boost::asio::write(
                    socket, boost::asio::buffer(chunk.data(), std::min<std::uint64_t>(
                                                                  kTcpWriteSize, bytes - sent)));
            }
            // Open until the capture has it all: a close would end it.
            std::error_code missing;
            while (std::filesystem::file_size(file, missing) < bytes || missing) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::uint64_t datagrams = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
    const std::uint64_t tcpBytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 200000;
    const int rounds = std::max(1, argc > 3 ? std::atoi(argv[3]) : 5);
    ZelLog::CDebug::Instance("", ZelLog::kRegistryPath);
    // The capture's threads (made after this) run on core 1.
    PinTo(1);
    const std::string folder =
        std::filesystem::temp_directory_path() / ("record_bench." + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string file = folder + "/capture.bin";

    std::printf("%-44s %14s %14s %8s\n", "capture path (median of rounds)", "record off/s",
                "record on/s", "on/off");
    auto row = [&](const char* name, auto round) {
        std::vector<double> off;
        std::vector<double> on;
        bool whole = true;
        for (int i = 0; i < rounds; ++i) {
            for (const bool record : {false, true}) {
                const Round result = round(record);
                whole = whole && result.whole;
                (record ? on : off).push_back(result.blocksPerSecond);
            }
        }
        std::printf("%-44s %14.0f %14.0f %7.2fx%s\n", name, Median(off), Median(on),
                    Median(on) / Median(off), whole ? "" : "  (a file was incomplete)");
    };
    row("UDP 64-byte datagrams, blocks",
        [&](bool record) { return UdpRound(record, file, datagrams); });
    row("TCP 1-byte reads (4 KiB writes), blocks",
        [&](bool record) { return TcpRound(record, file, tcpBytes); });

    constexpr std::uint64_t kMiB = 1024 * 1024;
    const Round sized = TcpRound(true, file, kMiB);
    std::printf(
        "\nrecord of a 1 MiB TCP capture sent in 4 KiB writes: %ju bytes, %.2f%% of "
        "the capture%s\n",
        sized.recordBytes, 100.0 * static_cast<double>(sized.recordBytes) / kMiB,
        sized.whole ? "" : " (the capture was incomplete)");
    std::filesystem::remove_all(folder);
    return 0;
}
