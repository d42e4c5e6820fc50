// Whole-process time of a CGI program against a baseline program: both are started many
// times, interleaved in rounds so that machine noise hits them alike, and the ratio of their
// total wall-clock times is printed.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs the program once with standard output on /dev/null; returns the elapsed seconds.
double run_once(const char *program, posix_spawn_file_actions_t *actions) {
    char *argv[] = {const_cast<char *>(program), nullptr};
    const auto start = Clock::now();
    pid_t pid;
    if (posix_spawn(&pid, program, actions, nullptr, argv, environ) != 0) {
        std::fprintf(stderr, "ping_bench: cannot start %s\n", program);
        std::exit(1);
    }
    int status;
    waitpid(pid, &status, 0);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "ping_bench: %s failed\n", program);
        std::exit(1);
    }
    return seconds;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3 || std::strcmp(argv[1], "--help") == 0) {
        std::fprintf(stderr, "usage: ping_bench PROGRAM BASELINE [RUNS]\n"
                             "Starts each program RUNS times (default 2000), interleaved, and prints\n"
                             "the ratio of their total whole-process times (PROGRAM / BASELINE).\n");
        return argc < 3 ? 2 : 0;
    }
    const char *program = argv[1];
    const char *baseline = argv[2];
    const int runs = argc > 3 ? std::atoi(argv[3]) : 2000;
    if (runs < 1) {
        std::fprintf(stderr, "ping_bench: RUNS must be positive\n");
        return 2;
    }
    setenv("REQUEST_METHOD", "GET", 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);

    // Warm the page cache and the loader before timing.
    for (int i = 0; i < 20; ++i) {
        run_once(program, &actions);
        run_once(baseline, &actions);
    }
    const int round = 50;
    std::vector<double> program_rounds;
    std::vector<double> baseline_rounds;
    for (int done = 0; done < runs; done += round) {
        const int n = std::min(round, runs - done);
        double p = 0;
        double b = 0;
        for (int i = 0; i < n; ++i) {
            p += run_once(program, &actions);
            b += run_once(baseline, &actions);
        }
        program_rounds.push_back(p / n);
        baseline_rounds.push_back(b / n);
    }
    double p_total = 0;
    double b_total = 0;
    for (double v : program_rounds) p_total += v;
    for (double v : baseline_rounds) b_total += v;
    // The median of per-round ratios resists rounds disturbed by other work on the machine.
    std::vector<double> ratios;
    for (size_t i = 0; i < program_rounds.size(); ++i) ratios.push_back(program_rounds[i] / baseline_rounds[i]);
    std::sort(ratios.begin(), ratios.end());
    std::printf("runs each: %d\n", runs);
    std::printf("%-12s mean %.1f us per process\n", "v2_ping", 1e6 * p_total / static_cast<double>(program_rounds.size()));
    std::printf("%-12s mean %.1f us per process\n", "baseline", 1e6 * b_total / static_cast<double>(baseline_rounds.size()));
    std::printf("ratio (total time): %.3f\n", p_total / b_total);
    std::printf("ratio (median of rounds): %.3f\n", ratios[ratios.size() / 2]);
    posix_spawn_file_actions_destroy(&actions);
    return 0;
}
