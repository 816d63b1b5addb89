// The core under concurrent backends: producer threads attach devices, stream reports and remove them, while
// the program's thread takes the posted notifications one by one and calls the operations as the program
// does. Run under ThreadSanitizer in the host-tsan build.
#include "RecordingPoster.h"
#include "hidlib/Core.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace {

constexpr int kProducers = 3;
constexpr int kReports = 400;

TEST(ConcurrencyTest, ProducersAndTheProgramThreadShareTheCore) {
    RecordingPoster poster;
    hidlib::Core core(poster);
    ASSERT_TRUE(core.connect(77));

    std::array<std::atomic<std::int32_t>, kProducers> handles{};
    std::array<std::atomic<bool>, kProducers> listening{};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            const std::int32_t h = core.attach(0x1000, static_cast<std::uint16_t>(p));
            handles[p] = h;
            while (!listening[p]) {
                std::this_thread::yield();
            }
            for (int seq = 0; seq < kReports; ++seq) {
                const std::uint8_t report[] = {0, static_cast<std::uint8_t>(p),
                                               static_cast<std::uint8_t>(seq >> 8),
                                               static_cast<std::uint8_t>(seq)};
                core.report(h, report);
                if (seq % 50 == 0) {
                    core.change();
                }
            }
            // Let the program drain the queue, then unplug.
            while (core.queued(h) != 0) {
                std::this_thread::yield();
            }
            core.remove(h);
        });
    }

    // The program's thread.
    std::map<std::int32_t, int> lastSeq; // per handle, the sequence number read last
    std::map<std::int32_t, int> owner;   // handle -> producer
    int removals = 0;
    while (removals < kProducers) {
        const Posted msg = poster.next();
        ASSERT_EQ(msg.hwnd, 77);
        ASSERT_EQ(msg.msg, 0x80C8u);
        const auto h = static_cast<std::int32_t>(msg.lParam);
        switch (msg.wParam) {
        case 1: {
            ASSERT_FALSE(owner.contains(h)) << "attach announced twice for " << h;
            const int p = core.getProductId(h);
            ASSERT_EQ(core.getVendorId(h), 0x1000);
            ASSERT_EQ(core.getHandle(0x1000, p), h);
            ASSERT_TRUE(core.setReadNotify(h, true));
            owner[h] = p;
            lastSeq[h] = -1;
            listening[p] = true;
            break;
        }
        case 2:
            ASSERT_TRUE(owner.contains(h)) << "removal before attach for " << h;
            ++removals;
            break;
        case 3:
            core.getHandle(0x1000, 0);
            break;
        case 4: {
            ASSERT_TRUE(owner.contains(h)) << "report before attach for " << h;
            std::array<std::uint8_t, 17> buffer{};
            if (core.read(h, buffer.data()) == 4) {
                ASSERT_EQ(buffer[1], owner[h]) << "report of another device";
                const int seq = buffer[2] << 8 | buffer[3];
                ASSERT_GT(seq, lastSeq[h]) << "reports out of order";
                lastSeq[h] = seq;
            }
            break;
        }
        default:
            FAIL() << "unexpected wParam " << msg.wParam;
        }
    }
    for (auto& producer : producers) {
        producer.join();
    }
    ASSERT_EQ(lastSeq.size(), static_cast<std::size_t>(kProducers));
    for (const auto& [h, seq] : lastSeq) {
        EXPECT_EQ(seq, kReports - 1) << "the last report of handle " << h << " was not read";
    }
    EXPECT_TRUE(core.attached().empty());
}

} // namespace

// The device manager with readers on threads of their own, as on Windows: the priming report comes from the
// reader's thread while the manager's thread waits for it; reports stream in while the program's thread reads
// them; a failed reader is reaped and a new one started by the manager. The same for a device read from its
// pipe (WinUSB): packets become reports on the readers' threads, and the pipe is reset between two readers.
#include "hidlib/DeviceSet.h"
#include "hidlib/HidPort.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

constexpr int kStreamed = 300;

class ThreadedPort final : public hidlib::HidPort {
  public:
    // packets: a device read from its pipe, whose packets come two by two identical (0, 0, 1, 1, ...).
    explicit ThreadedPort(bool packets = false) : packets_(packets) {}
    // Reports the program has read so far: a reader keeps at most 32 ahead of it.
    std::atomic<int> consumed{0};
    std::atomic<int> delivered{0};
    std::atomic<bool> failedOnce{false}; // set by a reader that ended with a failure

    std::vector<std::string> presentPaths() override { return {"rx"}; }
    std::optional<hidlib::DeviceFacts> identify(const std::string&) override {
        return hidlib::DeviceFacts{0x045E, 0x0284, packets_ ? 8U : 7U, packets_};
    }
    hidlib::FileId openForReading(const std::string&) override { return ++files_; }
    void close(hidlib::FileId) override {}
    std::optional<std::uint32_t> pollInterval(hidlib::FileId) override {
        return packets_ ? std::nullopt : std::optional<std::uint32_t>(interval_.load());
    }
    bool resetPipe(hidlib::FileId) override {
        ++resets_;
        return packets_;
    }
    bool setPollInterval(hidlib::FileId, std::uint32_t ms) override {
        interval_ = ms;
        return true;
    }
    hidlib::WatchId watchRemoval(hidlib::FileId) override { return 0; }
    void unwatchRemoval(hidlib::WatchId) override {}
    void retryAfter(hidlib::ReaderId, std::chrono::milliseconds) override { retries_++; }
    void cancelRetry(hidlib::ReaderId) override {}
    void note(const std::string&) override {}

