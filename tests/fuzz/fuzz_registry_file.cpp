// Fuzz target: the registry file. Any bytes are read or refused safely: a refusal names a line
// of the file and a reason; what is read writes back to the same registry, and writing it is
// stable; and the POSIX registry, given the same bytes as its file, refuses them with the same
// reason or opens every key and hands out every value within the caller's buffers.
//
// The first byte picks a head start, so that the fuzzer needs no corpus: bit 0 puts a header
// and a section before the rest, bit 1 makes that file UTF-16LE. The input's bytes, in turn,
// also size the enumeration buffers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/thread.h"
#include "regfile/registry_file_parser.h"
#include "regfile/registry_file_writer.h"
#include "text/text.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace regfile = platform::regfile;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_registry_file: %s\n", what);
        std::abort();
    }
}

Bytes Input(const std::uint8_t* data, std::size_t size) {
    const bool utf16 = (data[0] & 2) != 0;
    Bytes out = utf16 ? Bytes{0xFF, 0xFE} : Bytes{};
    for (const char* c = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";
         (data[0] & 1) != 0 && *c != '\0'; ++c) {
        out.insert(out.end(), utf16 ? 2 : 1, static_cast<std::uint8_t>(*c));
        out.back() = utf16 ? 0 : out.back();
    }
    out.insert(out.end(), data + 1, data + size);
    return out;
}

// Reads every value of every key through the POSIX registry, each into exact-size heap buffers
// (so the sanitizers see a write past them) whose capacities come from sizes.
void ReadThroughTheRegistry(const regfile::Document& doc, const std::uint8_t* sizes,
                            std::size_t count) {
    std::size_t next = 0;
    auto size = [&](std::uint32_t limit) { return sizes[next++ % count] % limit; };
    for (const regfile::Key& k : doc.Keys()) {
        platform::UniqueRegKey key;
        Check(platform::RegOpenKeyEx(platform::HkeyLocalMachine(), k.path.c_str(), 0,
                                     platform::kKeyRead, key.Receive()) == 0,
              "a key of an accepted file does not open");
        for (std::uint32_t i = 0;; ++i) {
            const std::uint32_t nameCap = 1 + size(16), dataCap = size(48);
            std::uint32_t nameChars = nameCap, dataBytes = dataCap;
            auto name = std::make_unique<wchar_t[]>(nameCap);
            auto data = std::make_unique<std::uint8_t[]>(dataCap);
            const platform::ErrorCode r = platform::RegEnumValue(
                key.Get(), i, name.get(), &nameChars, nullptr, data.get(), &dataBytes);
            if (r == platform::kErrorNoMoreItems) {
                Check(i == k.values.size(), "enumeration ends early or late");
                break;
            }
            Check((r == 0 || r == platform::kErrorMoreData) && i < k.values.size() &&
                      dataBytes == k.values[i].data.size(),
                  "enumeration fails or reports a wrong size");
            Check(r != 0 || (nameChars < nameCap && dataBytes <= dataCap), "buffer overrun");
        }
    }
}

std::string g_file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_file = (std::filesystem::temp_directory_path() /
              ("fuzz_registry_file-" + std::to_string(platform::GetCurrentProcessId()) + ".reg"))
                 .string();
    Check(platform::SetEnvironmentVariable(L"KELTRA_REGISTRY_FILE",
                                           platform::Utf8ToWide(g_file).c_str()),
          "cannot point the registry at its file");
    std::atexit([] { std::filesystem::remove(g_file); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const Bytes bytes = Input(data, size);
    // An exact-size heap copy, so that the sanitizers catch any read past the end.
    auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), exact.get());
    regfile::Document doc;
    regfile::ParseError error;
    const bool accepted = regfile::Parse(exact.get(), bytes.size(), &doc, &error);
    std::ofstream(g_file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    platform::UniqueRegKey root;
    const platform::ErrorCode opened = platform::RegOpenKeyEx(
        platform::HkeyLocalMachine(), nullptr, 0, platform::kKeyRead, root.Receive());
    if (!accepted) {
        const auto ends = std::count_if(bytes.begin(), bytes.end(),
                                        [](std::uint8_t b) { return b == '\n' || b == '\r'; });
        Check(error.line >= 1 && error.line <= 1 + static_cast<std::size_t>(ends) &&
                  !error.message.empty(),
              "a refusal names no line of the file, or no reason");
        Check(opened == platform::kErrorInvalidData &&
                  platform::RegistryFileError() ==
                      regfile::DescribeError(platform::Utf8ToWide(g_file), error),
              "the registry refuses the file differently");
        return 0;
    }
    Check(opened == 0, "the registry refuses an accepted file");
    const Bytes written = regfile::Serialize(doc);
    regfile::Document back;
    Check(regfile::Parse(written.data(), written.size(), &back, &error) &&
              regfile::Serialize(back) == written,
          "what was written reads back different");
    ReadThroughTheRegistry(doc, data, size);
    return 0;
}
