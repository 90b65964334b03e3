// Cost of the synchronisation layer's hand-offs, each as a ratio against a baseline measured
// in the same run:
//   - an event ping-pong between two threads (two auto-reset events, as the executive hands a
//     request to a handler thread and waits for its completion event) vs the same ping-pong
//     over a std::mutex and std::condition_variable;
//   - a thread-message round trip (post, GetMessage on the other thread, post back) vs a
//     mutex-and-condition-variable queue doing the same.
// Counters: subject_ns and baseline_ns per round trip, ratio = subject / baseline.
#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/event.h"
#include "platform/handle.h"
#include "platform/message_queue.h"
#include "platform/thread.h"
#include "platform/wait.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kRequest = 0x40C;
constexpr std::uint32_t kStop = 0x40A;

double Nanos(Clock::duration d, std::int64_t n) {
    return std::chrono::duration<double, std::nano>(d).count() / static_cast<double>(n);
}

// --- Event ping-pong -------------------------------------------------------------------

struct EventPair {
    platform::UniqueHandle ping{platform::CreateEvent(false, false)};
    platform::UniqueHandle pong{platform::CreateEvent(false, false)};
    std::int64_t rounds = 0;
};

std::uint32_t EventEcho(void* argument) {
    auto* pair = static_cast<EventPair*>(argument);
    for (std::int64_t i = 0; i < pair->rounds; ++i) {
        (void)platform::WaitForSingleObject(pair->ping.Get(), platform::kInfinite);
        platform::SetEvent(pair->pong.Get());
    }
    return 0;
}

double EventPingPongNanos(std::int64_t rounds) {
    EventPair pair;
    pair.rounds = rounds;
    platform::UniqueHandle echo(platform::BeginThread(&EventEcho, &pair, nullptr));
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < rounds; ++i) {
        platform::SetEvent(pair.ping.Get());
        (void)platform::WaitForSingleObject(pair.pong.Get(), platform::kInfinite);
    }
    const auto elapsed = Clock::now() - start;
    (void)platform::WaitForSingleObject(echo.Get(), platform::kInfinite);
    return Nanos(elapsed, rounds);
}

double ConditionPingPongNanos(std::int64_t rounds) {
    std::mutex mutex;
    std::condition_variable changed;
    bool ping = false;
    bool pong = false;
    std::thread echo([&] {
        for (std::int64_t i = 0; i < rounds; ++i) {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [&] { return ping; });
            ping = false;
            pong = true;
            changed.notify_all();
        }
    });
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < rounds; ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        ping = true;
        changed.notify_all();
        changed.wait(lock, [&] { return pong; });
        pong = false;
    }
    const auto elapsed = Clock::now() - start;
    echo.join();
    return Nanos(elapsed, rounds);
}

void BM_EventPingPong(benchmark::State& state) {
    const std::int64_t rounds = state.range(0);
    double subject = 0;
    double baseline = 0;
    for (auto _ : state) {
        subject = EventPingPongNanos(rounds);
        baseline = ConditionPingPongNanos(rounds);
    }
    state.counters["subject_ns"] = subject;
    state.counters["baseline_ns"] = baseline;
    state.counters["ratio"] = subject / baseline;
}
BENCHMARK(BM_EventPingPong)->Arg(2000)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- Thread-message round trip ------------------------------------------------------------

struct MessagePair {
    platform::UniqueHandle ready{platform::CreateEvent(true, false)};
    std::uint32_t replyTo = 0;
};

std::uint32_t MessageEcho(void* argument) {
    auto* pair = static_cast<MessagePair*>(argument);
    platform::ThreadMessage message;
    platform::PeekMessage(&message, platform::kWmUser, platform::kWmUser, platform::kPmNoRemove);
    platform::SetEvent(pair->ready.Get());
    while (platform::GetMessage(&message, kStop, kRequest) > 0 && message.message == kRequest) {
        platform::PostThreadMessage(pair->replyTo, kRequest, message.wParam, 0);
    }
    return 0;
}

double MessageRoundTripNanos(std::int64_t rounds) {
    MessagePair pair;
    pair.replyTo = platform::GetCurrentThreadId();
    platform::ThreadMessage message;
    platform::PeekMessage(&message, platform::kWmUser, platform::kWmUser, platform::kPmNoRemove);
    std::uint32_t echoId = 0;
    platform::UniqueHandle echo(platform::BeginThread(&MessageEcho, &pair, &echoId));
    (void)platform::WaitForSingleObject(pair.ready.Get(), platform::kInfinite);
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < rounds; ++i) {
        platform::PostThreadMessage(echoId, kRequest, static_cast<std::uintptr_t>(i), 0);
        platform::GetMessage(&message, kRequest, kRequest);
    }
    const auto elapsed = Clock::now() - start;
    platform::PostThreadMessage(echoId, kStop, 0, 0);
    (void)platform::WaitForSingleObject(echo.Get(), platform::kInfinite);
    return Nanos(elapsed, rounds);
}

struct Queue {
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::uintptr_t> items;

    void Post(std::uintptr_t item) {
        std::lock_guard<std::mutex> lock(mutex);
        items.push_back(item);
        arrived.notify_one();
    }
    std::uintptr_t Take() {
        std::unique_lock<std::mutex> lock(mutex);
        arrived.wait(lock, [&] { return !items.empty(); });
        const std::uintptr_t item = items.front();
        items.pop_front();
        return item;
    }
};

double QueueRoundTripNanos(std::int64_t rounds) {
    Queue requests;
    Queue replies;
    std::thread echo([&] {
        for (std::int64_t i = 0; i < rounds; ++i) {
            replies.Post(requests.Take());
        }
    });
    const auto start = Clock::now();
    for (std::int64_t i = 0; i < rounds; ++i) {
        requests.Post(static_cast<std::uintptr_t>(i));
        benchmark::DoNotOptimize(replies.Take());
    }
    const auto elapsed = Clock::now() - start;
    echo.join();
    return Nanos(elapsed, rounds);
}

void BM_ThreadMessageRoundTrip(benchmark::State& state) {
    const std::int64_t rounds = state.range(0);
    double subject = 0;
    double baseline = 0;
    for (auto _ : state) {
        subject = MessageRoundTripNanos(rounds);
        baseline = QueueRoundTripNanos(rounds);
    }
    state.counters["subject_ns"] = subject;
    state.counters["baseline_ns"] = baseline;
    state.counters["ratio"] = subject / baseline;
}
BENCHMARK(BM_ThreadMessageRoundTrip)->Arg(2000)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
