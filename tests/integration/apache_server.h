// The registry behind Apache httpd for the integration suites: httpd started in the foreground
// with the project's own deploy/apache-httpd.conf on a free local port, over a scratch storage
// root and a ServerRoot of its own, the programs as CGI or under mod_fcgid (BV_TEST_SERVER_MODE),
// stopped however the test ends. Requests go through the
// HTTP client of registry_server.h.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "tests/integration/registry_server.h"

namespace apachetest {

namespace fs = std::filesystem;

// The httpd binary, "" when Apache is not installed.
inline std::string apache_binary() {
    for (const char *c : {"/usr/sbin/apache2", "/usr/sbin/httpd", "/usr/local/sbin/httpd", "/usr/local/apache2/bin/httpd"})
        if (access(c, X_OK) == 0) return c;
    return {};
}

// Where httpd's modules live (Debian, then the Red Hat and upstream layouts), "" when unknown.
inline std::string apache_modules() {
    for (const char *c : {"/usr/lib/apache2/modules", "/usr/lib64/httpd/modules", "/usr/lib/httpd/modules",
                          "/usr/local/apache2/modules"})
        if (access((std::string(c) + "/mod_cgid.so").c_str(), R_OK) == 0) return c;
    return {};
}

// 1 when the account can reach and run `program`: a child takes on the account and looks.
inline bool account_can_run(uid_t uid, gid_t gid, const std::string &program) {
    const pid_t pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0) _exit(2);
        _exit(access(program.c_str(), X_OK) == 0 ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Lets every account search and read `dir` (0755), whatever the umask made it: httpd's account
// walks the scratch directories of a test run as root.
inline void open_to_all(const fs::path &dir) {
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
}

struct ApacheOptions {
    std::string htpasswd;  // non-empty: Basic authentication against this file (BV_HTPASSWD)
    std::string bin_dir;   // the endpoint programs; empty: this build's
    regtest::ServerMode mode = regtest::server_mode_from_environment();
    // Under FastCGI (mod_fcgid): processes per program at most, and requests each serves.
    int fastcgi_procs = 4;
    int fastcgi_max_requests = 100;
    // Blob bodies sent by mod_xsendfile (BV_X_SENDFILE), as deploy/start-apache.sh has them
    // where the module is installed; false: streamed by the blob program.
    bool x_sendfile = true;
};

// httpd over a scratch storage root. Started as root, httpd serves as www-data (it refuses to
// run programs as root): the storage belongs to that account, and the programs are copied into
// the scratch directory when the account cannot reach the build's. start() skips the test when
// Apache is not installed and fails it when the server does not come up.
class ApacheServer {
public:
    ApacheServer() = default;
    ApacheServer(const ApacheServer &) = delete;
    ApacheServer &operator=(const ApacheServer &) = delete;
    ~ApacheServer() { stop(); }

    void start(const ApacheOptions &options = {}) {
        const std::string server = apache_binary();
        if (server.empty()) GTEST_SKIP() << "Apache httpd is not installed (scripts/deps.sh apache)";
        const std::string modules = apache_modules();
        ASSERT_FALSE(modules.empty()) << "Apache's modules (mod_cgid.so) were not found";
        if (options.mode == regtest::ServerMode::fastcgi) {
            ASSERT_EQ(access((modules + "/mod_fcgid.so").c_str(), R_OK), 0)
                << "mod_fcgid is not installed (scripts/deps.sh apache)";
        }
        for (const char *dir : {"apache/logs", "apache/run"}) fs::create_directories(scratch_.path() / dir);
        bvtest::make_storage_tree(storage_root());
        for (const char *dir : {"", "apache", "apache/run"}) open_to_all(scratch_.path() / dir);
        std::string bin = options.bin_dir.empty() ? BV_PROGRAM_DIR : options.bin_dir;
        std::string account;
        if (geteuid() == 0) {
            const passwd *pw = getpwnam("www-data");
            ASSERT_NE(pw, nullptr) << "no www-data account for httpd to serve as";
            account = "www-data";
            const uid_t uid = pw->pw_uid;
            const gid_t gid = pw->pw_gid;
            for (const auto &entry : fs::recursive_directory_iterator(storage_root()))
                ASSERT_EQ(chown(entry.path().c_str(), uid, gid), 0) << entry.path();
            ASSERT_EQ(chown(storage_root().c_str(), uid, gid), 0);
            if (!account_can_run(uid, gid, bin + "/v2_ping")) bin = stage_programs(bin);
        }
        port_ = regtest::free_port();
        const std::string config = write_config(options, bin, modules, account);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive a crashed test
            const int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 2);  // httpd's start-up notes go to its error log
            execl(server.c_str(), server.c_str(), "-f", config.c_str(), "-DFOREGROUND", static_cast<char *>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 400; ++i) {
            int fd = regtest::connect_to(port_);
            if (fd >= 0) {
                close(fd);
                return;
            }
            int status;
            ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "httpd exited during start-up:\n" << error_log();
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        FAIL() << "httpd did not start listening:\n" << error_log();
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            int status;
            waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }

    bool running() const { return pid_ > 0; }
    int port() const { return port_; }
    fs::path storage_root() const { return scratch_.path() / "storage"; }
    fs::path scratch() const { return scratch_.path(); }
    std::string error_log() const {
        std::error_code ec;
        const fs::path log = scratch_.path() / "apache" / "logs" / "error.log";
        return fs::exists(log, ec) ? bvtest::read_all(log) : std::string();
    }

private:
    // Copies of the endpoint programs in the scratch directory, for an account that cannot
    // reach the build directory.
    std::string stage_programs(const std::string &from) const {
        const fs::path to = scratch_.path() / "bin";
        fs::create_directories(to);
        open_to_all(to);
        for (const auto &entry : fs::directory_iterator(from)) {
            if (!entry.is_regular_file() || access(entry.path().c_str(), X_OK) != 0) continue;
            fs::copy_file(entry.path(), to / entry.path().filename(), fs::copy_options::overwrite_existing);
        }
        return to.string();
    }

    // The main configuration httpd runs: its own ServerRoot and files, the settings the
    // project's configuration reads, then that configuration.
    std::string write_config(const ApacheOptions &options, const std::string &bin, const std::string &modules,
                             const std::string &account) const {
        const fs::path root = scratch_.path() / "apache";
        std::string text = "ServerRoot \"" + root.string() + "\"\n" +
                           "DefaultRuntimeDir \"" + (root / "run").string() + "\"\n" +
                           "PidFile \"" + (root / "run" / "httpd.pid").string() + "\"\n" +
                           "ErrorLog \"" + (root / "logs" / "error.log").string() + "\"\n" +
                           "LogLevel warn\nServerName 127.0.0.1\nServerTokens Prod\n";
        if (!account.empty()) text += "User " + account + "\nGroup " + account + "\n";
        text += "Define BV_PORT " + std::to_string(port_) + "\n";
        text += "Define BV_BIND 127.0.0.1\n";
        text += "Define BV_BIN_DIR \"" + bin + "\"\n";
        text += "Define BV_APACHE_MODULES \"" + modules + "\"\n";
        text += "Define REGISTRY_STORAGE_ROOT \"" + storage_root().string() + "\"\n";
        if (!options.htpasswd.empty()) text += "Define BV_HTPASSWD \"" + options.htpasswd + "\"\n";
        if (options.x_sendfile && access((modules + "/mod_xsendfile.so").c_str(), R_OK) == 0)
            text += "Define BV_X_SENDFILE\n";
        if (options.mode == regtest::ServerMode::fastcgi)
            text += "Define BV_FASTCGI\nDefine BV_FASTCGI_MAX_REQUESTS " + std::to_string(options.fastcgi_max_requests) +
                    "\nDefine BV_FASTCGI_PROCS " + std::to_string(options.fastcgi_procs) + "\n";
        text += "Include \"" + std::string(BV_SOURCE_DIR) + "/deploy/apache-httpd.conf\"\n";
        text += "ScriptSock \"" + (root / "run" / "cgid.sock").string() + "\"\n";
        text += "<IfModule fcgid_module>\nFcgidIPCDir \"" + (root / "run" / "fcgid").string() +
                "\"\nFcgidProcessTableFile \"" + (root / "run" / "fcgid-table").string() + "\"\n</IfModule>\n";
        const fs::path path = root / "httpd.conf";
        bvtest::write_all(path, text);
        return path.string();
    }

    bvtest::TempDir scratch_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// A test suite with one httpd per test, started before the test body runs (or skipped).
class ApacheServerTest : public ::testing::Test {
protected:
    void SetUp() override { server_.start(options()); }
    virtual ApacheOptions options() const { return {}; }
    int port() const { return server_.port(); }
    ApacheServer server_;
};

}  // namespace apachetest
