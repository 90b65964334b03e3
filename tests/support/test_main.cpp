// The main of every test program: runs GoogleTest, or one child-process role when asked.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "text/text.h"

namespace keltra::test {
std::map<std::string, ChildRole>& ChildRoles();
}

namespace {

// After each test, whatever its outcome: no process it started outlives it.
class StrayProcessSweep : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo& test) override {
        if (const int ended = keltra::test::EndStrayProcesses()) {
            std::fprintf(stderr, "%s.%s left %d process(es) running: ended\n",
                         test.test_suite_name(), test.name(), ended);
        }
    }
};

}  // namespace

int main(int argc, char** argv) {
    static const char kChildFlag[] = "--keltra-child=";
    if (argc >= 2 && std::strncmp(argv[1], kChildFlag, sizeof kChildFlag - 1) == 0) {
        const auto it = keltra::test::ChildRoles().find(argv[1] + sizeof kChildFlag - 1);
        if (it == keltra::test::ChildRoles().end()) {
            return 120;
        }
        std::vector<std::wstring> args(argc - 2);
        std::transform(argv + 2, argv + argc, args.begin(), platform::Utf8ToWide);
        return it->second(args);
    }
    testing::InitGoogleTest(&argc, argv);
    keltra::test::ContainChildProcesses();
    testing::UnitTest::GetInstance()->listeners().Append(new StrayProcessSweep);
    return RUN_ALL_TESTS();
}
