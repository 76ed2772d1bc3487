// SPDX-License-Identifier: MIT
// fresh_files COUNT BYTES: makes COUNT new files of BYTES bytes each in the
// working directory, as a plain loop would: the least that making a file for
// each of COUNT runs costs, against which bench/run.sh sets runs that
// replace the images they made before.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc != 3) {
        (void)std::fputs("Usage: fresh_files COUNT BYTES\n", stderr);
        return 2;
    }
    const long count = std::strtol(argv[1], nullptr, 10);
    const long bytes = std::strtol(argv[2], nullptr, 10);
    char data[4096] = {};
    if (bytes < 0 || bytes > static_cast<long>(sizeof data)) {
        return 2;
    }
    for (long i = 0; i < count; ++i) {
        char name[32];
        (void)std::snprintf(name, sizeof name, "_%08lX.bin", static_cast<unsigned long>(i));
        const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 || write(fd, data, static_cast<std::size_t>(bytes)) != bytes || close(fd) != 0) {
            std::perror(name);
            return 1;
        }
    }
    return 0;
}
