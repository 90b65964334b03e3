// Test helpers, POSIX part: the processes a test starts end with it.
//
// This process becomes the reaper of its orphaned descendants (PR_SET_CHILD_SUBREAPER): a
// grandchild whose parent ended is reparented here rather than to init, so that one sweep over
// this process's children reaches every process the test left behind.
#include <dirent.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/test_support.h"

namespace keltra::test {
namespace {

// The children of this process that have not ended (zombies are left to whoever waits for
// them: the platform layer's watcher threads, or this process's exit).
std::vector<pid_t> LiveChildren() {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return children;
    }
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string line;
        std::getline(stat, line);
        // "pid (name) state ppid ...": the name may hold blanks and parentheses.
        const std::size_t close = line.rfind(')');
        char state = 0;
        long parent = 0;
        if (close != std::string::npos &&
            std::sscanf(line.c_str() + close + 1, " %c %ld", &state, &parent) == 2 &&
            parent == self && state != 'Z' && state != 'X') {
            children.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
    return children;
}

}  // namespace

void ContainChildProcesses() {
    (void)prctl(PR_SET_CHILD_SUBREAPER, 1);
}

int EndStrayProcesses() {
    int ended = 0;
    // Each round ends the children left; their own children come here as they die. Bounded:
    // a tree deeper than this is no test's.
    for (int round = 0; round < 32; ++round) {
        const std::vector<pid_t> children = LiveChildren();
        if (children.empty()) {
            break;
        }
        for (const pid_t pid : children) {
            (void)kill(pid, SIGKILL);
        }
        for (const pid_t pid : children) {
            // Waits without reaping: the platform layer's watcher of that child reaps it.
            siginfo_t info{};
            while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0 &&
                   errno == EINTR) {
            }
        }
        ended += static_cast<int>(children.size());
    }
    return ended;
}

}  // namespace keltra::test