    // The first reader streams half the reports and fails; the next streams the rest and waits to be stopped.
    bool startReader(hidlib::ReaderId, hidlib::FileId, std::uint32_t, hidlib::ReportSink& sink) override {
        stop_ = false;
        const bool first = readers_++ == 0;
        thread_ = std::thread([this, &sink, first] {
            if (!packets_) {
                sink.deliver(latest_); // the first poll: the device's latest packet
            }
            const int last = first ? kStreamed / 2 : kStreamed;
            for (int seq = delivered.load(); seq < last && !stop_; ++seq) {
                while (seq - consumed.load() > 32 && !stop_) {
                    std::this_thread::yield();
                }
                const int value = packets_ ? seq / 2 : seq;
                latest_ = {
                    0,    1, static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value), 0,
                    0x41, 0};
                if (packets_) {
                    // The packet without the report ID: the manager puts it in front.
                    sink.deliver(std::span<const std::uint8_t>(latest_.data() + 1, 6));
                } else {
                    sink.deliver(latest_);
                }
                delivered = seq + 1;
            }
            if (first) {
                failedOnce = true;
            }
        });
        return true;
    }
    void stopReader(hidlib::ReaderId) override {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int retries() const { return retries_; }
    int resets() const { return resets_; }

  private:
    bool packets_;
    std::thread thread_;
    std::array<std::uint8_t, 7> latest_{}; // written by the running reader only; readers never overlap
    std::atomic<bool> stop_{false};
    std::atomic<std::uint32_t> interval_{200};
    hidlib::FileId files_ = 0;
    int readers_ = 0;
    int retries_ = 0;
    int resets_ = 0;
};

// Streams the port's reports to the program's thread, playing the library thread's part on a failure. Gives
// up after 20 s (reports went missing): what it read by then.
std::vector<int> readAll(hidlib::Core& core, hidlib::DeviceSet& set, ThreadedPort& port, std::int32_t h) {
    std::vector<int> seen;
    std::array<std::uint8_t, 17> buffer{};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (static_cast<int>(seen.size()) < kStreamed && std::chrono::steady_clock::now() < deadline) {
        if (port.failedOnce.exchange(false)) {
            // What the library thread does on the reader's failure message, then on the back-off's timer.
            const hidlib::ReaderId id = set.readerOf(h);
            set.readFailed(id);
            set.retry(id);
        }
        if (core.read(h, buffer.data()) != 0) {
            seen.push_back(buffer[2] << 8 | buffer[3]);
            port.consumed = static_cast<int>(seen.size());
        } else {
            std::this_thread::yield();
        }
    }
    return seen;
}

// The manager over a threaded port, the receiver announced and read.
struct ThreadedManager {
    RecordingPoster poster;
    hidlib::Core core{poster};
    ThreadedPort port;
    hidlib::DeviceSet set{core, port};
    std::int32_t h = 0;

    explicit ThreadedManager(bool packets) : port(packets) {
        core.connect(77);
        set.rescan();
        h = core.getHandle(0x045E, 0x0284);
        core.setReadNotify(h, true);
        set.readingChanged(h, true);
    }
    // Every report the program reads, then reading switched off.
    std::vector<int> readToTheEnd() {
        std::vector<int> seen = readAll(core, set, port, h);
        set.readingChanged(h, false);
        return seen;
    }
};

TEST(ConcurrencyTest, ReadersOnTheirOwnThreadsFeedTheManagersDevice) {
    ThreadedManager m(false);
    ASSERT_NE(m.h, 0);
    EXPECT_EQ(m.core.counters(m.h).primed, 1u) << "the reader's first report was waited for";
    const std::vector<int> seen = m.readToTheEnd();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kStreamed));
    EXPECT_EQ(m.port.retries(), 1);
    // Every report once, in order: the reopened reader's first report repeats the last one and is dropped.
    for (int i = 0; i < kStreamed; ++i) {
        ASSERT_EQ(seen[static_cast<std::size_t>(i)], i);
    }
}

TEST(ConcurrencyTest, PipeReadersOnTheirOwnThreadsGiveEveryPacketAcrossAPipeReset) {
    ThreadedManager m(true);
    ASSERT_NE(m.h, 0);
    const std::vector<int> seen = m.readToTheEnd();
    ASSERT_EQ(seen.size(), static_cast<std::size_t>(kStreamed)) << "packets went missing";
    EXPECT_EQ(m.port.retries(), 1);
    EXPECT_EQ(m.port.resets(), 1) << "the second reader read on after a pipe reset";
    // Every packet one report, in order, the identical pairs included.
    for (int i = 0; i < kStreamed; ++i) {
        ASSERT_EQ(seen[static_cast<std::size_t>(i)], i / 2) << i;
    }
}

} // namespace
