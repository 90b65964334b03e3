// Test helpers, Windows part: the processes a test starts end with it.
//
// The test program puts itself into a job that ends its processes when its last handle
// closes. Processes join their parent's job, so every process the test starts, and the ones
// those start, is in it; the one handle is not inheritable, so it closes when the test program
// ends, however it ends. Processes the service manager starts are not the test's and stay out.
#include "platform/win32/windows_lean.h"

#include <cstdio>

#include "tests/support/test_support.h"

namespace keltra::test {

void ContainChildProcesses() {
    HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job == nullptr ||
        !::SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits) ||
        !::AssignProcessToJobObject(job, ::GetCurrentProcess())) {
        std::fprintf(stderr, "test main: no job for the child processes, error %lu\n",
                     ::GetLastError());
    }
    // The handle stays open for the program's life: its close at exit ends the job.
}

int EndStrayProcesses() {
    return 0;  // the job ends them with the program
}

}  // namespace keltra::test
