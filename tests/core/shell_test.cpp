#include "encode/core/paths.h"
#include "encode/core/shell.h"
#include "tests/support/temp_root.h"

TEST(Paths, ResolveUnderRootAndWithout)
{
    unsetenv("ENCODE_ROOT");
    EXPECT_EQ(Path_resolve("/mnt/ts.ini"), "/mnt/ts.ini");
    EXPECT_FALSE(Path_isRooted());
    setenv("ENCODE_ROOT", "/tmp/r//", 1);
    EXPECT_EQ(Path_resolve("/mnt/ts.ini"), "/tmp/r/mnt/ts.ini");
    EXPECT_EQ(Path_resolve("relative"), "relative");
    unsetenv("ENCODE_ROOT");
}

TEST(Paths, PortOffsetShiftsTheFixedPortsWhenItMakesSense)
{
    unsetenv("ENCODE_PORT_OFFSET");
    EXPECT_EQ(Path_port(8888), 8888);
    setenv("ENCODE_PORT_OFFSET", "20000", 1);
    EXPECT_EQ(Path_port(8888), 28888);
    EXPECT_EQ(Path_port(10000), 30000);
    for (const char *bad : {"7x", "60000", "-9000", ""}) {
        setenv("ENCODE_PORT_OFFSET", bad, 1);
        EXPECT_EQ(Path_port(8888), 8888) << bad;
    }
    unsetenv("ENCODE_PORT_OFFSET");
}

TEST(Shell, HostCommandsAreRecordedNotRun)
{
    TempRoot root;
    EXPECT_EQ(Shell_run("reboot"), 0);
    EXPECT_EQ(Shell_run("sync"), 0);
    EXPECT_EQ(Shell_run("echo 3 > /proc/sys/vm/drop_caches"), 0);
    EXPECT_EQ(Shell_run("/usr/bin/amixer cset numid=3 1"), 0);
    EXPECT_EQ(root.read("/tmp/shell.log"),
              "reboot\nsync\necho 3 > /proc/sys/vm/drop_caches\n/usr/bin/amixer cset numid=3 1\n");
}

// Without root only the reboot goes through sudo, and only its own fixed line.
TEST(Shell, OnlyTheRebootAsksForRootThroughSudo)
{
    const struct {
        const char *command;
        unsigned euid;
        const char *line;
    } cases[] = {
        {"reboot", 999, "sudo -n /sbin/reboot"},     {"/sbin/reboot", 999, "sudo -n /sbin/reboot"},
        {"reboot", 0, "reboot"},                     {"sync", 999, "sync"},
        {"/usr/bin/amixer cset numid=3 1", 999, "/usr/bin/amixer cset numid=3 1"},
        {"rebooted", 999, "rebooted"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(Shell_hostLine(c.command, c.euid), c.line) << c.command << " as " << c.euid;
    }
}

TEST(Shell, FileCommandsRunOnRootedPaths)
{
    TempRoot root;
    root.write("/mnt/dfc/a.ini", "1");
    root.write("/mnt/dfc/b.ini", "2");
    EXPECT_EQ(Shell_run("cp -f /mnt/dfc/* /mnt/"), 0);
    EXPECT_EQ(root.read("/mnt/a.ini"), "1");
    EXPECT_EQ(root.read("/mnt/b.ini"), "2");
    EXPECT_EQ(Shell_run("touch /mnt/ts.ini"), 0);
    EXPECT_EQ(Shell_run("echo 1 > /mnt/ts.ini"), 0);
    EXPECT_EQ(root.read("/mnt/ts.ini"), "1\n");
    EXPECT_EQ(Shell_run("echo 0 >/mnt/tcp.ini"), 0);
    EXPECT_EQ(root.read("/mnt/tcp.ini"), "0\n");
    EXPECT_EQ(Shell_run("rm -f /mnt/a.ini"), 0);
    EXPECT_FALSE(root.exists("/mnt/a.ini"));
    EXPECT_FALSE(root.exists("/tmp/shell.log"));
}

TEST(Shell, RootWithBlanksStillRoots)
{
    TempRoot root;
    std::string spaced = root.dir() + "/with blank";
    std::filesystem::create_directories(spaced + "/mnt");
    setenv("ENCODE_ROOT", spaced.c_str(), 1);
    EXPECT_EQ(Shell_run("echo 5 > /mnt/x.ini"), 0);
    std::ifstream in(spaced + "/mnt/x.ini");
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "5");
}

TEST(Shell, FnScriptNamesRecordingInsideRoot)
{
    TempRoot root(true);
    EXPECT_EQ(Shell_run("/mnt/fn.sh"), 0);
    std::string fn = root.read("/mnt/fn");
    ASSERT_EQ(fn.rfind("export f=", 0), 0u) << fn;
    EXPECT_EQ(fn.size(), std::string("export f=20261208_143000\n").size());
}
