// scripts/box.sh in a temporary root with the real programs: the start script starts the encoder on
// the virtual devices, its datagrams reach a loopback port; the page's reboot button (through
// lighttpd, logged in) makes a new encoder stream again; an encoder that dies is started again; and
// SIGTERM to the runner leaves nothing of the root running.
#include "tests/support/net.h"
#include "tests/support/process.h"
#include "tests/support/udp_capture.h"
#include "tests/web/cgi_runner.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Process {
    int pid;
    std::string name;
};

std::string procFile(int pid, const char *file)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + file, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Every process but this test whose environment holds ENCODE_ROOT=root or whose command line names
// the root.
std::vector<Process> processesOf(const std::string &root)
{
    std::vector<Process> found;
    DIR *d = opendir("/proc");
    if (d == nullptr) {
        return found;
    }
    const std::string env = std::string("ENCODE_ROOT=") + root + '\0';
    while (dirent *e = readdir(d)) {
        int pid = std::atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) {
            continue;
        }
        std::string environ = '\0' + procFile(pid, "environ");
        if (environ.find(env) != std::string::npos || procFile(pid, "cmdline").find(root) != std::string::npos) {
            std::string name = procFile(pid, "comm");
            found.push_back({pid, name.substr(0, name.find('\n'))});
        }
    }
    closedir(d);
    return found;
}

int encodePid(const std::string &root)
{
    for (const Process &p : processesOf(root)) {
        if (p.name == "encode") {
            return p.pid;
        }
    }
    return 0;
}

// Waits for an encoder of the root other than `old`; its pid, or 0.
int waitNewEncode(const std::string &root, int old, int seconds)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        int pid = encodePid(root);
        if (pid != 0 && pid != old) {
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return 0;
}

std::string names(const std::vector<Process> &ps)
{
    std::string s;
    for (const Process &p : ps) {
        s += p.name + "(" + std::to_string(p.pid) + ") ";
    }
    return s;
}

} // namespace

TEST(BoxRunner, RebootsRestartTheEncoderAndStopLeavesNothingRunning)
{
    TempRoot root(true);
    UdpCapture udp;
    int webPort = freeLoopbackPort();
    int httpsPort = freeLoopbackPort();
    int offset = freePortOffset({8888, 8887, 8886, 8885, 8884, 7777, 9999, 9998, 9997, 9996, 9995, 10000, 8554});
    ASSERT_GT(webPort, 0);
    ASSERT_GT(offset, 0);
    // The stream to the test's port, set as the page would.
    CgiResponse set = cgiPostUrl(SETTINGS_CGI_BINARY, root.dir(),
                                 {{"namez_submit", ""}, {"tz", "127.0.0.1"}, {"namec_submit", ""}, {"tc", udp.portText()}});
    ASSERT_NE(set.out.find("set ok"), std::string::npos) << set.out;

    ProgramRun box(root, "/bin/bash",
                   {std::string(ENCODE_SOURCE_DIR) + "/scripts/box.sh", "--build", ENCODE_BINARY_DIR, "--port",
                    std::to_string(webPort), "--https-port", std::to_string(httpsPort)},
                   {{"ENCODE_PORT_OFFSET", std::to_string(offset)}, {"BOX_RESTART_PAUSE", "1"}}, "box");
    // Whatever a failed check leaves behind (the web server runs as a daemon) goes with the test.
    struct Reaper {
        std::string root;
        ~Reaper()
        {
            for (const Process &p : processesOf(root)) {
                kill(p.pid, SIGKILL);
            }
        }
    } reaper{root.dir()};
    ASSERT_TRUE(udp.waitFor(50, 60)) << box.out() << box.err();
    int first = encodePid(root.dir());
    ASSERT_NE(first, 0) << names(processesOf(root.dir()));

    // The reboot button of the page, logged in, from the page's own origin.
    const std::string site = "https://127.0.0.1:" + std::to_string(httpsPort);
    std::string answer = runCommand("curl -s --max-time 30 --cacert '" + root.path("/mnt/web/cert.pem") +
                                    "' -u admin:changeme -H 'Origin: " + site + "' --data 'name5_submit=Reboot' " +
                                    site + "/cgi-bin/settings.cgi");
    EXPECT_EQ(answer, "reboot now\n");
    int second = waitNewEncode(root.dir(), first, 30);
    ASSERT_NE(second, 0) << box.out();
    EXPECT_NE(kill(first, 0), 0) << "the first encoder still runs";
    udp.clear();
    EXPECT_TRUE(udp.waitFor(50, 60)) << box.out();
    EXPECT_TRUE(box.waitForOutput("box: reboot requested: stopping encode and running the start script again"));

    // An encoder that dies is started again, as the watchdog would reset the box.
    kill(second, SIGKILL);
    int third = waitNewEncode(root.dir(), second, 30);
    EXPECT_NE(third, 0) << box.out();
    EXPECT_TRUE(box.waitForOutput("box: encode ended (status 137); the start script runs again in 1 s"));

    box.signal(SIGTERM);
    EXPECT_EQ(box.wait(60), 0) << box.out() << box.err();
    EXPECT_EQ(names(processesOf(root.dir())), "");
    // The start script's output is kept for the status page, the runner's lines with it.
    std::string log = root.read("/tmp/encode.log");
    EXPECT_NE(log.find("box: reboot requested"), std::string::npos);
    EXPECT_NE(log.find("box: stopped"), std::string::npos);
}
