// SPDX-License-Identifier: MIT
// A pseudo-terminal to stand for the user's screen in end-to-end tests.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

namespace kvf::test {

// `path` is the side a program writes to, raw so that its bytes arrive
// unchanged (no CR added to LF); `screen` is the side the test reads. The
// test holds the program's side open too, until close_side(), so that the
// screen can be read before the program starts.
struct Terminal {
    int screen = posix_openpt(O_RDWR | O_NOCTTY);
    int side = -1;
    std::string path;

    Terminal() {
        if (screen < 0 || grantpt(screen) != 0 || unlockpt(screen) != 0) {
            throw std::runtime_error("no pseudo-terminal");
        }
        path = ptsname(screen);
        side = open(path.c_str(), O_RDWR | O_NOCTTY);
        termios mode{};
        tcgetattr(side, &mode);
        cfmakeraw(&mode);
        tcsetattr(side, TCSANOW, &mode);
    }
    ~Terminal() {
        close_side();
        close(screen);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Lets the screen end once the programs writing to it have ended.
    void close_side() {
        if (side >= 0) {
            close(side);
            side = -1;
        }
    }

    // What was shown, read until the last writer has closed its side;
    // `shown_so_far` sees the text after every read.
    std::string read_all(const std::function<void(const std::string&)>& shown_so_far = {}) const {
        std::string shown;
        char chunk[4096];
        for (ssize_t got; (got = read(screen, chunk, sizeof chunk)) > 0;) {
            shown.append(chunk, static_cast<std::size_t>(got));
            if (shown_so_far) {
                shown_so_far(shown);
            }
        }
        return shown;
    }
};

}  // namespace kvf::test
