// A program of the build started as a child process with its standard output on a pipe, for tests
// that drive an example or a tool. Every wait is bounded; the child is always gone when the
// object is.
#ifndef ZOVNET_CHILD_PROCESS_H
#define ZOVNET_CHILD_PROCESS_H

#include "Emulator.h"

#include <chrono>
#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace zovtest {

// How a child ended: whether it left through exit (or a return from main), and its status then.
struct ExitStatus {
    bool exited = false;
    int code = -1;
};

// Where the child's other standard streams go; by default it shares the test's.
struct ChildOptions {
    std::string input;        // a file to read as standard input
    bool mergeErrors = false; // standard error on the same pipe as standard output
    // The program is one of the build machine (a shell), never started through the emulator; it
    // starts the build's program itself, through $ZOVNET_TEST_EMULATOR where that is set.
    bool hostProgram = false;
};

class ChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Stop(); }

    // Starts `args[0]` with the other elements as its arguments. A relative program path is taken
    // from the directory of the running test program. Under an emulator (ZOVNET_TEST_EMULATOR, see
    // Emulator.h) the emulator is started with the program and its arguments.
    bool Start(std::vector<std::string> args, const ChildOptions& options = ChildOptions());

    // Reads one line of the child's output (without its line end), waiting at most `milliseconds`.
    bool ReadLine(std::string& line, int milliseconds);

    // Waits at most `milliseconds` for the child to end.
    bool WaitExit(int milliseconds, ExitStatus& status);

    // Ends the child if it still runs: politely first where the system has a polite way.
    void Stop();

    // The processor time the running child has used so far, in seconds (user and system), or
    // a negative value when the system cannot tell.
    double CpuSeconds() const;

    // How many descriptors (on Windows: handles) the running child holds open, or -1 when the
    // system cannot tell.
    int OpenDescriptors() const;

private:
    // The next character of the output, from what the last read brought in or from a new read.
    bool ReadChar(char& c, Clock::time_point deadline);
    // Reads what the pipe holds (up to a chunk) into m_pending, waiting at most until `deadline`.
    bool Fill(Clock::time_point deadline);

    // Output read ahead: a read per character costs a system call each, which is slow for long
    // lines (under Wine very slow).
    std::string m_pending;
    std::size_t m_next = 0;

#if defined(_WIN32)
    HANDLE m_process = nullptr;
    HANDLE m_out = nullptr;
#else
    pid_t m_pid = -1;
    int m_out = -1;
#endif
};

inline bool ChildProcess::ReadChar(char& c, Clock::time_point deadline) {
    if (m_next == m_pending.size()) {
        m_pending.clear();
        m_next = 0;
        if (!Fill(deadline))
            return false;
    }
    c = m_pending[m_next++];
    return true;
}

inline bool ChildProcess::ReadLine(std::string& line, int milliseconds) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    line.clear();
    for (;;) {
        char c;
        if (!ReadChar(c, deadline))
            return false;
        if (c == '\n')
            return true;
        if (c != '\r') // a Windows program's text output ends its lines with CR LF
            line += c;
    }
}

#if defined(_WIN32)

namespace detail {

// One argument as the C runtime's command-line parser reads it back.
inline std::string QuoteArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"')
            quoted.append(backslashes * 2 + 1, '\\');
        else
            quoted.append(backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

inline std::string ProgramDirectory() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n < MAX_PATH ? n : 0);
    const std::size_t slash = dir.find_last_of("\\/");
    return slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
}

} // namespace detail

inline bool ChildProcess::Start(std::vector<std::string> args, const ChildOptions& options) {
    if (args.empty())
        return false;
    const std::string& program = args[0];
    const bool absolute = (program.size() > 1 && program[1] == ':') ||
                          (!program.empty() && (program[0] == '\\' || program[0] == '/'));
    if (!absolute)
        args[0] = detail::ProgramDirectory() + "\\" + program;
    std::string commandLine;
    for (const std::string& a : args)
        commandLine += (commandLine.empty() ? "" : " ") + detail::QuoteArgument(a);

    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!::CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return false;
    ::SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0); // only the write end goes over
    HANDLE input = nullptr;
    if (!options.input.empty()) {
        input = ::CreateFileA(options.input.c_str(), GENERIC_READ, FILE_SHARE_READ, &inherit,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (input == INVALID_HANDLE_VALUE) {
            ::CloseHandle(readEnd);
            ::CloseHandle(writeEnd);
            return false;
        }
    }

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input != nullptr ? input : ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = options.mergeErrors ? writeEnd : ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    const BOOL started = ::CreateProcessA(args[0].c_str(), mutableLine.data(), nullptr, nullptr,
                                          TRUE, 0, nullptr, nullptr, &startup, &info);
    ::CloseHandle(writeEnd);
    if (input != nullptr)
        ::CloseHandle(input);
    if (!started) {
        ::CloseHandle(readEnd);
        return false;
    }
    ::CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_out = readEnd;
    return true;
}

