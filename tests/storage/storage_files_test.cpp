// Storage engine file primitives: directory chains, listings, whole-file reads, atomic
// whole-file writes, removal, sizes and path joining.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "platform/bv_platform.h"
#include "storage/storage_internal.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace reg_internal;

const std::string S = bv_platform::path_sep_str;
const bool kWindows = bv_platform::path_sep == '\\';

// Names in `dir` as the file system has them, temporary files included.
std::set<std::string> raw_names(const std::string &dir) {
    std::set<std::string> names;
    for (const auto &e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
}

TEST(StorageFiles, Mkdirs) {
    bvtest::TempDir dir;
    const std::string d = dir.str() + S;
    bvtest::write_all(d + "file", "x");
    fs::create_directory(d + "exists");
    struct Case {
        std::string path;
        int result;
        const char *made;  // a directory that must exist afterwards, relative to d
    } cases[] = {
        {d + "exists", 0, "exists"},
        {d + "p" + S + "q" + S, 0, "p/q"},
        {d + "a\\b/c", 0, "a"},          // split at both separators
        {d + "file", 0, nullptr},        // the last name taken by a file: no failure
        {d + "file" + S + "sub", -1, nullptr},
        {"", -1, nullptr},
        {d + std::string(4096 - d.size(), 'z'), -1, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path.substr(0, 200));
        EXPECT_EQ(mkdirs(c.path.c_str()), c.result);
        if (c.made) {
            EXPECT_TRUE(fs::is_directory(d + c.made));
        }
    }
    EXPECT_TRUE(dir_exists((d + "a\\b/c").c_str()));
    EXPECT_TRUE(fs::is_regular_file(d + "file"));
}

// Every entry of a directory, however many, with its name whole: names of mixed lengths make
// the name pool move while it grows.
TEST(StorageFiles, ListDir) {
    bvtest::TempDir dir;
    const std::string d = dir.str() + S;
    dir_listing listing;
    auto names_of = [&] {
        std::set<std::string> seen;
        for (size_t i = 0; i < listing.count(); ++i)
            seen.insert(std::string(listing.name(i)) + (listing.is_dir(i) ? "/" : ""));
        return seen;
    };

    for (const int entries : {0, 1, 600}) {
        SCOPED_TRACE(entries);
        const std::string sub = d + "n" + std::to_string(entries);
        fs::create_directory(sub);
        std::set<std::string> made;
        for (int i = 0; i < entries; ++i) {
            const std::string name = "f" + std::to_string(i) + "-" + std::string(i % 100, 'x');
            bvtest::write_all(sub + S + name, "");
            made.insert(name);
        }
        ASSERT_EQ(list_dir(sub.c_str(), &listing), 0);
        EXPECT_EQ(listing.count(), made.size());
        EXPECT_EQ(names_of(), made);
    }

    // A listing filled before holds only the new directory's entries afterwards, and none
    // after a failure.
    for (const std::string &bad : {d + "missing", d + "file"}) {
        bvtest::write_all(d + "file", "x");
        ASSERT_EQ(list_dir((d + "n600").c_str(), &listing), 0);
        EXPECT_EQ(list_dir(bad.c_str(), &listing), kListUnreadable) << bad;
        EXPECT_EQ(listing.count(), 0u);
    }
    EXPECT_EQ(list_dir(d.c_str(), nullptr), kListUnreadable);

    // Directory flags, and write_file's temporary files left out (directories never are).
    const std::string mixed = d + "mixed";
    fs::create_directories(mixed + S + "sub");
    fs::create_directories(mixed + S + ".~wf-dir");
    bvtest::write_all(mixed + S + "plain", "x");
    bvtest::write_all(mixed + S + ".~wf-1f-0", "half");
    ASSERT_EQ(list_dir((d + "n600").c_str(), &listing), 0);
    ASSERT_EQ(list_dir(mixed.c_str(), &listing), 0);
    EXPECT_EQ(names_of(), (std::set<std::string>{"sub/", ".~wf-dir/", "plain"}));
}

TEST(StorageFiles, ReadFile) {
    bvtest::TempDir dir;
    const std::string f = dir.str() + S + "f";
    std::string body(200, 'r');
    body[3] = '\0';
    body[4] = '\x1a';
    bvtest::write_all(f, body);
    char buf[128];
    size_t len = 0;
    ASSERT_EQ(read_file(f.c_str(), buf, sizeof buf, &len), 0);
    EXPECT_EQ(len, 127u);
    EXPECT_EQ(std::string(buf, len), body.substr(0, 127));
    EXPECT_EQ(buf[127], '\0');
    EXPECT_EQ(read_file(f.c_str(), buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(read_file((f + "x").c_str(), buf, sizeof buf, &len), -1);
    EXPECT_EQ(read_file(dir.str().c_str(), buf, sizeof buf, &len), -1);
}

TEST(StorageFiles, WriteFile) {
    bvtest::TempDir dir;
    const std::string f = dir.str() + S + "f";
    const std::string bytes("a\r\nb\n\x1a\0z", 8);  // no line-end translation, no early end
    const std::string cases[] = {"", bytes, "long content that will be cut back", "short"};
    for (const std::string &c : cases) {
        ASSERT_EQ(write_file(f.c_str(), c.data(), c.size()), 0);
        EXPECT_EQ(bvtest::read_all(f), c);
    }
    EXPECT_EQ(raw_names(dir.str()), std::set<std::string>{"f"});

    // Failures leave what was there and no temporary file.
    fs::create_directory(dir.str() + S + "d");
    EXPECT_EQ(write_file((dir.str() + S + "d").c_str(), "x", 1), -1);
    EXPECT_TRUE(fs::is_directory(dir.str() + S + "d"));
    EXPECT_EQ(write_file((dir.str() + S + "no" + S + "f").c_str(), "x", 1), -1);
    EXPECT_EQ(write_file(f.c_str(), nullptr, 1), -1);
    EXPECT_EQ(raw_names(dir.str()), (std::set<std::string>{"d", "f"}));
    EXPECT_EQ(bvtest::read_all(f), "short");
}

// A write that fails part-way (the file size limit is hit) keeps the old content.
TEST(StorageFiles, FailedWriteKeepsOldContent) {
    if (kWindows) GTEST_SKIP() << "no file size limit to provoke a failing write";
    bvtest::TempDir dir;
    const std::string f = dir.str() + S + "f";
    bvtest::write_all(f, "old");
    const auto r = bvtest::run_program(bvtest::probe_path("storage_core_probe"),
                                       {"write_limited", f, "100000", "4096"});
    EXPECT_EQ(r.out, "-1\n");
    EXPECT_EQ(bvtest::read_all(f), "old");
    EXPECT_EQ(raw_names(dir.str()), std::set<std::string>{"f"});
}

// A reader racing with writers sees one whole version or the other, never a mixture or a cut.
TEST(StorageFiles, ReadersNeverSeeHalfWrites) {
    bvtest::TempDir dir;
    const std::string f = dir.str() + S + "f";
    const std::string a(300000, 'a'), b(200000, 'b');
    ASSERT_EQ(write_file(f.c_str(), a.data(), a.size()), 0);
    std::atomic<bool> done{false};
    std::atomic<int> bad{0};
    std::thread reader([&] {
        auto buf = std::make_unique<char[]>(400000);
        while (!done) {
            size_t len = 0;
            // A replace on Windows may briefly refuse to open; what opens must be whole.
            if (read_file(f.c_str(), buf.get(), 400000, &len) != 0) continue;
            const std::string got(buf.get(), len);
            if (got != a && got != b) ++bad;
        }
    });
    int written = 0;
    for (int i = 0; i < 200; ++i) {
        const std::string &c = i % 2 ? a : b;
        if (write_file(f.c_str(), c.data(), c.size()) == 0) ++written;
    }
    done = true;
    reader.join();
    EXPECT_EQ(bad.load(), 0);
    EXPECT_EQ(written, 200);
}

TEST(StorageFiles, RemoveSizeJoin) {
    bvtest::TempDir dir;
    const std::string d = dir.str() + S;
    bvtest::write_all(d + "f", "abc");
    EXPECT_EQ(file_size((d + "f").c_str()), 3);
    EXPECT_EQ(file_size((d + "missing").c_str()), -1);
    EXPECT_EQ(file_exists((d + "f").c_str()), 1);
    EXPECT_EQ(dir_exists((d + "f").c_str()), 0);
    EXPECT_EQ(file_exists(dir.str().c_str()), 0);
    EXPECT_EQ(dir_exists(dir.str().c_str()), 1);

    EXPECT_EQ(remove_file((d + "f").c_str()), 0);
    EXPECT_FALSE(fs::exists(d + "f"));
    EXPECT_EQ(remove_file((d + "f").c_str()), 0);
    fs::create_directory(d + "sub");
    EXPECT_EQ(remove_file((d + "sub").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(d + "sub"));

    char out[kPathSize];
    path_join(out, sizeof out, ("a" + S).c_str(), "b");
    EXPECT_EQ(std::string(out), "a" + S + S + "b");
    path_join(out, sizeof out, "", "");
    EXPECT_EQ(std::string(out), S);
    path_join(out, 5, "left", "right");
    EXPECT_EQ(std::string(out), "left");

    char *copy = xstrdup("dup");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "dup");
    std::free(copy);
}

}  // namespace
