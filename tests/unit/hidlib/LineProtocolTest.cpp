// The virtual backend's line protocol: parsing, line splitting, and the session applying lines to the core.
#include "RecordingPoster.h"
#include "hidlib/LineProtocol.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

using hidlib::wire::Command;
using hidlib::wire::parseLine;

namespace {

TEST(LineProtocolTest, ParsesWellFormedLines) {
    struct Row {
        std::string line;
        Command::Kind kind;
        std::uint32_t device;
        std::uint16_t vid, pid;
        std::vector<std::uint8_t> bytes;
    };
    const Row rows[] = {
        {"attach 1 045E 0284", Command::Kind::Attach, 1, 0x045E, 0x0284, {}},
        {"attach 999999 0x45e 0X284", Command::Kind::Attach, 999999, 0x045E, 0x0284, {}},
        {"  attach\t2 ffff 0  ", Command::Kind::Attach, 2, 0xFFFF, 0, {}},
        {"remove 7", Command::Kind::Remove, 7, 0, 0, {}},
        {"change", Command::Kind::Change, 0, 0, 0, {}},
        {"report 1 00 00 00 A7 00 41 00", Command::Kind::Report, 1, 0, 0, {0, 0, 0, 0xA7, 0, 0x41, 0}},
        {"report 3 0 f 0a0B", Command::Kind::Report, 3, 0, 0, {0, 0x0F, 0x0A, 0x0B}},
    };
    for (const Row& row : rows) {
        const auto parsed = parseLine(row.line);
        ASSERT_TRUE(parsed.command.has_value()) << row.line << ": " << parsed.error;
        EXPECT_EQ(parsed.command->kind, row.kind) << row.line;
        EXPECT_EQ(parsed.command->device, row.device) << row.line;
        EXPECT_EQ(parsed.command->vendorId, row.vid) << row.line;
        EXPECT_EQ(parsed.command->productId, row.pid) << row.line;
        EXPECT_EQ(parsed.command->bytes, row.bytes) << row.line;
    }
}

TEST(LineProtocolTest, RejectsMalformedLinesAndIgnoresBlankAndComments) {
    std::string report257 = "report 1";
    for (int i = 0; i < 257; ++i) {
        report257 += " 1";
    }
    const char* bad[] = {
        "attach",
        "attach 1 045E",
        "attach 0 045E 0284",
        "attach 1000000 1 1",
        "attach -1 1 1",
        "attach 1 10000 1",
        "attach 1 045G 0284",
        "attach 1 0x 1",
        "remove",
        "remove x",
        "change now",
        "report 1",
        "report 1 123",
        "report 1 zz",
        "report 0 00",
        "Report 1 00",
        "press 1 2",
        "attach 1 045E 0284 9",
    };
    for (const char* line : bad) {
        const auto parsed = parseLine(line);
        EXPECT_FALSE(parsed.command.has_value()) << line;
        EXPECT_FALSE(parsed.error.empty()) << line;
    }
    const auto huge = parseLine(report257);
    EXPECT_FALSE(huge.command.has_value());
    EXPECT_EQ(huge.error, "report too long");
    for (const char* line : {"", "   ", "\t", "# attach 1 1 1", "#"}) {
        const auto parsed = parseLine(line);
        EXPECT_FALSE(parsed.command.has_value()) << '"' << line << '"';
        EXPECT_TRUE(parsed.error.empty()) << '"' << line << '"';
    }
}

TEST(LineProtocolTest, FormattedLinesParseBack) {
    const std::array<std::uint8_t, 7> report{0, 0x10, 0xFF, 0xA7, 0, 0x41, 9};
    const auto attach = parseLine(hidlib::wire::formatAttach(12, 0x045E, 0x0284));
    ASSERT_TRUE(attach.command);
    EXPECT_EQ(attach.command->device, 12u);
    EXPECT_EQ(attach.command->vendorId, 0x045E);
    EXPECT_EQ(attach.command->productId, 0x0284);
    const auto parsedReport = parseLine(hidlib::wire::formatReport(5, report));
    ASSERT_TRUE(parsedReport.command);
    EXPECT_EQ(parsedReport.command->bytes, std::vector<std::uint8_t>(report.begin(), report.end()));
    EXPECT_EQ(parseLine(hidlib::wire::formatRemove(5)).command->kind, Command::Kind::Remove);
    EXPECT_EQ(parseLine(hidlib::wire::formatChange()).command->kind, Command::Kind::Change);
}

struct Split {
    std::vector<std::string> lines;
    int tooLong = 0;
    hidlib::wire::LineSplitter::Sink sink() {
        return [this](std::string_view line, bool overlong) {
            if (overlong) {
                ++tooLong;
            } else {
                lines.emplace_back(line);
            }
        };
    }
};

TEST(LineProtocolTest, SplitterJoinsChunksAndStripsCarriageReturns) {
    Split split;
    hidlib::wire::LineSplitter splitter;
    const std::string stream = "attach 1 45E 284\r\nchange\n\nreport 1 00";
    // One byte at a time: lines cut anywhere still come out whole.
    for (char c : stream) {
        splitter.feed(std::string_view(&c, 1), split.sink());
    }
    EXPECT_EQ(split.lines, (std::vector<std::string>{"attach 1 45E 284", "change", ""}));
    splitter.feed(" 41\n", split.sink());
    EXPECT_EQ(split.lines.back(), "report 1 00 41");
    EXPECT_EQ(split.tooLong, 0);
}

TEST(LineProtocolTest, SplitterDropsOverlongLinesWhole) {
    using hidlib::wire::kMaxLineLength;
    Split split;
    hidlib::wire::LineSplitter splitter;
    const std::string atLimit(kMaxLineLength, 'a');
    splitter.feed(atLimit + "\r\n", split.sink());
    splitter.feed(std::string(kMaxLineLength + 1, 'b') + "\n", split.sink());
    splitter.feed(std::string(10 * kMaxLineLength, 'c'), split.sink());
    splitter.feed("ccc\nchange\n", split.sink());
    EXPECT_EQ(split.lines, (std::vector<std::string>{atLimit, "change"}));
    EXPECT_EQ(split.tooLong, 2);
}

TEST(LineProtocolTest, SessionAppliesLinesAndAnswersEach) {
    RecordingPoster poster;
    hidlib::Core core(poster);
    ASSERT_TRUE(core.connect(9));
    hidlib::wire::Session session(core);
    struct Row {
        std::string line, reply;
    };
    const Row rows[] = {
        {"attach 5 045E 0284", "ok 1"},
        {"attach 5 045E 0284", "error device already attached"},
        {"attach 6 1 2", "ok 2"},
        {"change", "ok"},
        {"report 5 00 00 00 A7 00 41 00", "ok held"}, // nobody asked for its reports yet
        {"report 5 00 00 00 A7 00 41 00", "ok duplicate"},
        {"report 7 00", "error unknown device"},
        {"remove 6", "ok"},
        {"remove 6", "error unknown device"},
        {"bogus", "error unknown command"},
        {"# comment", ""},
        {"", ""},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(session.apply(row.line), row.reply) << row.line;
    }
    EXPECT_EQ(core.queued(1), 1u);
    EXPECT_EQ(
        poster.take(),
        (std::vector<Posted>{{9, 0x80C8, 1, 1}, {9, 0x80C8, 1, 2}, {9, 0x80C8, 3, 0}, {9, 0x80C8, 2, 2}}));

    session.end();
    EXPECT_EQ(poster.take(), (std::vector<Posted>{{9, 0x80C8, 2, 1}, {9, 0x80C8, 3, 0}}))
        << "the feeder's devices leave with it";
    EXPECT_TRUE(core.attached().empty());
    session.end();
    EXPECT_TRUE(poster.take().empty()) << "nothing left to remove";
}

} // namespace