// Anonymous pipes cannot be waited on: the pipe is looked at every few milliseconds instead.
inline bool ChildProcess::Fill(Clock::time_point deadline) {
    for (;;) {
        DWORD available = 0;
        if (!::PeekNamedPipe(m_out, nullptr, 0, nullptr, &available, nullptr))
            return false; // the child closed its end
        if (available > 0) {
            char chunk[65536];
            DWORD got = 0;
            if (!::ReadFile(m_out, chunk, available < sizeof chunk ? available : sizeof chunk, &got,
                            nullptr) ||
                got == 0)
                return false;
            m_pending.assign(chunk, got);
            return true;
        }
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

inline bool ChildProcess::WaitExit(int milliseconds, ExitStatus& status) {
    if (m_process == nullptr)
        return false;
    if (::WaitForSingleObject(m_process, static_cast<DWORD>(milliseconds)) != WAIT_OBJECT_0)
        return false;
    DWORD code = 0;
    ::GetExitCodeProcess(m_process, &code);
    status.exited = true;
    status.code = static_cast<int>(code);
    ::CloseHandle(m_process);
    m_process = nullptr;
    return true;
}

inline double ChildProcess::CpuSeconds() const {
    FILETIME created, exited, kernel, user;
    if (m_process == nullptr || !::GetProcessTimes(m_process, &created, &exited, &kernel, &user))
        return -1;
    auto seconds = [](const FILETIME& t) {
        const unsigned long long ticks =
            (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
        return static_cast<double>(ticks) / 1e7; // 100-nanosecond units
    };
    return seconds(kernel) + seconds(user);
}

inline int ChildProcess::OpenDescriptors() const {
    DWORD count = 0;
    if (m_process == nullptr || !::GetProcessHandleCount(m_process, &count))
        return -1;
    return static_cast<int>(count);
}

// A console program has no polite way to be asked to stop from another console-less process.
inline void ChildProcess::Stop() {
    if (m_process != nullptr) {
        ::TerminateProcess(m_process, 1);
        ::WaitForSingleObject(m_process, 5000);
        ::CloseHandle(m_process);
        m_process = nullptr;
    }
    if (m_out != nullptr) {
        ::CloseHandle(m_out);
        m_out = nullptr;
    }
}

#else

inline bool ChildProcess::Start(std::vector<std::string> args, const ChildOptions& options) {
    if (args.empty())
        return false;
    const std::vector<std::string> emulator =
        options.hostProgram ? std::vector<std::string>() : EmulatorCommand();
    args.insert(args.begin(), emulator.begin(), emulator.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    if (options.mergeErrors)
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    if (!options.input.empty())
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, options.input.c_str(), O_RDONLY,
                                         0);
    // An emulator may be named without its directory; a program of the build never is.
    const int rc = emulator.empty()
                       ? ::posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ)
                       : ::posix_spawnp(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    m_out = out[0];
    if (rc != 0) {
        m_pid = -1;
        return false;
    }
    return true;
}

inline bool ChildProcess::Fill(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p{m_out, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
        return false;
    char chunk[65536];
    const ssize_t got = ::read(m_out, chunk, sizeof chunk);
    if (got <= 0)
        return false;
    m_pending.assign(chunk, static_cast<std::size_t>(got));
    return true;
}

inline bool ChildProcess::WaitExit(int milliseconds, ExitStatus& status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        int raw = 0;
        const pid_t done = m_pid > 0 ? ::waitpid(m_pid, &raw, WNOHANG) : -1;
        if (done == m_pid) {
            m_pid = -1;
            status.exited = WIFEXITED(raw);
            status.code = status.exited ? WEXITSTATUS(raw) : -1;
            return true;
        }
        if (done < 0 || Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Linux tells the times in the process's stat line: fields 14 and 15, in clock ticks, after the
// program name in brackets (which may hold blanks).
inline double ChildProcess::CpuSeconds() const {
    if (m_pid <= 0)
        return -1;
    std::ifstream stat("/proc/" + std::to_string(m_pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line))
        return -1;
    const std::size_t end = line.rfind(')');
    if (end == std::string::npos)
        return -1;
    std::istringstream fields(line.substr(end + 1));
    std::string field;
    unsigned long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14)
            user = std::stoull(field);
        else if (i == 15)
            system = std::stoull(field);
    }
    const long ticks = ::sysconf(_SC_CLK_TCK);
    return ticks > 0 ? static_cast<double>(user + system) / static_cast<double>(ticks) : -1;
}

inline int ChildProcess::OpenDescriptors() const {
    if (m_pid <= 0)
        return -1;
    DIR* dir = ::opendir(("/proc/" + std::to_string(m_pid) + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir))
        if (entry->d_name[0] != '.')
            ++count;
    ::closedir(dir);
    return count;
}

inline void ChildProcess::Stop() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        ExitStatus status;
        if (!WaitExit(5000, status)) {
            ::kill(m_pid, SIGKILL);
            int raw;
            ::waitpid(m_pid, &raw, 0);
            m_pid = -1;
        }
    }
    if (m_out >= 0) {
        ::close(m_out);
        m_out = -1;
    }
}

#endif

} // namespace zovtest

#endif // ZOVNET_CHILD_PROCESS_H
