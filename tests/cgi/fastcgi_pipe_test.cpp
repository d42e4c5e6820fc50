// Windows only (run under Wine by ctest): an endpoint program started the way IIS's FastCGI
// module starts one, with standard input the server end of a named pipe, no standard output,
// _FCGI_X_PIPE_ and _FCGI_SHUTDOWN_EVENT_ set; the test connects to the pipe as IIS does,
// one connection after another, and ends the program through the event.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "cgi/cgi_fastcgi_records.h"
#include "support/test_support.h"

namespace {

namespace fcgi = bv_cgi::fcgi;

std::string request(std::uint16_t id, bool keep, const fcgi::pair_list &params) {
    std::string wire, pairs;
    fcgi::encode_header(wire, fcgi::begin_request, id, 8, 0);
    wire += std::string{0, 1, keep ? '\1' : '\0', 0, 0, 0, 0, 0};
    for (const auto &[n, v] : params) fcgi::encode_pair(pairs, n, v);
    fcgi::encode_header(wire, fcgi::params, id, static_cast<std::uint16_t>(pairs.size()), 0);
    wire += pairs;
    fcgi::encode_header(wire, fcgi::params, id, 0, 0);
    fcgi::encode_header(wire, fcgi::stdin_stream, id, 0, 0);
    return wire;
}

// Reads records until FCGI_END_REQUEST; the STDOUT stream, or "" when the pipe ended first.
std::string answer(HANDLE pipe) {
    std::string in, out;
    char buf[4096];
    for (;;) {
        std::size_t at = 0;
        while (in.size() - at >= 8) {
            const auto *h = reinterpret_cast<const unsigned char *>(in.data() + at);
            const std::size_t len = static_cast<std::size_t>(h[4] << 8 | h[5]), whole = 8 + len + h[6];
            if (in.size() - at < whole) break;
            if (h[1] == fcgi::stdout_stream) out.append(in, at + 8, len);
            if (h[1] == fcgi::end_request) return out;
            at += whole;
        }
        in.erase(0, at);
        DWORD n = 0;
        if (!ReadFile(pipe, buf, sizeof buf, &n, nullptr) || n == 0) return {};
        in.append(buf, n);
    }
}

HANDLE connect_client(const std::wstring &name) {
    for (int i = 0; i < 200; ++i) {
        HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        WaitNamedPipeW(name.c_str(), 100);
    }
    return INVALID_HANDLE_VALUE;
}

bool send(HANDLE pipe, const std::string &bytes) {
    DWORD n = 0;
    return WriteFile(pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
}

TEST(FastcgiPipe, ServesConnectionsOnTheInheritedPipeUntilTheShutdownEvent) {
    const std::wstring name = L"\\\\.\\pipe\\bv-fastcgi-test-" + std::to_wstring(GetCurrentProcessId());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, &inherit);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE shutdown = CreateEventW(&inherit, TRUE, FALSE, nullptr);
    ASSERT_NE(shutdown, nullptr);

    std::string narrow(name.begin(), name.end());
    SetEnvironmentVariableA("_FCGI_X_PIPE_", narrow.c_str());
    SetEnvironmentVariableA("_FCGI_SHUTDOWN_EVENT_",
                            std::to_string(reinterpret_cast<std::uintptr_t>(shutdown)).c_str());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = server;
    si.hStdOutput = INVALID_HANDLE_VALUE;
    si.hStdError = INVALID_HANDLE_VALUE;
    const std::string program = bvtest::program_path("v2_ping");
    std::wstring command = L"\"" + std::wstring(program.begin(), program.end()) + L"\"";
    PROCESS_INFORMATION pi{};
    const BOOL started =
        CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    SetEnvironmentVariableA("_FCGI_X_PIPE_", nullptr);
    SetEnvironmentVariableA("_FCGI_SHUTDOWN_EVENT_", nullptr);
    ASSERT_TRUE(started) << program << ": error " << GetLastError();
    CloseHandle(server);  // the program holds its own copy, as under IIS

    const fcgi::pair_list ping = {{"REQUEST_METHOD", "GET"}, {"PATH_INFO", "/v2/"}, {"GATEWAY_INTERFACE", "CGI/1.1"}};
    const fcgi::pair_list wrong = {{"REQUEST_METHOD", "DELETE"}, {"PATH_INFO", "/v2/"}};
    // Connections one after another, the second kept for two requests.
    struct Step {
        bool new_connection;
        bool keep;
        const fcgi::pair_list *params;
        const char *has;
    };
    const std::vector<Step> steps = {
        {true, false, &ping, "\r\n\r\n{}\n"},
        {true, true, &wrong, "Status: 405"},
        {false, true, &ping, "\r\n\r\n{}\n"},
        {true, false, &ping, "\r\n\r\n{}\n"},
    };
    HANDLE client = INVALID_HANDLE_VALUE;
    for (const Step &s : steps) {
        if (s.new_connection) {
            if (client != INVALID_HANDLE_VALUE) CloseHandle(client);
            client = connect_client(name);
            ASSERT_NE(client, INVALID_HANDLE_VALUE) << "no connection to the program's pipe";
        }
        ASSERT_TRUE(send(client, request(1, s.keep, *s.params)));
        const std::string out = answer(client);
        EXPECT_NE(out.find(s.has), std::string::npos) << out;
        EXPECT_NE(out.find("Docker-Distribution-API-Version: registry/2.0\r\n"), std::string::npos) << out;
    }
    CloseHandle(client);

    SetEvent(shutdown);
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, 20000), WAIT_OBJECT_0) << "the shutdown event did not end the program";
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(shutdown);
}

}  // namespace

#endif
