// Sends one control through the service's control channel (as the tests' other users would):
//   control_client NAME CONTROL   prints the handler's result; the exit code is the error.
#include <cstdio>
#include <cstdlib>

#include "platform/posix/control_channel_posix.h"
#include "platform/text.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        return 87;
    }
    std::uint32_t result = 0;
    const std::uint32_t error = platform::posix::SendControlRequest(
        platform::Utf8ToWide(argv[1]).c_str(),
        static_cast<std::uint32_t>(std::strtoul(argv[2], nullptr, 10)), 0, &result, 60000);
    std::printf("%u\n", result);
    return static_cast<int>(error);
}
