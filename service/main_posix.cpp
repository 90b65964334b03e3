// The POSIX entry: the arguments as wide text, then the same process entry as on Windows.
#include <string>
#include <vector>

#include "platform/stop_signals.h"
#include "text/text.h"

int wmain(int argc, wchar_t** argv, wchar_t** envp);

int main(int argc, char** argv) {
    // A stop request is never a crash: held until the service, the foreground host or an
    // administration command has taken charge of it, never met by the crash handler first.
    platform::HoldStopSignals();
    std::vector<std::wstring> wide;
    for (int i = 0; i < argc; ++i) {
        wide.push_back(platform::Utf8ToWide(argv[i]));
    }
    std::vector<wchar_t*> pointers;
    for (std::wstring& arg : wide) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    return wmain(argc, pointers.data(), nullptr);
}
