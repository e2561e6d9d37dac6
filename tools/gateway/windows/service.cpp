#include "service.h"

#include "log.h"
#include "messages.h" // made by windmc from messages.mc
#include "private_file.h"

#include <windows.h>

#include <shlobj.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <thread>

namespace gateway::winsvc {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDisplayName = "Tarvel6 gateway";
constexpr const char* kDescription =
    "Keeps every configured weighing indicator live and serves the readings over HTTP, "
    "Server-Sent Events, a live page and MQTT.";
constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\tarvel-gateway";

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;
constexpr int kExitInternal = 70;
constexpr int kExitConfig = 78;

int Fail(const std::string& what, DWORD code) {
    std::fprintf(stderr, "tarvel-gateway: %s: %s", what.c_str(), winfile::SystemText(code).c_str());
    if (code == ERROR_ACCESS_DENIED)
        std::fprintf(stderr, " (run it from an administrator's command prompt)");
    std::fprintf(stderr, "\n");
    return kExitFailed;
}

struct Handle {
    SC_HANDLE h = nullptr;
    explicit Handle(SC_HANDLE handle) : h(handle) {}
    ~Handle() {
        if (h != nullptr) CloseServiceHandle(h);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    explicit operator bool() const { return h != nullptr; }
};

std::string ExePath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Waits while the service is in `pending` (at most `limit`); the last status read.
SERVICE_STATUS_PROCESS WaitWhile(SC_HANDLE svc, DWORD pending, std::chrono::seconds limit) {
    SERVICE_STATUS_PROCESS st{};
    DWORD needed = 0;
    const auto until = std::chrono::steady_clock::now() + limit;
    while (QueryServiceStatusEx(svc, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&st),
                                sizeof st, &needed) &&
           st.dwCurrentState == pending && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    return st;
}

// How a stopped service ended, in words.
std::string HowItEnded(const SERVICE_STATUS_PROCESS& st) {
    if (st.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR) {
        const DWORD code = st.dwServiceSpecificExitCode;
        std::string why = code == kExitConfig ? "the configuration file is missing or wrong"
                          : code == kExitFailed
                              ? "it could not start serving (the HTTP address in use, or the "
                                "register of weighings)"
                              : "exit status " + std::to_string(code);
        return why + "; the Event Log (Application, source tarvel-gateway) says more";
    }
    if (st.dwWin32ExitCode != NO_ERROR) return winfile::SystemText(st.dwWin32ExitCode);
    return "it stopped";
}

int Install(const std::string& configFile) {
    std::string error;
    auto cfg = LoadConfig(configFile, error);
    if (!cfg) {
        std::fprintf(stderr, "tarvel-gateway: %s\n(the service is not installed)\n", error.c_str());
        return kExitConfig;
    }
    const std::string exe = ExePath();
    const std::string config = fs::absolute(fs::path(configFile)).lexically_normal().string();
    const std::string command = "\"" + exe + "\" service run --config \"" + config + "\"";
    Handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!scm) return Fail("cannot open the Service Control Manager", GetLastError());
    Handle svc(CreateServiceA(scm.h, kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
                              SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!svc) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_EXISTS) {
            std::fprintf(stderr,
                         "tarvel-gateway: the service %s is already installed "
                         "(tarvel-gateway service uninstall removes it)\n",
                         kServiceName);
            return kExitFailed;
        }
        return Fail("cannot install the service", code);
    }
    SERVICE_DESCRIPTIONA description{const_cast<char*>(kDescription)};
    ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_DESCRIPTION, &description);
    // A crash is followed by a new start after 5 s; a stop with an exit status (a bad file,
    // an address in use) is not a crash, so a wrong file does not start over and over.
    SC_ACTION restart[3] = {
        {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}};
    SERVICE_FAILURE_ACTIONSA actions{};
    actions.dwResetPeriod = 24 * 3600;
    actions.cActions = 3;
    actions.lpsaActions = restart;
    ChangeServiceConfig2A(svc.h, SERVICE_CONFIG_FAILURE_ACTIONS, &actions);

    // The event source: the messages are in this program's message table.
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) == ERROR_SUCCESS) {
        const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
        RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(exe.c_str()),
                       static_cast<DWORD>(exe.size() + 1));
        RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types),
                       sizeof types);
        RegCloseKey(key);
    } else {
        std::fprintf(stderr, "tarvel-gateway: warning: the Event Log source could not be "
                             "registered; the service logs without its message texts\n");
    }
    std::printf("tarvel-gateway: installed the service %s (\"%s\", starts automatically) with "
                "%s\nstart it now with: tarvel-gateway service start (or net start %s)\n",
                kServiceName, kDisplayName, config.c_str(), kServiceName);
    return kExitOk;
}

