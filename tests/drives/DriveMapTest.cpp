#include "platform/drives/DriveDirs.h"
#include "platform/drives/DriveMap.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <filesystem>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

std::string Cwd() {
    return fs::current_path().string();
}

std::vector<std::string> Letters(const TDriveMap& M) {
    std::vector<std::string> out;
    for (auto& e : M.Entries)
        out.push_back(std::string(1, e.Letter) + "=" + e.Root);
    return out;
}

// Two drives on a temporary tree, with the process's directory and the drive state put back after.
class DriveFixture : public testing::Test {
  protected:
    void SetUp() override {
        FOld = Cwd();
        for (const char* d : {"c/a/b", "c/Foo", "c/FOO", "c/bar/Deep", "c/.hidden", "d/x/y", "d/q"})
            fs::create_directories(FTmp.Path() / d);
        Spit(FTmp.File("c/file"), "not a directory");
        SetDriveMapOverride(std::vector<TDriveMapEntry>{{'C', FTmp.File("c")}, {'D', FTmp.File("d") + "/"}});
        ResetDriveDirectories();
        SetCurrentDir("c:\\");
    }
    void TearDown() override {
        fs::current_path(FOld);
        SetDriveMapOverride(std::nullopt);
        ResetDriveDirectories();
    }
    std::string C(const std::string& Rel = "") const {
        return FTmp.File("c") + (Rel.empty() ? "" : "/" + Rel);
    }

    TempDir FTmp;
    std::string FOld;
};

} // namespace

TEST(DriveMapTable, EntriesAndProblems) {
    TDriveMap m;
    ParseDriveEntries("D=/mnt/data; e = /srv ;X=relative;1=/a;DD=/b;d=/other;F=;noequals;;", ';',
                      "TOLVANE_DRIVES", m);
    EXPECT_EQ(Letters(m), (std::vector<std::string>{"D=/mnt/data", "E=/srv"}));
    ASSERT_EQ(m.Problems.size(), 6u);
    EXPECT_NE(m.Problems[0].find("TOLVANE_DRIVES entry 3"), std::string::npos) << m.Problems[0];
    EXPECT_NE(m.Problems[0].find("absolute"), std::string::npos);
    EXPECT_NE(m.Problems[3].find("already mapped"), std::string::npos) << m.Problems[3];
    EXPECT_NE(m.Problems[5].find("\"noequals\""), std::string::npos) << m.Problems[5];

    TDriveMap f;
    ParseDriveEntries("# drives\r\nH = /home\r\n  # more\r\nh=/again\r\n", '\n', "drives.conf", f);
    EXPECT_EQ(Letters(f), (std::vector<std::string>{"H=/home"}));
    ASSERT_EQ(f.Problems.size(), 1u);
    EXPECT_NE(f.Problems[0].find("drives.conf line 4"), std::string::npos) << f.Problems[0];
}

TEST(DriveMapTable, SourcesPrecedenceDefaultAndCanonicalRoots) {
    TempDir t;
    fs::create_directories(t.Path() / "real");
    fs::create_directory_symlink(t.Path() / "real", t.Path() / "link");
    Spit(t.File("drives.conf"), "E=/from-file\nC=" + t.File("link") + "/\n");
    struct Case {
        std::optional<std::string> Env;
        std::string File;
        std::vector<std::string> Expected;
        size_t Problems;
    } cases[] = {
        {std::nullopt, "", {"C=/"}, 0},
        {std::nullopt, t.File("missing.conf"), {"C=/"}, 0},
        // The environment wins; the file's second E is reported.
        {"E=/from-env", t.File("drives.conf"), {"C=" + t.File("real"), "E=/from-env"}, 1},
        {"C=/srv/../srv", "", {"C=/srv"}, 0},
    };
    for (auto& c : cases) {
        TDriveMap m = BuildDriveMap({c.Env, c.File});
        EXPECT_EQ(Letters(m), c.Expected) << c.File;
        EXPECT_EQ(m.Problems.size(), c.Problems) << c.File;
    }
    // A directory where the file should be is reported, and the default still stands.
    TDriveMap m = BuildDriveMap({std::nullopt, t.File("real")});
    EXPECT_EQ(Letters(m), (std::vector<std::string>{"C=/"}));
    EXPECT_EQ(m.Problems.size(), 1u);
}

