// Child-process runner, scratch directories and storage trees for the test suites. The runner
// uses fork/exec on POSIX systems and CreateProcess on Windows.
#include "support/test_support.h"

#include "platform/bv_platform.h"
#include "platform/bv_platform_fs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <csignal>
#endif

namespace bvtest {

namespace fs = std::filesystem;

#ifdef _WIN32
static const char *exe_suffix = ".exe";
#else
static const char *exe_suffix = "";
#endif

std::string probe_path(const std::string &name) {
    return (fs::path(BV_PROBE_DIR) / (name + exe_suffix)).string();
}

std::string program_path(const std::string &name) {
    return (fs::path(BV_PROGRAM_DIR) / (name + exe_suffix)).string();
}

void make_storage_tree(const fs::path &root) {
    const ProcessResult r =
        run_program(program_path("../tools/registry-init"), {"--storage", root.string()});
    EXPECT_EQ(r.exit_code, 0) << "registry-init failed for " << root << ": " << r.out;
}

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::ostringstream name;
        name << "bvtest-" << std::hex << rd() << "-" << counter++;
        fs::path candidate = fs::temp_directory_path() / name.str();
        std::error_code ec;
        if (fs::create_directory(candidate, ec)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("cannot create a scratch directory");
}

TempDir::~TempDir() { remove_tree(path_); }

namespace {

// Calls `visit(path, is_dir)` for each entry below `dir`, children before their directory.
template <typename Visit>
void walk(const std::string &dir, const Visit &visit) {
    std::vector<std::pair<std::string, bool>> entries;
    bv_platform::dir_reader reader;
    if (!reader.open(dir.c_str())) return;
    const char *name;
    bool is_dir;
    while (reader.next(&name, &is_dir))
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            entries.emplace_back(dir + bv_platform::path_sep + name, is_dir);
    reader.close();
    for (const auto &[path, sub] : entries) {
        if (sub) walk(path, visit);
        visit(path, sub);
    }
}

}  // namespace

std::vector<std::string> files_below(const fs::path &dir) {
    const std::string root = dir.string();
    std::vector<std::string> out;
    walk(root, [&](const std::string &path, bool is_dir) {
        if (!is_dir) out.push_back(path.substr(root.size() + 1));
    });
    std::sort(out.begin(), out.end());
    return out;
}

bool remove_tree(const fs::path &dir) {
    const std::string root = dir.string();
    if (bv_platform::kind_of(root.c_str()) == bv_platform::path_kind::missing) return true;
    bool all = true;
    walk(root, [&](const std::string &path, bool is_dir) {
        const int rc = is_dir ? bv_platform::remove_dir(path.c_str())
                              : bv_platform::unlink_file(path.c_str());
        all = all && rc == 0;
    });
    return bv_platform::remove_dir(root.c_str()) == 0 && all;
}

std::string read_all(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_all(const fs::path &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

#ifndef _WIN32

ProcessResult run_program(const std::string &program, const std::vector<std::string> &args,
                          const std::vector<EnvChange> &env, const std::string &stdin_data,
                          const fs::path &cwd) {
    int in_pipe[2];
    int out_pipe[2];
    if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0) throw std::runtime_error("pipe failed");

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        close(in_pipe[0]);
        close(in_pipe[1]);
        close(out_pipe[0]);
        close(out_pipe[1]);
        for (const auto &[name, value] : env) {
            if (value) setenv(name.c_str(), value->c_str(), 1);
            else unsetenv(name.c_str());
        }
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        std::vector<char *> argv;
        argv.push_back(const_cast<char *>(program.c_str()));
        for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);

    // Feed standard input and drain standard output without blocking on either.
    signal(SIGPIPE, SIG_IGN);
    fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);
    size_t written = 0;
    if (stdin_data.empty()) {
        close(in_pipe[1]);
        in_pipe[1] = -1;
    }
    ProcessResult result;
    char buf[65536];
    for (;;) {
        if (in_pipe[1] >= 0) {
            ssize_t n = write(in_pipe[1], stdin_data.data() + written, stdin_data.size() - written);
            if (n > 0) written += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN) || written == stdin_data.size()) {
                close(in_pipe[1]);
                in_pipe[1] = -1;
            }
        }
        fd_set rfds;
        FD_ZERO(&rfds);
        FD_SET(out_pipe[0], &rfds);
        timeval tv{0, 10000};
        if (select(out_pipe[0] + 1, &rfds, nullptr, nullptr, in_pipe[1] >= 0 ? &tv : nullptr) > 0) {
            ssize_t n = read(out_pipe[0], buf, sizeof buf);
            if (n <= 0) break;
            result.out.append(buf, static_cast<size_t>(n));
        }
    }
    if (in_pipe[1] >= 0) close(in_pipe[1]);
    close(out_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

#else

static std::wstring widen(const std::string &s) {
    if (s.empty()) return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

// Quotes one argument the way the C runtime's command-line parser reads it back.
static std::wstring quote_arg(const std::wstring &arg) {
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) return arg;
    std::wstring out = L"\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < arg.size() && arg[i] == L'\\') { ++i; ++backslashes; }
        if (i == arg.size()) { out.append(backslashes * 2, L'\\'); break; }
        if (arg[i] == L'"') { out.append(backslashes * 2 + 1, L'\\'); out.push_back(L'"'); }
        else { out.append(backslashes, L'\\'); out.push_back(arg[i]); }
    }
    out.push_back(L'"');
    return out;
}

