// Number conversions of configuration texts.
#include "Conversions.h"

#include <gtest/gtest.h>

TEST(Conversions, TextToDouble) {
    const struct {
        const char* text;
        std::optional<double> value;
    } cases[] = {
        {"1118", 1118}, {" 644 ", 644}, {"+12", 12}, {"-3.5", -3.5},   {"1e3", 1000}, {"&H45E", 1118},
        {"&h284", 644}, {"&O17", 15},   {"", {}},    {"   ", {}},      {"abc", {}},   {"12abc", {}},
        {"0x45E", {}},  {"inf", {}},    {"nan", {}}, {"1e", {}},       {"&H", {}},    {"&HZZ", {}},
        {".", {}},      {"1.", 1},      {".5", 0.5}, {"1e999999", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(TextToDouble(c.text), c.value);
    }
}

TEST(Conversions, TextToLongRoundsHalvesToEvenAndRejectsWhatDoesNotFit) {
    const struct {
        const char* text;
        std::optional<std::int32_t> value;
    } cases[] = {
        {"1118", 1118},
        {"2.5", 2},
        {"3.5", 4},
        {"-2.5", -2},
        {"2147483647", 2147483647},
        {"2147483648", {}},
        {"-2147483648", -2147483647 - 1},
        {"-2147483649", {}},
        {"", {}},
        {"x", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(TextToLong(c.text), c.value);
    }
}