TEST(DrivePathTable, ParseAndDrivePathOf) {
    struct Parse {
        const char* In;
        std::optional<std::string> Out;
    } parses[] = {
        {"c:", "C:\\"},          {"C:\\", "C:\\"},
        {"d:/a/b/", "D:\\a\\b"}, {"c:\\a\\.\\b\\..\\c", "C:\\a\\c"},
        {"c:\\..\\..", "C:\\"},  {"c:a", std::nullopt},
        {"1:\\", std::nullopt},  {"\\a", std::nullopt},
        {"", std::nullopt},
    };
    for (auto& p : parses) {
        auto r = ParseFullDrivePath(p.In);
        EXPECT_EQ(r ? std::optional<std::string>(r->Text()) : std::nullopt, p.Out) << p.In;
    }

    TDriveMap m{{{'C', "/"}, {'D', "/home/me"}, {'E', "/home/me"}, {'F', "/srv"}}, {}};
    struct Of {
        const char* Path;
        char Preferred;
        std::optional<std::string> Out;
    } ofs[] = {
        {"/home/me/src", 0, "D:\\src"},   // the longest root, the lowest letter of equal ones
        {"/home/me/src", 'E', "E:\\src"}, // the current drive when it holds the path
        {"/home/me/src", 'C', "C:\\home\\me\\src"},
        {"/home/meadow", 0, "C:\\home\\meadow"}, // a root matches whole names only
        {"/srv", 'D', "F:\\"},
        {"/a\\b", 0, std::nullopt}, // cannot be written in drive form
        {"relative", 0, std::nullopt},
    };
    for (auto& o : ofs) {
        auto r = DrivePathOf(o.Path, m, o.Preferred);
        EXPECT_EQ(r ? std::optional<std::string>(r->Text()) : std::nullopt, o.Out) << o.Path;
    }
    EXPECT_FALSE(DrivePathOf("/x", TDriveMap{{{'D', "/home"}}, {}}));
}

TEST(DrivePathTable, MatchNameExactThenFirstInSortedOrder) {
    const std::vector<std::string> names{"foo", "Foo", "FOO", "bar"};
    EXPECT_EQ(MatchName(names, "Foo", AsciiFold), "Foo");
    EXPECT_EQ(MatchName(names, "fOO", AsciiFold), "FOO");
    EXPECT_EQ(MatchName({"Bar", "bAR"}, "bar", AsciiFold), "Bar");
    EXPECT_EQ(MatchName(names, "baz", AsciiFold), std::nullopt);
}

TEST_F(DriveFixture, ExpandAgainstCurrentDirectories) {
    SetCurrentDir("c:\\a\\b");
    struct Case {
        const char* In;
        std::string Out;
    } cases[] = {
        {"x", "C:\\a\\b\\x"}, {"..\\y", "C:\\a\\y"}, {"\\z", "C:\\z"},          {"/z/./w", "C:\\z\\w"},
        {"c:", "C:\\a\\b"},   {"d:q", "D:\\q"},      {"D:\\q\\..\\r", "D:\\r"},
    };
    for (auto& c : cases)
        EXPECT_EQ(ExpandDrivePath(c.In).Text(), c.Out) << c.In;
    for (std::string bad : {std::string(), std::string("1:\\a"), std::string("a\0b", 3)})
        EXPECT_THROW(ExpandDrivePath(bad), EDriveError) << bad;
}

