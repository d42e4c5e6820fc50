// Test helpers shared by every suite: running a program as a child process with a controlled
// environment and standard input, capturing its output and exit status; scratch directories;
// storage trees made as an operator makes them.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace bvtest {

// A variable to set (value) or to remove (nullopt) in the child's environment.
using EnvChange = std::pair<std::string, std::optional<std::string>>;

struct ProcessResult {
    int exit_code = -1;   // -1 when the child did not exit normally
    std::string out;      // standard output, byte for byte
};

// Runs `program` with `args`, the parent's environment changed by `env`, `stdin_data` on its
// standard input and `cwd` as working directory (empty: the parent's).
ProcessResult run_program(const std::string &program, const std::vector<std::string> &args,
                          const std::vector<EnvChange> &env = {},
                          const std::string &stdin_data = {},
                          const std::filesystem::path &cwd = {});

// Full path of a probe program (tests/probes/NAME.cpp) or of a project program.
std::string probe_path(const std::string &name);
std::string program_path(const std::string &name);

// A fresh, empty directory below the system's temporary directory, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::filesystem::path &path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// Makes the storage tree at `root` as an operator does before the first start, by running the
// registry-init command: endpoint programs and commands open only a tree that is there. Fails
// the current test (non-fatally) when the command fails.
void make_storage_tree(const std::filesystem::path &root);

// Every regular file below `dir`, by its path relative to `dir`, and the removal of `dir` with
// all it holds (false when something stays). Both go through the platform layer, as the engine
// does: std::filesystem's directory walk stops at 260 characters on Windows, and the storage's
// deepest names (referrer links of sha512 manifests) are longer.
std::vector<std::string> files_below(const std::filesystem::path &dir);
bool remove_tree(const std::filesystem::path &dir);

// Whole-file helpers for arranging and checking files in tests.
std::string read_all(const std::filesystem::path &path);
void write_all(const std::filesystem::path &path, const std::string &data);

}  // namespace bvtest
