// The GB2312 console texts must be the characters their comments show.
#include "encode/core/console_text.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>

static std::string toGb2312(const std::string &utf8)
{
    iconv_t cd = iconv_open("GB2312", "UTF-8");
    EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
    std::string out(utf8.size() * 2 + 4, '\0');
    char *in = const_cast<char *>(utf8.data());
    size_t inLeft = utf8.size();
    char *o = out.data();
    size_t outLeft = out.size();
    EXPECT_NE(iconv(cd, &in, &inLeft, &o, &outLeft), static_cast<size_t>(-1));
    iconv_close(cd);
    out.resize(out.size() - outLeft);
    return out;
}

static std::string unescapeC(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            out += '\n';
            i++;
        } else {
            out += s[i];
        }
    }
    return out;
}

TEST(ConsoleText, CommentsConvertToTheBytes)
{
    // Every constant of the header, paired with the comment line above it.
    std::ifstream header(std::string(ENCODE_SOURCE_DIR) + "/encode/core/console_text.h");
    std::stringstream ss;
    ss << header.rdbuf();
    std::string text = ss.str();
    std::regex pair("// \"([^\"]*)\"\\n\\s*inline constexpr char (k\\w+)\\[\\]");
    std::map<std::string, const char *> constants = {
        {"kTsReceiverIp", ConsoleText::kTsReceiverIp},
        {"kTsReceiverPort", ConsoleText::kTsReceiverPort},
        {"kFrameRateSet", ConsoleText::kFrameRateSet},
        {"kIntraInterval", ConsoleText::kIntraInterval},
        {"kNoSignalThreadFailed", ConsoleText::kNoSignalThreadFailed},
        {"kNoSignalGetFailed", ConsoleText::kNoSignalGetFailed},
    };
    size_t seen = 0;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pair); it != std::sregex_iterator(); ++it) {
        std::string name = (*it)[2];
        ASSERT_TRUE(constants.count(name)) << name << " is not checked here";
        EXPECT_EQ(toGb2312(unescapeC((*it)[1])), std::string(constants[name])) << name;
        seen++;
    }
    EXPECT_EQ(seen, constants.size());
}
