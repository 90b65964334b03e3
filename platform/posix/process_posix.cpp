// The POSIX backend's processes: posix_spawn behind waitable handles, reaped by a watcher thread.
//
// Each child gets a detached watcher thread that sleeps in waitid until the child ends. The
// watcher first looks without reaping (WNOWAIT), records the exit under the kernel lock and
// only then reaps, still under the lock: TerminateProcess sends its SIGKILL under the same lock
// and only while the child is not marked ended, so it never reaches a recycled pid.
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/error.h"
#include "platform/handle.h"
#include "platform/posix/kernel_object.h"
#include "platform/process.h"
#include "text/text.h"

extern char** environ;

namespace platform::posix {
namespace {

class ProcessObject final : public SimpleWaitable {
  public:
    explicit ProcessObject(pid_t pid) noexcept : SimpleWaitable(ObjectKind::kProcess), pid(pid) {}

    bool IsSignalledLocked() const noexcept override { return ended; }

    const pid_t pid;
    // Kernel lock:
    bool ended = false;
    std::uint32_t exitCode = kStillActive;
    bool terminated = false;  // TerminateProcess succeeded: its code is the exit code
    std::uint32_t terminateExitCode = 0;
};

// Windows exit codes are 32 bits; a POSIX parent sees 8, or the signal that ended the child.
std::uint32_t ExitCodeFrom(const siginfo_t& info) noexcept {
    switch (info.si_code) {
        case CLD_EXITED:
            return static_cast<std::uint32_t>(info.si_status);
        case CLD_KILLED:
        case CLD_DUMPED:
            return 128u + static_cast<std::uint32_t>(info.si_status);
        default:
            return kErrorInvalidFunction;
    }
}

void WatchChild(std::shared_ptr<ProcessObject> process) {
    siginfo_t info{};
    int result;
    do {
        result = waitid(P_PID, static_cast<id_t>(process->pid), &info, WEXITED | WNOWAIT);
    } while (result != 0 && errno == EINTR);
    KernelLock lock;
    // waitid fails only if someone else reaped the child (SIGCHLD ignored, a stray
    // waitpid(-1)): its status is lost, so report a general failure.
    const std::uint32_t natural = result == 0 ? ExitCodeFrom(info) : kErrorInvalidFunction;
    process->exitCode = process->terminated ? process->terminateExitCode : natural;
    process->ended = true;
    if (result == 0) {
        int status = 0;
        waitpid(process->pid, &status, 0);  // a zombie by now: returns at once
    }
    WakeWaitersLocked(*process);
}

std::mutex& EnvironmentMutex() noexcept {
    static std::mutex* const mutex = new std::mutex;
    return *mutex;
}

}  // namespace
}  // namespace platform::posix

namespace platform {

std::wstring GetExecutablePath() {
    posix::TerminationDeferral deferral;
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) {
            SetLastError(ErrorFromErrno(errno));
            return {};
        }
        if (static_cast<std::size_t>(length) < buffer.size()) {
            return Utf8ToWide(std::string_view(buffer.data(), static_cast<std::size_t>(length)));
        }
        buffer.resize(buffer.size() * 2);
    }
}

Handle StartProcess(const std::wstring& program, const std::vector<std::wstring>& args) {
    posix::TerminationDeferral deferral;
    std::vector<std::string> utf8;
    utf8.reserve(args.size() + 1);
    utf8.push_back(WideToUtf8(program));
    for (const std::wstring& arg : args) {
        utf8.push_back(WideToUtf8(arg));
    }
    std::vector<char*> argv;
    for (std::string& arg : utf8) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    // The child starts with no signal blocked, whatever the calling thread blocks.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    int error = 0;
    {
        // setenv may move environ while the child's copy is being made.
        std::lock_guard<std::mutex> lock(posix::EnvironmentMutex());
        error = posix_spawn(&pid, utf8[0].c_str(), nullptr, &attr, argv.data(), environ);
    }
    posix_spawnattr_destroy(&attr);
    if (error != 0) {
        SetLastError(ErrorFromErrno(error));
        return nullptr;
    }

    auto process = std::make_shared<posix::ProcessObject>(pid);
    UniqueHandle handle(posix::InsertHandle(process));
    if (handle) {
        try {
            std::thread(posix::WatchChild, process).detach();
            return handle.Release();
        } catch (const std::system_error& e) {
            handle.Reset();
            SetLastError(ErrorFromErrno(e.code().value()));
        }
    }
    // Not watched: end and reap the child here rather than leave it unmanaged.
    kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return nullptr;
}

bool GetExitCodeProcess(Handle process, std::uint32_t* exitCode) noexcept {
    posix::TerminationDeferral deferral;
    if (exitCode == nullptr) {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    auto object = posix::LookupHandleAs<posix::ProcessObject>(process, posix::ObjectKind::kProcess);
    if (!object) {
        return false;
    }
    posix::KernelLock lock;
    *exitCode = object->ended ? object->exitCode : kStillActive;
    return true;
}

bool TerminateProcess(Handle process, std::uint32_t exitCode) noexcept {
    posix::TerminationDeferral deferral;
    auto object = posix::LookupHandleAs<posix::ProcessObject>(process, posix::ObjectKind::kProcess);
    if (!object) {
        return false;
    }
    posix::KernelLock lock;
    if (object->ended) {
        SetLastError(kErrorAccessDenied);  // what Windows says for a process that has ended
        return false;
    }
    if (!object->terminated) {
        object->terminated = true;
        object->terminateExitCode = exitCode;
    }
    kill(object->pid, SIGKILL);
    return true;
}

std::wstring GetEnvironmentVariable(const wchar_t* name) {
    posix::TerminationDeferral deferral;
    if (name == nullptr) {
        return {};
    }
    const std::string key = WideToUtf8(name);
    std::lock_guard<std::mutex> lock(posix::EnvironmentMutex());
    const char* value = std::getenv(key.c_str());
    return value != nullptr ? Utf8ToWide(value) : std::wstring();
}

bool SetEnvironmentVariable(const wchar_t* name, const wchar_t* value) noexcept {
    posix::TerminationDeferral deferral;
    if (name == nullptr || *name == L'\0') {
        SetLastError(kErrorInvalidParameter);
        return false;
    }
    try {
        const std::string key = WideToUtf8(name);
        std::lock_guard<std::mutex> lock(posix::EnvironmentMutex());
        const int result = value != nullptr ? setenv(key.c_str(), WideToUtf8(value).c_str(), 1)
                                            : unsetenv(key.c_str());
        if (result != 0) {
            SetLastError(ErrorFromErrno(errno));
            return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        SetLastError(kErrorNotEnoughMemory);
        return false;
    }
}

}  // namespace platform
