// "/STATUS": the manager's view and the host's record, for a person and for a script.
#include "service/status_command.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>

#include "platform/error.h"
#include "text/text.h"

namespace Stoneleaf {
namespace {

const char* StateName(std::uint32_t state) {
    switch (state) {
        case platform::kServiceStopped:
            return "stopped";
        case platform::kServiceStartPending:
            return "start-pending";
        case platform::kServiceStopPending:
            return "stop-pending";
        case platform::kServiceRunning:
            return "running";
        case platform::kServiceContinuePending:
            return "continue-pending";
        case platform::kServicePausePending:
            return "pause-pending";
        case platform::kServicePaused:
            return "paused";
        default:
            return "unknown";
    }
}

const char* RecoveryName(int recovery) {
    return recovery > 0 ? "on" : recovery == 0 ? "off" : "unknown";
}

std::string Utc(std::int64_t seconds) {
    const std::time_t time = static_cast<std::time_t>(seconds);
    const std::tm* utc = std::gmtime(&time);  // one thread: the command's
    char text[32] = {};
    if (utc == nullptr || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc) == 0) {
        return std::to_string(seconds);
    }
    return text;
}

std::string Duration(std::int64_t seconds) {
    seconds = seconds < 0 ? 0 : seconds;
    const auto two = [](std::int64_t n) {
        std::string text = std::to_string(n);
        return text.size() < 2 ? text.insert(0, 1, '0') : text;
    };
    return std::to_string(seconds / 86400) + "d " + two(seconds / 3600 % 24) + ":" +
           two(seconds / 60 % 60) + ":" + two(seconds % 60);
}

// A JSON string: quotes, backslash and every control character escaped.
std::string Json(const std::wstring& text) {
    std::string out = "\"";
    for (const char c : platform::WideToUtf8(text)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte == 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Json(const char* text) {
    return Json(platform::Utf8ToWide(text));
}

}  // namespace

std::string FormatStatusText(const ServiceStatusReport& report) {
    const platform::ServiceProcessInfo& manager = report.manager;
    const HostView& host = report.host;
    std::ostringstream out;
    const auto line = [&out](const char* label, const std::string& value) {
        char padded[24];
        std::snprintf(padded, sizeof padded, "%-16s", label);
        out << padded << value << "\n";
    };
    line("Service", platform::WideToUtf8(report.serviceName));
    line("State", StateName(manager.status.currentState));
    if (manager.processId != 0) {
        line("Process", std::to_string(manager.processId) +
                            (report.hostCurrent ? ", up " + Duration(report.now - host.startedAt)
                                                : std::string()));
    }
    line("Binary path", platform::WideToUtf8(manager.binaryPath));
    line("Recovery", RecoveryName(manager.recovery));
    if (!report.hostCurrent) {
        line("Host", "no current record (" + platform::WideToUtf8(report.hostProblem) + ")");
        return out.str();
    }
    line("Status text", platform::WideToUtf8(host.text));
    line("Plug-ins", std::to_string(host.plugins.size()));
    for (const PluginView& plugin : host.plugins) {
        char state[32];
        std::snprintf(state, sizeof state, "  %-24s", platform::WideToUtf8(plugin.state).c_str());
        out << state << platform::WideToUtf8(plugin.path) << "  \""
            << platform::WideToUtf8(plugin.description) << "\"\n";
    }
    line("Last control", host.controlSeen
                             ? std::to_string(host.lastControl) + " at " + Utc(host.lastControlAt) +
                                   ": result " + std::to_string(host.lastResult)
                             : std::string("none yet"));
    line("Slowest answer", host.handlerAnswered
                               ? std::to_string(host.slowestAnswerMs) + " ms (control " +
                                     std::to_string(host.slowestControl) + ")"
                               : std::string("none yet"));
    return out.str();
}

std::string FormatStatusJson(const ServiceStatusReport& report) {
    const platform::ServiceProcessInfo& manager = report.manager;
    const HostView& host = report.host;
    std::ostringstream out;
    out << "{\"service\":" << Json(report.serviceName)
        << ",\"state\":" << Json(StateName(manager.status.currentState))
        << ",\"processId\":" << manager.processId << ",\"binaryPath\":" << Json(manager.binaryPath)
        << ",\"recovery\":" << Json(RecoveryName(manager.recovery));
    if (!report.hostCurrent) {
        out << ",\"host\":null,\"hostProblem\":" << Json(report.hostProblem) << "}\n";
        return out.str();
    }
    out << ",\"host\":{\"startedAt\":" << Json(platform::Utf8ToWide(Utc(host.startedAt)))
        << ",\"uptimeSeconds\":" << (report.now > host.startedAt ? report.now - host.startedAt : 0)
        << ",\"statusText\":" << Json(host.text) << ",\"plugins\":[";
    for (std::size_t i = 0; i < host.plugins.size(); ++i) {
        const PluginView& plugin = host.plugins[i];
        out << (i == 0 ? "" : ",") << "{\"path\":" << Json(plugin.path)
            << ",\"description\":" << Json(plugin.description)
            << ",\"state\":" << Json(plugin.state) << "}";
    }
    out << "],\"lastControl\":";
    if (host.controlSeen) {
        out << "{\"code\":" << host.lastControl << ",\"result\":" << host.lastResult
            << ",\"at\":" << Json(platform::Utf8ToWide(Utc(host.lastControlAt))) << "}";
    } else {
        out << "null";
    }
    out << ",\"slowestAnswer\":";
    if (host.handlerAnswered) {
        out << "{\"milliseconds\":" << host.slowestAnswerMs
            << ",\"control\":" << host.slowestControl << "}";
    } else {
        out << "null";
    }
    out << "}}\n";
    return out.str();
}

std::uint32_t ShowServiceStatus(const wchar_t* serviceName, bool json) {
    platform::UniqueServiceHandle manager(
        platform::OpenServiceManager(platform::kScManagerConnect));
    if (!manager) {
        return platform::GetLastError();
    }
    platform::UniqueServiceHandle service(platform::OpenService(
        manager.Get(), serviceName, platform::kServiceQueryStatus | platform::kServiceQueryConfig));
    if (!service) {
        const platform::ErrorCode error = platform::GetLastError();
        if (error != platform::kErrorServiceDoesNotExist) {
            return error;
        }
        const std::string name = platform::WideToUtf8(serviceName);
        std::fputs(
            json ? ("{\"service\":" + Json(serviceName) + ",\"state\":\"not installed\"}\n").c_str()
                 : ("Service         " + name + "\nState           not installed\n").c_str(),
            stdout);
        return kStatusNotInstalled;
    }
    ServiceStatusReport report;
    report.serviceName = serviceName;
    if (!platform::QueryServiceProcess(service.Get(), &report.manager)) {
        return platform::GetLastError();
    }
    report.now = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    // The record counts only while the process that wrote it is the one the manager runs.
    const bool running = report.manager.status.currentState != platform::kServiceStopped &&
                         report.manager.processId != 0;
    if (!running) {
        report.hostProblem = L"no host process";
    } else if (const platform::ErrorCode read = ReadStatusRecord(serviceName, &report.host);
               read != 0) {
        report.hostProblem = read == platform::kErrorFileNotFound ? L"the host has written none"
                             : read == platform::kErrorAccessDenied
                                 ? L"access denied: run as administrator/root"
                                 : L"unreadable record, error " + std::to_wstring(read);
    } else if (report.host.processId != report.manager.processId) {
        report.hostProblem = L"the record is from process " +
                             std::to_wstring(report.host.processId) + L", which is gone";
    } else {
        report.hostCurrent = true;
    }
    const std::string text = json ? FormatStatusJson(report) : FormatStatusText(report);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return report.manager.status.currentState == platform::kServiceRunning ? 0 : kStatusNotRunning;
}

}  // namespace Stoneleaf
