// SPDX-License-Identifier: MIT
// Runs programs for the end-to-end tests on Windows (and under Wine).
#include <windows.h>

#include "tool_runner.h"

namespace kvf::test {

namespace {

std::wstring wide(const std::string& utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end())).wstring();
}

// `argument` as the runtime of the started program splits it back out of the
// command line; quoted only where it must be, so that wildcards stay wildcards.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

}  // namespace

RunResult run(const fs::path& cwd, const std::vector<std::string>& argv, const std::string& stdout_path,
              const std::string& stdin_path, bool no_errors) {
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (CreatePipe(&read_end, &write_end, &inheritable, 0) == 0) {
        throw std::runtime_error("CreatePipe failed");
    }
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE out = write_end;
    if (!stdout_path.empty()) {
        out = CreateFileW(wide(stdout_path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                          OPEN_EXISTING, 0, nullptr);
    }
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (stdin_path == CLOSED) {
        in = nullptr;
    } else if (!stdin_path.empty()) {
        in = CreateFileW(wide(stdin_path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                         OPEN_EXISTING, 0, nullptr);
    }
    // A file rather than a second pipe: nothing to drain while the program runs.
    const fs::path errors_path = unique_temp_path("kvf_stderr_");
    HANDLE errors = CreateFileW(errors_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                CREATE_ALWAYS, 0, nullptr);
    std::wstring command;
    for (const std::string& argument : argv) {
        command += (command.empty() ? L"" : L" ") + quoted(wide(argument));
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in;
    startup.hStdOutput = out;
    startup.hStdError = no_errors ? nullptr : errors;
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                        cwd.wstring().c_str(), &startup, &process) != 0;
    CloseHandle(write_end);
    CloseHandle(errors);
    if (out != write_end) {
        CloseHandle(out);
    }
    if (in != nullptr && !stdin_path.empty()) {
        CloseHandle(in);
    }
    if (!started) {
        CloseHandle(read_end);
        throw std::runtime_error("cannot start " + argv[0]);
    }
    RunResult result;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(read_end, chunk, sizeof chunk, &got, nullptr) != 0 && got > 0) {
        result.log.append(chunk, got);
    }
    CloseHandle(read_end);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    result.status = static_cast<int>(status);
    result.errors = read_text(errors_path);
    fs::remove(errors_path);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

std::string tool_path() {
    // Built next to the tests; found from the running test program, since the
    // build's own paths are host paths.
    wchar_t self[32768];
    const DWORD length = GetModuleFileNameW(nullptr, self, 32768);
    return (fs::path(std::wstring(self, length)).parent_path().parent_path() / "kvf_unpack.exe").string();
}

}  // namespace kvf::test