TEST_F(DriveFixture, ResolvesForcedCaseNamesBackToTheDisk) {
    TDriveMap m = CurrentDriveMap();
    struct Case {
        const char* In;
        std::string Linux;
    } cases[] = {
        {"c:\\Foo", "Foo"}, // exact first
        {"c:\\foo", "FOO"}, // else the first in sorted order of the names equal without case
        {"c:\\BAR\\deep", "bar/Deep"},
        {"c:\\.HIDDEN", ".hidden"}, // hidden names are not shown, but can be named
    };
    for (auto& c : cases) {
        TResolvedPath r = ResolveDrivePath(*ParseFullDrivePath(c.In), m, AsciiFold);
        EXPECT_EQ(r.LinuxPath, C(c.Linux)) << c.In;
        EXPECT_EQ(LinuxPathOf(r.Real, m), r.LinuxPath);
    }
    for (const char* bad : {"c:\\nope", "c:\\file", "c:\\a\\nope\\b", "q:\\"})
        EXPECT_THROW(ResolveDrivePath(*ParseFullDrivePath(bad), m, AsciiFold), EDriveError) << bad;
}

TEST_F(DriveFixture, DrivesKeepTheirOwnCurrentDirectory) {
    EXPECT_EQ(SetCurrentDir("D:\\X\\Y").Real.Text(), "D:\\x\\y");
    EXPECT_EQ(CurrentDrive(), 'D');
    SetCurrentDir("c:\\bar\\DEEP");
    EXPECT_EQ(GetCurrentDir(), "C:\\bar\\Deep");
    EXPECT_EQ(Cwd(), C("bar/Deep"));

    SetCurrentDrive('d');
    EXPECT_EQ(GetCurrentDir(), "D:\\x\\y");
    SetCurrentDrive('C');
    EXPECT_EQ(GetCurrentDir(), "C:\\bar\\Deep");

    // A letter the map does not hold, and a directory that is not there, change nothing.
    EXPECT_THROW(SetCurrentDrive('Q'), EDriveError);
    EXPECT_THROW(SetCurrentDrive('1'), EDriveError);
    EXPECT_THROW(SetCurrentDir("d:\\missing"), EDriveError);
    EXPECT_EQ(GetCurrentDir(), "C:\\bar\\Deep");
    EXPECT_EQ(CurrentDrive(), 'C');

    // The directory remembered for D went away: the drive's root instead.
    fs::remove_all(FTmp.Path() / "d/x");
    SetCurrentDrive('D');
    EXPECT_EQ(GetCurrentDir(), "D:\\");
}

TEST_F(DriveFixture, ListsSubdirectoriesOnly) {
    fs::create_directory_symlink(C("a"), C("LinkToA"));
    fs::create_directory(C("back\\slash"));
    auto l = ListSubdirectories(C());
    std::sort(l.Names.begin(), l.Names.end());
    EXPECT_EQ(l.Names, (std::vector<std::string>{"FOO", "Foo", "LinkToA", "a", "bar"}));
    EXPECT_EQ(l.Error, 0);
    auto missing = ListSubdirectories(C("nope"));
    EXPECT_EQ(missing.Error, ENOENT);
    EXPECT_TRUE(missing.Names.empty());
}

// Root reads any directory, so the unreadable case runs in a child that has given up root.
TEST_F(DriveFixture, UnreadableDirectoryListsNothing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
    fs::permissions(FTmp.Path(), fs::perms::all, fs::perm_options::replace);
    fs::permissions(C(), fs::perms::owner_all | fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::replace);
    fs::permissions(C("a"), fs::perms::none, fs::perm_options::replace);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
        auto l = ListSubdirectories(C("a"));
        auto top = ListSubdirectories(C());
        bool ok = l.Error == EACCES && l.Names.empty() && top.Error == 0 && !top.Names.empty();
        ::_exit(ok ? 0 : 11);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    fs::permissions(C("a"), fs::perms::owner_all, fs::perm_options::replace);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// The current drive and directories are one process-wide state: threads that change and read it at
// once always see a whole directory.
TEST_F(DriveFixture, ThreadsSeeWholeDirectories) {
    std::atomic<int> odd{0};
    auto worker = [&](const char* Path) {
        for (int i = 0; i < 200; ++i) {
            SetCurrentDir(Path);
            const std::string now = GetCurrentDir();
            if (now != "C:\\a\\b" && now != "D:\\x\\y") ++odd;
        }
    };
    std::thread a(worker, "c:\\a\\b"), b(worker, "d:\\x\\y");
    a.join();
    b.join();
    EXPECT_EQ(odd.load(), 0);
}
