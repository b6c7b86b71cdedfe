// Hex dump lines, the directory walk, and the process helpers.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "lib/Process.h"
#include "lib/file.h"
#include "tests/helpers.h"

TEST(HexLine, BytesAndLineEnd)
{
    unsigned char b[] = {0x01, 0xAB};
    char* buf = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&buf, &size);
    EXPECT_EQ(fprinthex(f, b, 2), 7);
    EXPECT_EQ(fprinthex(f, b, 0), 1);
    EXPECT_EQ(fprinthex(f, b, -3), 1);
    fclose(f);
    EXPECT_EQ(std::string(buf, size), "01 AB \n\n\n");
    free(buf);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(printhex(b, 1), 4);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "01 \n");
}

TEST(HexLine, StreamErrorIsMinusOne)
{
    FILE* f = fopen("/dev/full", "w");
    ASSERT_NE(f, nullptr);
    setvbuf(f, nullptr, _IONBF, 0);
    unsigned char b[] = {1};
    EXPECT_EQ(fprinthex(f, b, 1), -1);
    fclose(f);
}

struct Walk {
    std::vector<std::string> names;
    int stopAt = -1; // return 0 at this call (0-based)
};

static int collect(char* name, void* v)
{
    auto* w = static_cast<Walk*>(v);
    w->names.push_back(name);
    return static_cast<int>(w->names.size()) - 1 == w->stopAt ? 0 : 1;
}

class DirWalk : public ::testing::Test {
protected:
    const TempDir tmp;
    const std::string dir = tmp.path();
    void SetUp() override
    {
        for (const char* n : {"a.txt", "data.txt", "c"})
            close(open((dir + "/" + n).c_str(), O_WRONLY | O_CREAT, 0644));
        mkdir((dir + "/sub").c_str(), 0755);
        close(open((dir + "/sub/inner.txt").c_str(), O_WRONLY | O_CREAT, 0644));
        symlink((dir + "/a.txt").c_str(), (dir + "/link-to-a").c_str());
        symlink((dir + "/nowhere").c_str(), (dir + "/dangling").c_str());
        mkfifo((dir + "/fifo").c_str(), 0644);
    }
};

TEST_F(DirWalk, RegularFilesAndLinksToThemOnly)
{
    Walk w;
    EXPECT_EQ(dirMap(dir.c_str(), collect, &w), 4);
    std::set<std::string> got(w.names.begin(), w.names.end());
    EXPECT_EQ(got, (std::set<std::string>{"a.txt", "data.txt", "c", "link-to-a"}));
}

TEST_F(DirWalk, StopsWhenToldAndCountsThatFile)
{
    Walk w;
    w.stopAt = 0;
    EXPECT_EQ(dirMap(dir.c_str(), collect, &w), 1);
    EXPECT_EQ(w.names.size(), 1u);
    Walk w2;
    w2.stopAt = 1;
    EXPECT_EQ(dirMap((dir + "/").c_str(), collect, &w2), 2) << "a trailing slash works the same";
}

TEST_F(DirWalk, SubdirectoriesOnlyAndUnopenable)
{
    const std::string only = dir + "/only";
    mkdir(only.c_str(), 0755);
    mkdir((only + "/x").c_str(), 0755);
    Walk w;
    EXPECT_EQ(dirMap(only.c_str(), collect, &w), 0);
    EXPECT_TRUE(w.names.empty());
    EXPECT_EQ(dirMap((dir + "/missing").c_str(), collect, &w), 0);
    EXPECT_EQ(dirMap((dir + "/a.txt").c_str(), collect, &w), 0);
}

TEST_F(DirWalk, PathsTooLongAreSkippedNotTruncated)
{
    // A directory name of 1000 characters (through nested parts) leaves room
    // for short names only; the 40-character name would not fit in 1023.
    std::string deep = dir;
    while (deep.size() < 990) {
        deep += "/" + std::string(std::min<size_t>(200, 989 - deep.size()), 'd');
        mkdir(deep.c_str(), 0755);
    }
    close(open((deep + "/ok").c_str(), O_WRONLY | O_CREAT, 0644));
    const std::string longName(40, 'n');
    const int fd = open((deep + "/" + longName).c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
    Walk w;
    EXPECT_EQ(dirMap(deep.c_str(), collect, &w), 1);
    EXPECT_EQ(w.names, std::vector<std::string>{"ok"});
}

// ---- Process helpers (each in a child of its own) ---------------------------

TEST(ProcessExec, CoprocessOnStandardDescriptors)
{
    const RunResult r = runInChild([] {
        char path[] = "tr";
        char a0[] = "old", a1[] = "a-z", a2[] = "A-Z";
        char* args[] = {a0, a1, a2, nullptr};
        const pid_t pid = processExec(path, args);
        if (pid <= 0 || std::strcmp(args[0], "tr") != 0)
            return 10;
        printf("hello\n");
        fflush(stdout);
        close(1); // end of the child's input
        char line[64] = {};
        if (fgets(line, sizeof line, stdin) == nullptr)
            return 11;
        int ws = 0;
        waitpid(pid, &ws, 0);
        fprintf(stderr, "%s", line);
        return WIFEXITED(ws) && WEXITSTATUS(ws) == 0 ? 0 : 12;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "HELLO\n");
}

TEST(ProcessExec, MissingProgramChildExitsOne)
{
    const RunResult r = runInChild([] {
        char path[] = "/nonexistent/program";
        char a0[] = "x";
        char* args[] = {a0, nullptr};
        const pid_t pid = processExec(path, args);
        if (pid <= 0)
            return 10;
        int ws = 0;
        waitpid(pid, &ws, 0);
        return WIFEXITED(ws) ? WEXITSTATUS(ws) : 20;
    });
    EXPECT_EQ(r.status, 1);
}

TEST(ProcessExec, NoPipeNoChildNothingChanged)
{
    const RunResult r = runInChild([] {
        // Use up the descriptors so that pipe() fails.
        std::vector<int> fds;
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
            fds.push_back(fd);
        char path[] = "true";
        char a0[] = "x";
        char* args[] = {a0, nullptr};
        const pid_t pid = processExec(path, args);
        for (int fd : fds)
            close(fd);
        printf("still here\n");
        return pid == -1 ? 0 : 10;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "still here\n");
}

TEST(ProcessDaemonize, StandardDescriptorsPointAtRootAndOutputIsFlushed)
{
    const RunResult r = runInChild([] {
        printf("before\n"); // buffered: must still reach the pipe
        processDaemonize();
        struct stat root {
        }, st{};
        const int rootFd = open("/", O_RDONLY | O_CLOEXEC); // as the process sees "/", emulated or not
        fstat(rootFd, &root);
        close(rootFd);
        for (int fd = 0; fd <= 2; fd++) {
            if (fstat(fd, &st) != 0 || st.st_ino != root.st_ino || st.st_dev != root.st_dev)
                return 10 + fd;
        }
        if (write(1, "x", 1) != -1)
            return 20;
        return 0;
    });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "before\n");
}