ProcessResult run_program(const std::string &program, const std::vector<std::string> &args,
                          const std::vector<EnvChange> &env, const std::string &stdin_data,
                          const fs::path &cwd) {
    // Environment block: the parent's, with the changes applied, sorted as Windows expects.
    std::vector<std::wstring> vars;
    if (wchar_t *block = GetEnvironmentStringsW()) {
        for (wchar_t *p = block; *p; p += wcslen(p) + 1) vars.emplace_back(p);
        FreeEnvironmentStringsW(block);
    }
    for (const auto &[name, value] : env) {
        std::wstring key = widen(name) + L"=";
        std::erase_if(vars, [&](const std::wstring &v) {
            return _wcsnicmp(v.c_str(), key.c_str(), key.size()) == 0;
        });
        if (value) vars.push_back(key + widen(*value));
    }
    std::sort(vars.begin(), vars.end(), [](const std::wstring &a, const std::wstring &b) {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    });
    std::wstring env_block;
    for (const auto &v : vars) { env_block += v; env_block.push_back(L'\0'); }
    env_block.push_back(L'\0');

    std::wstring cmd = quote_arg(widen(program));
    for (const auto &a : args) cmd += L" " + quote_arg(widen(a));

    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE in_read, in_write, out_read, out_write;
    if (!CreatePipe(&in_read, &in_write, &sa, 0)) throw std::runtime_error("CreatePipe failed");
    if (!CreatePipe(&out_read, &out_write, &sa, 0)) {
        CloseHandle(in_read);
        CloseHandle(in_write);
        throw std::runtime_error("CreatePipe failed");
    }
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read;
    si.hStdOutput = out_write;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi{};
    std::wstring wcwd = cwd.empty() ? std::wstring() : cwd.wstring();
    // Wine fails the call with ERROR_INTERNAL_ERROR when the child dies in its own start-up,
    // before any of its code ran (seen in a fresh prefix on a loaded machine); nothing of it
    // is left, and a new start a moment later succeeds.
    BOOL ok = FALSE;
    DWORD create_error = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt > 0) Sleep(200 * attempt);
        ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE,
                            CREATE_UNICODE_ENVIRONMENT, env_block.data(),
                            wcwd.empty() ? nullptr : wcwd.c_str(), &si, &pi);
        create_error = ok ? 0 : GetLastError();
        if (ok || create_error != ERROR_INTERNAL_ERROR) break;
    }
    CloseHandle(in_read);
    CloseHandle(out_write);
    if (!ok) {
        CloseHandle(in_write);
        CloseHandle(out_read);
        throw std::runtime_error("CreateProcess failed for " + program + " (error " +
                                 std::to_string(create_error) + ")");
    }
    // A writer thread keeps a large standard input from deadlocking against the output pipe.
    struct Feed { HANDLE h; const std::string *data; } feed{in_write, &stdin_data};
    HANDLE writer = CreateThread(nullptr, 0, [](LPVOID p) -> DWORD {
        auto *f = static_cast<Feed *>(p);
        size_t done = 0;
        while (done < f->data->size()) {
            DWORD n = 0;
            DWORD chunk = static_cast<DWORD>(std::min<size_t>(f->data->size() - done, 65536));
            if (!WriteFile(f->h, f->data->data() + done, chunk, &n, nullptr)) break;
            done += n;
        }
        CloseHandle(f->h);
        return 0;
    }, &feed, 0, nullptr);

    ProcessResult result;
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(out_read, buf, sizeof buf, &n, nullptr) && n > 0) result.out.append(buf, n);
    CloseHandle(out_read);
    WaitForSingleObject(writer, INFINITE);
    CloseHandle(writer);
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    // Exception codes (0xC0000005 for an access violation and the like) mean the child
    // crashed rather than exited.
    result.exit_code = (code & 0xC0000000u) == 0xC0000000u ? -1 : static_cast<int>(code);
    return result;
}

#endif

}  // namespace bvtest