int Uninstall() {
    Handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return Fail("cannot open the Service Control Manager", GetLastError());
    Handle svc(OpenServiceA(scm.h, kServiceName, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!svc) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_DOES_NOT_EXIST) {
            std::printf("tarvel-gateway: the service %s is not installed\n", kServiceName);
            return kExitOk;
        }
        return Fail("cannot open the service", code);
    }
    SERVICE_STATUS st{};
    if (ControlService(svc.h, SERVICE_CONTROL_STOP, &st))
        WaitWhile(svc.h, SERVICE_STOP_PENDING, std::chrono::seconds(30));
    if (!DeleteService(svc.h)) return Fail("cannot remove the service", GetLastError());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
    std::printf("tarvel-gateway: removed the service %s\n", kServiceName);
    return kExitOk;
}

int Start() {
    Handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return Fail("cannot open the Service Control Manager", GetLastError());
    Handle svc(OpenServiceA(scm.h, kServiceName, SERVICE_START | SERVICE_QUERY_STATUS));
    if (!svc) return Fail("cannot open the service " + std::string(kServiceName), GetLastError());
    if (!StartServiceA(svc.h, 0, nullptr)) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_ALREADY_RUNNING) {
            std::printf("tarvel-gateway: the service is already running\n");
            return kExitOk;
        }
        // A service that stops at once (a bad file) may have said so before the manager
        // looked: some managers then report a time-out. Its own exit status tells more.
        const auto st = WaitWhile(svc.h, SERVICE_START_PENDING, std::chrono::seconds(0));
        if (code != ERROR_SERVICE_REQUEST_TIMEOUT || st.dwCurrentState != SERVICE_STOPPED ||
            st.dwWin32ExitCode != ERROR_SERVICE_SPECIFIC_ERROR)
            return Fail("cannot start the service", code);
    }
    const auto st = WaitWhile(svc.h, SERVICE_START_PENDING, std::chrono::seconds(30));
    if (st.dwCurrentState == SERVICE_RUNNING) {
        std::printf("tarvel-gateway: the service is running\n");
        return kExitOk;
    }
    if (st.dwCurrentState == SERVICE_START_PENDING) {
        std::fprintf(stderr, "tarvel-gateway: the service is still starting after 30 s\n");
        return kExitFailed;
    }
    std::fprintf(stderr, "tarvel-gateway: the service stopped at once: %s\n",
                 HowItEnded(st).c_str());
    return st.dwWin32ExitCode == ERROR_SERVICE_SPECIFIC_ERROR &&
                   st.dwServiceSpecificExitCode == kExitConfig
               ? kExitConfig
               : kExitFailed;
}

