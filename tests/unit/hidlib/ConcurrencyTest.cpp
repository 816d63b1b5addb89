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
