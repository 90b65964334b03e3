// Standard input lines, the portable part: cutting bytes into lines and handing them over.
#include "platform/standard_input.h"

namespace platform {
namespace {

void Emit(StandardInputLines::Shared* shared, const std::string& line, bool end) {
    std::lock_guard<std::mutex> hold(shared->lock);
    if (!shared->stopped) {
        shared->sink(line, end);
    }
}

}  // namespace

StandardInputLines::~StandardInputLines() {
    Stop();
}

void StandardInputLines::Feed(Shared* shared, std::string* pending, const char* bytes,
                              std::size_t count) {
    pending->append(bytes, count);
    for (std::size_t newline; (newline = pending->find('\n')) != std::string::npos;) {
        std::string line = pending->substr(0, newline);
        pending->erase(0, newline + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        Emit(shared, line, false);
    }
}

void StandardInputLines::Finish(Shared* shared, std::string* pending) {
    if (!pending->empty()) {
        Emit(shared, *pending, false);
        pending->clear();
    }
    Emit(shared, std::string(), true);
}

}  // namespace platform