int Stop() {
    Handle scm(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!scm) return Fail("cannot open the Service Control Manager", GetLastError());
    Handle svc(OpenServiceA(scm.h, kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    if (!svc) return Fail("cannot open the service " + std::string(kServiceName), GetLastError());
    SERVICE_STATUS status{};
    if (!ControlService(svc.h, SERVICE_CONTROL_STOP, &status)) {
        const DWORD code = GetLastError();
        if (code == ERROR_SERVICE_NOT_ACTIVE) {
            std::printf("tarvel-gateway: the service is not running\n");
            return kExitOk;
        }
        return Fail("cannot stop the service", code);
    }
    const auto st = WaitWhile(svc.h, SERVICE_STOP_PENDING, std::chrono::seconds(30));
    if (st.dwCurrentState != SERVICE_STOPPED) {
        std::fprintf(stderr, "tarvel-gateway: the service has not stopped after 30 s\n");
        return kExitFailed;
    }
    std::printf("tarvel-gateway: the service has stopped\n");
    return kExitOk;
}

// ---- under the Service Control Manager -----------------------------------------------------

struct Running {
    const Program* program = nullptr;
    std::string configFile;
    SERVICE_STATUS_HANDLE handle = nullptr;
    std::mutex mu; // the status below
    SERVICE_STATUS status{};
    bool stopAsked = false; // under mu: a stop that came while starting is not undone
    HANDLE eventSource = nullptr;
};
Running g_service;

void Report(DWORD state, int exitStatus = 0, DWORD waitHintMs = 0) {
    std::lock_guard lock(g_service.mu);
    if (state == SERVICE_STOP_PENDING) g_service.stopAsked = true;
    if (state == SERVICE_RUNNING && g_service.stopAsked) return;
    SERVICE_STATUS& s = g_service.status;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    s.dwWin32ExitCode = exitStatus == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    s.dwServiceSpecificExitCode = static_cast<DWORD>(exitStatus);
    s.dwWaitHint = waitHintMs;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        s.dwCheckPoint = 0;
    else
        ++s.dwCheckPoint;
    SetServiceStatus(g_service.handle, &s);
}

void EventLogHook(LogSeverity severity, const std::string& text) {
    if (g_service.eventSource == nullptr) return;
    const WORD type = severity == LogSeverity::Error     ? EVENTLOG_ERROR_TYPE
                      : severity == LogSeverity::Warning ? EVENTLOG_WARNING_TYPE
                                                         : EVENTLOG_INFORMATION_TYPE;
    const DWORD id = severity == LogSeverity::Error     ? MSG_GATEWAY_ERROR
                     : severity == LogSeverity::Warning ? MSG_GATEWAY_WARNING
                                                        : MSG_GATEWAY_INFO;
    const char* strings[1] = {text.c_str()};
    ReportEventA(g_service.eventSource, type, 0, id, nullptr, 1, 0, strings, nullptr);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, void*, void*) {
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, 0, 10000);
        g_service.program->stop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD, char**) {
    g_service.handle = RegisterServiceCtrlHandlerExA(kServiceName, &ControlHandler, nullptr);
    if (g_service.handle == nullptr) return;
    Report(SERVICE_START_PENDING, 0, 10000);
    g_service.eventSource = RegisterEventSourceA(nullptr, kServiceName);
    SetLogHook(&EventLogHook);
    int status = kExitInternal;
    try {
        std::string error;
        auto cfg = LoadConfig(g_service.configFile, error);
        if (!cfg) {
            LogError(error);
            status = kExitConfig;
        } else {
            for (const std::string& w : cfg->warnings)
                Log("warning: " + w);
            status = g_service.program->run(*cfg, [] { Report(SERVICE_RUNNING); });
        }
    } catch (const std::exception& e) {
        LogError(std::string("internal error: ") + e.what());
    } catch (...) {
        LogError("internal error");
    }
    SetLogHook(nullptr);
    if (g_service.eventSource != nullptr) DeregisterEventSource(g_service.eventSource);
    g_service.eventSource = nullptr;
    Report(SERVICE_STOPPED, status);
}

int RunService(const std::string& configFile, const Program& program) {
    g_service.program = &program;
    g_service.configFile = configFile;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kServiceName), &ServiceMain},
                                    {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table)) {
        const DWORD code = GetLastError();
        if (code == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
            std::fprintf(stderr, "tarvel-gateway: \"service run\" is what the Service Control "
                                 "Manager starts; in a console, run tarvel-gateway --config "
                                 "FILE\n");
            return kExitUsage;
        }
        return Fail("cannot reach the Service Control Manager", code);
    }
    std::lock_guard lock(g_service.mu);
    return static_cast<int>(g_service.status.dwServiceSpecificExitCode);
}

// ---- the console ------------------------------------------------------------------------------

std::function<void()> g_consoleStop;
HANDLE g_stoppedEvent = nullptr;

BOOL WINAPI ConsoleHandler(DWORD type) {
    if (g_consoleStop) g_consoleStop();
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_stoppedEvent, 5000); // Windows ends the process on return
    return TRUE;
}

} // namespace

std::string DefaultConfigFile() {
    char folder[MAX_PATH] = {};
    if (FAILED(
            SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)))
        std::snprintf(folder, sizeof folder, "C:\\ProgramData");
    return std::string(folder) + "\\Tarvel6\\gateway.toml";
}

int Command(const std::string& action, const std::string& configFile, const Program& program) {
    const std::string file = configFile.empty() ? DefaultConfigFile() : configFile;
    if (action == "install") return Install(file);
    if (action == "uninstall") return Uninstall();
    if (action == "start") return Start();
    if (action == "stop") return Stop();
    if (action == "run") return RunService(file, program);
    std::fprintf(stderr,
                 "tarvel-gateway: unknown service command \"%s\" (install, uninstall, "
                 "start or stop)\n",
                 action.c_str());
    return kExitUsage;
}

void StopOnConsoleEvents(std::function<void()> stop) {
    g_consoleStop = std::move(stop);
    g_stoppedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(&ConsoleHandler, TRUE);
}

void Stopped() {
    if (g_stoppedEvent != nullptr) SetEvent(g_stoppedEvent);
}

} // namespace gateway::winsvc
