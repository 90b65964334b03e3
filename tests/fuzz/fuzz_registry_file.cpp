// Fuzz target: the registry file. Any bytes are read or refused safely: a refusal names a line
// of the file and a reason; what is read writes back to the same registry, and writing it is
// stable; and the POSIX registry, given the same bytes as its file, refuses them with the same
// reason or opens every key and hands out every value within the caller's buffers.
//
// The first byte picks a head start, so that the fuzzer needs no corpus: bit 0 puts a header
// and a section before the rest, bit 1 makes that file UTF-16LE. The next bytes size the
// enumeration buffers.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/process.h"
#include "platform/registry.h"
#include "platform/registry_file_parser.h"
#include "platform/registry_file_writer.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz_registry_file: %s\n", what);
        std::abort();
    }
}

Bytes Input(const std::uint8_t* data, std::size_t size) {
    const char head[] = "Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL_MACHINE\\K]\r\n";
    Bytes out;
    if ((data[0] & 2) != 0) {
        out = {0xFF, 0xFE};
    }
    for (const char* c = head; (data[0] & 1) != 0 && *c != '\0'; ++c) {
        out.push_back(static_cast<std::uint8_t>(*c));
        if ((data[0] & 2) != 0) {
            out.push_back(0);
        }
    }
    out.insert(out.end(), data + 1, data + size);
    return out;
}

// Reads every value of every key through the POSIX registry, each into exact-size heap buffers
// (so the sanitizers see a write past them) whose capacities come from sizes.
void ReadThroughTheRegistry(const platform::regfile::Document& doc, const std::uint8_t* sizes,
                            std::size_t count) {
    std::size_t next = 0;
    auto size = [&](std::uint32_t limit) {
        return count == 0 ? 0 : static_cast<std::uint32_t>(sizes[next++ % count] % limit);
    };
    for (const platform::regfile::Key& k : doc.Keys()) {
        platform::UniqueRegKey key;
        Check(platform::RegOpenKeyEx(platform::HkeyLocalMachine(), k.path.c_str(), 0,
                                     platform::kKeyRead, key.Receive()) == 0,
              "a key of an accepted file does not open");
        for (std::uint32_t i = 0;; ++i) {
            std::uint32_t nameChars = 1 + size(16);
            std::uint32_t dataBytes = size(48);
            auto name = std::make_unique<wchar_t[]>(nameChars);
            auto data = std::make_unique<std::uint8_t[]>(dataBytes);
            const std::uint32_t nameCap = nameChars;
            const std::uint32_t dataCap = dataBytes;
            const platform::ErrorCode r = platform::RegEnumValue(
                key.Get(), i, name.get(), &nameChars, nullptr, data.get(), &dataBytes);
            if (r == platform::kErrorNoMoreItems) {
                Check(i == k.values.size(), "enumeration ends early or late");
                break;
            }
            Check(r == 0 || r == platform::kErrorMoreData, "enumeration fails");
            Check(i < k.values.size() && dataBytes == k.values[i].data.size(), "wrong size");
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    const Bytes bytes = Input(data, size > 8 ? size - 8 : size);
    const std::uint8_t* sizes = size > 8 ? data + size - 8 : data;
    // An exact-size heap copy, so that the sanitizers catch any read past the end.
    auto exact = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), exact.get());
    platform::regfile::Document doc;
    platform::regfile::ParseError error;
    const bool accepted = platform::regfile::Parse(exact.get(), bytes.size(), &doc, &error);
    std::ofstream(g_file, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    platform::UniqueRegKey root;
    const platform::ErrorCode opened = platform::RegOpenKeyEx(
        platform::HkeyLocalMachine(), nullptr, 0, platform::kKeyRead, root.Receive());
    if (!accepted) {
        std::size_t lines = 1;
        for (std::uint8_t b : bytes) {
            lines += b == '\n' || b == '\r';
        }
        Check(error.line >= 1 && error.line <= lines, "refusal names no line of the file");
        Check(!error.message.empty(), "refusal without a reason");
        Check(opened == platform::kErrorInvalidData &&
                  platform::RegistryFileError() ==
                      platform::regfile::DescribeError(platform::Utf8ToWide(g_file), error),
              "the registry refuses the file differently");
        return 0;
    }
    Check(opened == 0, "the registry refuses an accepted file");
    const Bytes written = platform::regfile::Serialize(doc);
    platform::regfile::Document back;
    Check(platform::regfile::Parse(written.data(), written.size(), &back, &error),
          "what was written cannot be read");
    Check(platform::regfile::Serialize(back) == written, "written registry reads back different");
    ReadThroughTheRegistry(doc, sizes, size > 8 ? 8 : 0);
    return 0;
}
