// Black-box runs of the built encode program in a fresh root: what it prints, how it ends on a
// signal, and its option errors as a start script would meet them.
#include "tests/support/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The encode program in a root, as the start script would run it.
class Program : public ProgramRun {
public:
    Program(const TempRoot &root, const std::vector<std::string> &args,
            const std::vector<std::pair<std::string, std::string>> &env = {})
        : ProgramRun(root, ENCODE_BINARY, args, env)
    {
    }
};

TEST(EncodeProgramTest, FreshRootRunsUntilSigtermAndExitsZero)
{
    TempRoot root(true);
    Program p(root, {});
    ASSERT_TRUE(p.waitForOutput("error open watchdog\n")) << p.out() << p.err();
    // Give the control loop time to be waiting, as on a running appliance.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto sent = Clock::now();
    p.signal(SIGTERM);
    int status = p.wait();
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - sent);
    EXPECT_EQ(status, 0) << p.err();
    // One control-loop period (600 ms) is the design; the bound leaves room for a loaded machine.
    EXPECT_LT(took.count(), 3000);
    std::printf("exit after SIGTERM took %lld ms\n", static_cast<long long>(took.count()));

    std::string out = p.out();
    EXPECT_EQ(out.rfind("ts.ini read=0\n"
                        "not ra202\n"
                        "fml=0 640 480 800000 25 100 100 \n"
                        "tsf.ini read=0\n"
                        "httpts.ini read=0\n"
                        "tcp.ini read=0\n"
                        "rtsp.ini read=0\n"
                        "rtmp.ini read=0\n"
                        "\nH.264 network stream encoder\n\n"
                        "Encode demo started.\n"
                        "ttl.ini read=64\n",
                        0),
              0u)
        << out;
    EXPECT_NE(out.find("kavex watchdog start\nStarting wdt_driver (timeout: 40, sleep: 1, test: ioctl)\n"
                       "error open watchdog\n"),
              std::string::npos);
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(root.read("/tmp/shell.log"), "sync\necho 3 > /proc/sys/vm/drop_caches\n");
}

TEST(EncodeProgramTest, SigintTakesTheSameWay)
{
    TempRoot root(true);
    Program p(root, {"-k"});
    ASSERT_TRUE(p.waitForOutput("Command [ 'help' for usage ] > ")) << p.out();
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(), 0);
    EXPECT_EQ(root.read("/tmp/shell.log"), "sync\necho 3 > /proc/sys/vm/drop_caches\n");
}

TEST(EncodeProgramTest, FrameRateLineInGb2312)
{
    TempRoot root(true);
    Program p(root, {"-f", "30", "-z", "127.0.0.1", "-c", "5999"});
    // "帧率设置：30000"
    ASSERT_TRUE(p.waitForOutput("\xD6\xA1\xC2\xCA\xC9\xE8\xD6\xC3\xA3\xBA" "30000\n")) << p.out();
    ASSERT_TRUE(p.waitForOutput("kavex->ipAddr:127.0.0.1\nkavex->port:5999\n")) << p.out();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
}

TEST(EncodeProgramTest, OptionErrorsGiveTheirMessageAndStatus)
{
    struct Case {
        std::vector<std::string> args;
        const char *firstLine;
        int status;
    } cases[] = {
        {{"-y", "7"}, "Unknown display standard\n", 1},
        {{"-y", "4"}, "Unknown display standard\n", 1},
        {{"-I", "9"}, "Unknown video input\n", 1},
        {{"-r", "1921x1080"}, "Video resolution must be between 2x2 and 1920x1080\n", 1},
        {{"-r", "wide"}, "Invalid resolution supplied (wide)\n", 1},
        {{"-v", "noext"}, "Video file without extension: noext\n", 1},
        {{"-s", "a.ogg"}, "Unknown speech file extension: .ogg\n", 1},
        {{"-h"}, "Usage: encode [options]\n", 0},
    };
    for (const Case &c : cases) {
        TempRoot root(true);
        Program p(root, c.args);
        EXPECT_EQ(p.wait(), c.status) << c.firstLine;
        EXPECT_EQ(p.err().rfind(c.firstLine, 0), 0u) << p.err();
        EXPECT_FALSE(root.exists("/tmp/shell.log")); // left at once, before any shutdown
    }

    TempRoot root(true);
    Program p(root, {"-y", "7", "-I", "3", "-r", "1920x1080"});
    ASSERT_TRUE(p.waitForOutput("Encode demo started.\n")) << p.err();
    p.signal(SIGTERM);
    EXPECT_EQ(p.wait(), 0);
}

TEST(EncodeProgramTest, UnknownOptionPrintsTheUsage)
{
    TempRoot root(true);
    Program p(root, {"--bogus"});
    EXPECT_EQ(p.wait(), 1);
    EXPECT_NE(p.err().find("Usage: encode [options]\n"), std::string::npos);
    EXPECT_NE(p.err().find("with appropriate extensions for the file formats.\n"), std::string::npos);
}

} // namespace
