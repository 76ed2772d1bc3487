// SPDX-License-Identifier: MIT
// Runs programs for the end-to-end tests on POSIX systems.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tool_runner.h"

namespace kvf::test {

RunResult run(const fs::path& cwd, const std::vector<std::string>& argv, const std::string& stdout_path,
              const std::string& stdin_path, bool no_errors) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // A file rather than a second pipe: nothing to drain while the program runs.
    const fs::path errors = unique_temp_path("kvf_stderr_");
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(cwd.c_str()) != 0) {
            _exit(126);
        }
        // The runner's own descriptors do not reach the program.
        const auto put = [](int fd, int standard) {
            if (fd != standard) {
                dup2(fd, standard);
                close(fd);
            }
        };
        close(pipe_fds[0]);
        put(stdout_path.empty() ? pipe_fds[1] : open(stdout_path.c_str(), O_WRONLY), STDOUT_FILENO);
        if (!stdout_path.empty()) {
            close(pipe_fds[1]);
        }
        if (stdin_path == CLOSED) {
            close(STDIN_FILENO);
        } else if (!stdin_path.empty()) {
            put(open(stdin_path.c_str(), O_RDONLY), STDIN_FILENO);
        }
        put(open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        if (no_errors) {
            close(STDERR_FILENO);
        }
        std::vector<char*> args;
        for (const auto& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    RunResult result;
    char chunk[4096];
    ssize_t got;
    while ((got = read(pipe_fds[0], chunk, sizeof chunk)) > 0) {
        result.log.append(chunk, static_cast<std::size_t>(got));
    }
    close(pipe_fds[0]);
    int wait_status = 0;
    waitpid(pid, &wait_status, 0);
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    result.errors = read_text(errors);
    fs::remove(errors);
    return result;
}

std::string tool_path() {
    return KVF_UNPACK_BIN;
}

}  // namespace kvf::test
