// A real RTMP ingest for tests: nginx with the RTMP module, run in the foreground from a generated
// configuration in its own temporary directory, listening on 127.0.0.1 only. Application "live"
// relays streams to players and records every published stream to dir()/rec/NAME.flv.
//
// TLS front ends (nginx's stream module) may stand before it, for rtmps://: each on a port of its own
// with its certificate, proxying to an RTMP listener of its own, so that what reached nginx-rtmp
// through each front can be told apart; the front logs every TLS session it had.
//
// master_process is off: a root master would start its worker as an unprivileged user that could not
// write the temporary directory. The process can be paused (SIGSTOP) to play a stalled server, killed
// and started again on the same port to play a server that went away and came back.
#pragma once

#include "tests/support/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct NginxTlsFront {
    std::string certificate; // PEM files
    std::string key;
    int port = 0;     // where the front listens (chosen at start)
    int rtmpPort = 0; // the RTMP listener behind it
};

class NginxRtmp {
public:
    static constexpr const char *kModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
    static constexpr const char *kBinary = "/usr/sbin/nginx";
    static constexpr const char *kStreamModule = "/usr/lib/nginx/modules/ngx_stream_module.so";

    // True when nginx and its RTMP module are installed (tests skip otherwise).
    static bool available() { return access(kBinary, X_OK) == 0 && access(kModule, R_OK) == 0; }
    // And the stream module the TLS fronts need.
    static bool tlsAvailable() { return available() && access(kStreamModule, R_OK) == 0; }

    // Picks a free loopback port (or takes `port`) and starts the server.
    explicit NginxRtmp(int port = 0) : port_(port != 0 ? port : freeLoopbackPort()) { begin(); }

