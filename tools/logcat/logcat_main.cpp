// keltra-logcat: prints a trace log file (UTF-16LE) as UTF-8, optionally following it.
//
//   keltra-logcat [-f] [-l LEVEL] FILE
//     -f        keep printing lines as they are written, also after the file is emptied
//     -l LEVEL  show only records of this level's rank and above: V, D, I, W or E
//   Exit code 0; 1 when the file cannot be read or is not a trace log (standard error says
//   why); 2 for a usage error.
#include <cstdio>
#include <string>
#include <string_view>

#include "diagnostics/log_reader.h"
#include "platform/error.h"
#include "text/text.h"

namespace {

int Usage() {
    std::fputs(
        "usage: keltra-logcat [-f] [-l V|D|I|W|E] FILE\n"
        "  Prints a trace log as UTF-8 text.\n"
        "  -f        follow: print lines as they are written (also after the file is emptied)\n"
        "  -l LEVEL  only records of that level's rank and above (V 0, D 1, I 2, W 3, E 4)\n",
        stderr);
    return 2;
}

void Write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
    logfilesync::LogFollowOptions options;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-f") {
            options.follow = true;
        } else if (arg == "-l" && i + 1 < argc) {
            const std::string_view level = argv[++i];
            if (level.size() != 1 ||
                std::string_view("VDIWE").find(level[0]) == std::string_view::npos) {
                std::fprintf(stderr, "keltra-logcat: unknown level '%s'\n", argv[i]);
                return Usage();
            }
            options.minRank = logfilesync::DefaultLevelRank(static_cast<char32_t>(level[0]));
        } else if (arg == "-h" || arg == "--help") {
            Usage();
            return 0;
        } else if (!arg.empty() && arg[0] == '-' && arg != "-") {
            std::fprintf(stderr, "keltra-logcat: unknown option '%s'\n", argv[i]);
            return Usage();
        } else if (path.empty()) {
            path = arg;
        } else {
            return Usage();
        }
    }
    if (path.empty()) {
        return Usage();
    }
    const std::wstring widePath = platform::Utf8ToWide(path);
    const platform::ErrorCode error = logfilesync::FollowLogFile(
        widePath.c_str(), options, [](std::string_view text) { Write(stdout, text); },
        [](std::string_view text) {
            Write(stderr, "keltra-logcat: ");
            Write(stderr, text);
        });
    if (error == platform::kErrorInvalidData) {
        return 1;  // the notice said what is wrong with the file
    }
    if (error != 0) {
        std::fprintf(stderr, "keltra-logcat: cannot read %s (error %u)\n", path.c_str(),
                     static_cast<unsigned>(error));
        return 1;
    }
    return 0;
}
