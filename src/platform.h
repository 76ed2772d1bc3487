// SPDX-License-Identifier: MIT
// What differs between POSIX systems and Windows, behind one small interface:
// how the process starts, how files are opened, compared and read, where
// images are made and how the process is confined to that folder, which
// rules image names must follow, and how a terminal is told apart and written to.
// platform_posix.cpp and platform_windows.cpp implement it (on Linux with
// image_files_linux.cpp and landlock.cpp); nothing else in the tool branches
// on the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

namespace kvf {

// Which file system's rules an image name must satisfy.
enum class NameRules {
    posix,    // the common cleaning only
    windows,  // also ':' '*' '?' '"' '<' '>' '|' made '_', and no device name such as NUL
};

#ifdef _WIN32
inline constexpr NameRules HOST_NAME_RULES = NameRules::windows;
#else
inline constexpr NameRules HOST_NAME_RULES = NameRules::posix;
#endif

// A file open on `stream` that no image may replace (the input, the log), and
// the reason a refusal gives for it.
struct KeptFile {
    std::FILE* stream;
    const char* why;
};

// Readies the process before it opens anything. POSIX: each of descriptors 0
// to 2 that is closed is held by the null device, open for reading only, so
// that no file the tool opens takes its place; a file-size limit or a closed
// pipe makes a write fail (EFBIG, EPIPE) instead of killing the process; and
// a signal that ends the process and may be caught (SIGINT, SIGTERM, SIGHUP,
// ..., one ignored at the start staying ignored) leaves nothing of the open
// run, says so on standard error and ends it as the signal would. Windows: a
// console interruption says so on standard error before the process ends.
void prepare_process();

// Opens the container at `path` (UTF-8) for binary reading; nullptr, with
// `why` set to the system's reason, if it cannot be opened.
std::FILE* open_input(const char* path, const char** why);

// Standard input, made binary (on Windows it starts in text mode), to read a
// container from; nullptr, with `why` set, when it was closed at start.
std::FILE* open_standard_input(const char** why);

// Makes the folder `path` the one images are made in, instead of the working
// directory: opened, or made (one level, as `unzip -d` does) where nothing
// stands at it; on POSIX systems it becomes the working directory, as
// `tar -C` makes it. False, with `why` set, when it cannot be made or is no
// folder.
bool open_output_folder(const char* path, const char** why);

// Reads up to `count` bytes of `in` into `buffer`, as many as it has ready,
// waiting only while it has none. Returns the count, 0 at the end of the
// input, or -1 on a read error (errno says why). Bypasses the stream's
// buffer: never mix with stdio reads.
std::ptrdiff_t read_ready(std::FILE* in, std::uint8_t* buffer, std::size_t count);

// Whether `in` is live: not a regular file, so that reading it may wait for its bytes.
bool is_live(std::FILE* in);

// Creates the image file `name` (a bare name, no separator) in the output
// folder for binary writing, as a new file without a name (Linux: O_TMPFILE;
// elsewhere, and where the file system makes none, under a temporary name of
// its own, no image name, that the system or the tool removes however the
// process ends). What stands at the name is looked at without opening it for
// reading or writing: nothing, or a regular file that is none of the `kept`
// files, that the process could have written (or that this run made) and may
// take away, which the image then replaces, with its access rules (or fewer).
// nullptr, with `why` set to the reason, when the image cannot be made or
// anything else stands there (a read-only file, a link, a FIFO, a device, a
// directory, a reparse point), left as it was. One image is open at a time.
std::FILE* create_image(const char* name, std::span<const KeptFile> kept, const char** why);

// Closes `image`, made by create_image as `name`, complete: it takes the name
// now, through the file the tool holds: at a free name only if nothing took
// it meanwhile; over the file it replaces in one step, that file's other
// names (hard links) keeping their content. False, with `why` set, when it
// could not be closed or take the name: nothing of it is left, and what
// stands at the name stays as it was.
bool finish_image(std::FILE* image, const char* name, const char** why);

// Closes `image`, made by create_image, unfinished (the tool failed): an
// image at a free name takes it with what its run brought, when that is
// `whole` (no write of it failed); otherwise, and an image that was to
// replace a file, it is removed, what stands at the name standing as it was.
// Whether the image stands at its name, closed.
bool discard_image(std::FILE* image, bool whole);

// Puts in `path` (room for `size` bytes) the full path of the file at
// `relative` ('/' between its parts, ".." for a parent) from the folder of the
// running program, UTF-8. False when that folder cannot be told, the path
// does not fit, or no file stands there.
bool installed_file(const char* relative, char* path, std::size_t size);

// Whether `a` and `b` are known to be the same regular file.
bool is_same_file(std::FILE* a, std::FILE* b);

// What a confined process may still do with files.
enum class Confinement {
    write_images,  // create, write and replace regular files in the output folder and beneath it
    nothing,       // open or make no file at all, as a listing needs
};

// Confines the process before it reads its input, to `to`. Linux: Landlock,
// every right the running kernel's version knows; where the kernel has none,
// or a policy refuses to say which, and on other systems, nothing. False,
// with `why` set, when the kernel has Landlock and a step failed: the tool
// must then not go on.
bool confine(Confinement to, const char** why);

// Readies `out` for a log of lines, `text` for people or not: on Windows in
// text mode, every line ending in CR LF, or in binary mode, each in LF alone
// (JSON Lines); elsewhere lines always end in LF.
void set_line_ends(std::FILE* out, bool text);

// Whether `stream` is a terminal (on Windows a console; other character devices, such as NUL, are not).
bool is_terminal(std::FILE* stream);

// Writes the `count` bytes of UTF-8 text at `text` to `out`, past its
// buffer, all of them or fails (errno says why): an output left non-blocking
// is waited for; a Windows console is written as Unicode, which it shows
// whatever its code page. Never mix with stdio writes to `out`.
bool write_out(std::FILE* out, const char* text, std::size_t count);

}  // namespace kvf