    // With these TLS fronts before it (their ports are chosen here).
    explicit NginxRtmp(std::vector<NginxTlsFront> fronts) : port_(freeLoopbackPort()), fronts_(std::move(fronts))
    {
        std::vector<int> taken = {port_};
        auto another = [&taken] {
            int p = freeLoopbackPort();
            while (std::find(taken.begin(), taken.end(), p) != taken.end()) {
                p = freeLoopbackPort();
            }
            taken.push_back(p);
            return p;
        };
        for (NginxTlsFront &f : fronts_) {
            f.port = another();
            f.rtmpPort = another();
        }
        begin();
    }
    ~NginxRtmp()
    {
        stop();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    NginxRtmp(const NginxRtmp &) = delete;
    NginxRtmp &operator=(const NginxRtmp &) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string &dir() const { return dir_; }
    bool running() const { return pid_ > 0; }
    std::string url(const std::string &name) const
    {
        return "rtmp://127.0.0.1:" + std::to_string(port_) + "/live/" + name;
    }
    std::string recording(const std::string &name) const { return dir_ + "/rec/" + name + ".flv"; }
    std::string errorLog() const { return slurp(dir_ + "/error.log"); }

    const NginxTlsFront &front(size_t i) const { return fronts_.at(i); }
    // One line per TLS session the front had, once it has ended: "STATUS UPSTREAM" (200 and the RTMP
    // listener's address when it was passed on; "-" when it never reached nginx-rtmp).
    std::string frontLog(size_t i) const { return slurp(dir_ + "/front-" + std::to_string(i) + ".log"); }
    // How many of them ended, and how many were passed on.
    size_t frontSessions(size_t i) const { return linesBeginning(frontLog(i), ""); }
    size_t frontPassedOn(size_t i) const { return linesBeginning(frontLog(i), "200 "); }
    // The lines nginx-rtmp logged of sessions on the front's RTMP listener (connect, publish, ...).
    std::string rtmpLines(size_t i) const
    {
        std::string mark = "server: 127.0.0.1:" + std::to_string(fronts_.at(i).rtmpPort);
        std::istringstream in(errorLog());
        std::string line;
        std::string found;
        while (std::getline(in, line)) {
            if (line.find(mark) != std::string::npos) {
                found += line + "\n";
            }
        }
        return found;
    }

    // Starts (again) with a fresh recording directory; true once the port accepts connections.
    bool start()
    {
        if (pid_ > 0 || dir_.empty()) {
            return false;
        }
        std::error_code ec;
        std::filesystem::remove_all(dir_ + "/rec", ec);
        std::filesystem::create_directories(dir_ + "/rec");
        std::filesystem::permissions(dir_, std::filesystem::perms::all, ec);
        std::filesystem::permissions(dir_ + "/rec", std::filesystem::perms::all, ec);
        writeConfig();
        pid_ = fork();
        if (pid_ == 0) {
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            std::string conf = dir_ + "/nginx.conf";
            std::string err = dir_ + "/error.log";
            std::string prefix = dir_ + "/";
            execl(kBinary, kBinary, "-p", prefix.c_str(), "-c", conf.c_str(), "-e", err.c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        return waitListening(5000);
    }

    // SIGSTOP / SIGCONT: a server that stops reading without closing anything.
    void pause() const { signalIt(SIGSTOP); }
    void resume() const { signalIt(SIGCONT); }

    // Ends the server (politely first, so that recordings are closed) and reaps it.
    void stop()
    {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGCONT);
        kill(pid_, SIGQUIT);
        if (!reap(3000)) {
            kill(pid_, SIGKILL);
            reap(3000);
        }
        pid_ = -1;
    }

    // Kills the server at once, as a crash would.
    void crash()
    {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGKILL);
        reap(3000);
        pid_ = -1;
    }

    static size_t linesBeginning(const std::string &text, const std::string &head)
    {
        std::istringstream in(text);
        std::string line;
        size_t n = 0;
        while (std::getline(in, line)) {
            n += line.compare(0, head.size(), head) == 0 ? 1 : 0;
        }
        return n;
    }

    static std::string slurp(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

private:
    void begin()
    {
        char tmpl[] = "/tmp/nginx-rtmp-XXXXXX";
        const char *made = mkdtemp(tmpl);
        if (made != nullptr) {
            dir_ = made;
            start();
        }
    }

    void writeConfig() const
    {
        std::ofstream c(dir_ + "/nginx.conf");
        c << "load_module " << kModule << ";\n";
        if (!fronts_.empty()) {
            c << "load_module " << kStreamModule << ";\n";
        }
        c << "daemon off;\nmaster_process off;\n"
          << "pid " << dir_ << "/nginx.pid;\n"
          << "error_log " << dir_ << "/error.log info;\n"
          << "events { worker_connections 64; }\n"
          << "rtmp {\n";
        auto rtmpServer = [&](int port) {
            c << "  server {\n    listen 127.0.0.1:" << port << ";\n"
              << "    application live {\n      live on;\n      record all;\n"
              << "      record_path " << dir_ << "/rec;\n    }\n  }\n";
        };
        rtmpServer(port_);
        for (const NginxTlsFront &f : fronts_) {
            rtmpServer(f.rtmpPort);
        }
        c << "}\n";
        if (fronts_.empty()) {
            return;
        }
        c << "stream {\n  log_format front '$status $upstream_addr';\n";
        for (size_t i = 0; i < fronts_.size(); i++) {
            const NginxTlsFront &f = fronts_[i];
            c << "  server {\n    listen 127.0.0.1:" << f.port << " ssl;\n"
              << "    ssl_certificate " << f.certificate << ";\n    ssl_certificate_key " << f.key << ";\n"
              << "    access_log " << dir_ << "/front-" << i << ".log front;\n"
              << "    proxy_pass 127.0.0.1:" << f.rtmpPort << ";\n  }\n";
        }
        c << "}\n";
    }

    bool waitListening(int ms) const
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<uint16_t>(port_));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
            close(fd);
            if (ok) {
                return true;
            }
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                return false; // it exited: see errorLog()
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    bool reap(int ms) const
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    void signalIt(int sig) const
    {
        if (pid_ > 0) {
            kill(pid_, sig);
        }
    }

    int port_;
    std::vector<NginxTlsFront> fronts_;
    std::string dir_;
    pid_t pid_ = -1;
};
