// The value rules of a key=value settings file (srt.ini, hls.ini) checked one way: a table of texts,
// each good (read, and what the page would store reads back the same) or bad (one refusal naming
// "bad KEY=VALUE (why)", no secret in it, the output off).
#pragma once

#include <gtest/gtest.h>

#include <string>

struct SettingsCase {
    const char *text;
    bool good;
    const char *named; // what the refusal names (key=value), for a bad file
};

template <typename Settings, typename Parse, typename Format, size_t N>
void expectValueRules(const SettingsCase (&cases)[N], Parse parse, Format format, int ok, int refused)
{
    for (const SettingsCase &c : cases) {
        SCOPED_TRACE(c.text);
        Settings s;
        std::string why;
        EXPECT_EQ(parse(c.text, s, why), c.good ? ok : refused);
        if (c.good) {
            EXPECT_EQ(why, "");
            Settings again;
            EXPECT_EQ(parse(format(s), again, why), ok);
            EXPECT_EQ(format(again), format(s));
        } else {
            EXPECT_NE(why.find(std::string("bad ") + c.named + " ("), std::string::npos) << why;
            EXPECT_EQ(why.find("secret"), std::string::npos) << why;
            EXPECT_FALSE(s.enable);
        }
    }
}
