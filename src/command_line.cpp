// SPDX-License-Identifier: MIT
#include "command_line.h"

#include <cstdio>

#include "platform.h"

namespace kvf {

namespace {

constexpr std::string_view HELP =
    "Usage: kvf_unpack [OPTION]... FILE\n"
    "Takes apart the KVF firmware-download container FILE: logs its frames to\n"
    "standard output and writes each run of contiguous flash data into an image\n"
    "file. Exit status 0 when FILE was walked to its end, 1 on any error, whose\n"
    "reason is also written to standard error.\n"
    "\n"
    "  -C DIR, --directory=DIR  make the images in DIR (made if missing, one\n"
    "                           level) instead of the working directory;\n"
    "                           --directory DIR as well\n"
    "  -t, --list               list the images FILE holds (address, length in\n"
    "                           bytes, name), making no folder and no file\n"
    "  --json                   log JSON Lines events instead of text, for programs\n"
    "  --strict                 fail (status 1) on a container cut short, without\n"
    "                           its ADMINEND frame and trailer\n"
    "  --verify                 check the trailer's file length against the bytes\n"
    "                           read and its CRC-32 checksum against the bytes it\n"
    "                           may cover; fail (status 1) unless both match\n"
    "  -h, --help               show this help\n"
    "  --version                show the version and the licence\n"
    "  --                       end of options: a FILE named --help is -- --help\n"
    "  FILE as -                read the container from standard input\n"
    "\n"
    "With --json, each line is one event: start, erase_flash, display_text,\n"
    "dummy, flash_data (a stretch of frames), adminend, progress, unknown_type,\n"
    "cut_short, trailer, verify, run_open, run_close, notice, error, and end last;\n"
    "events.schema.json beside the format's description describes them.\n"
    "\n";
// Where the format's description is, from the program's folder.
constexpr const char* FORMAT_DOC = KVF_FORMAT_DOC_FROM_BIN;
constexpr std::string_view MANUAL = "Manual: " KVF_MANUAL "\n";
// Room for the help, with the description's path.
constexpr std::size_t HELP_ROOM = 8192;
constexpr std::string_view VERSION = "kvf_unpack " KVF_VERSION
                                     "\n"
                                     "Copyright (C) 2026 the kvf_unpack authors.\n"
                                     "License MIT: <https://opensource.org/license/mit>.\n"
                                     "This is free software: you are free to change and redistribute it.\n"
                                     "There is NO WARRANTY, to the extent permitted by law.\n";

// A request that the command line is wrong: `what` (an argument, or
// "command line") and why; the log's format asked for so far is kept.
Request usage_error(Request request, const char* what, const char* why) {
    request.kind = Request::Kind::usage_error;
    request.what = what;
    request.why = why;
    return request;
}

}  // namespace

Request parse_command_line(int argc, char** argv) {
    Request request;
    int files = 0;
    bool options_ended = false;
    bool json = false;
    bool list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (options_ended || argument == "-" || !argument.starts_with('-')) {
            request.path = argv[i];
            ++files;
        } else if (argument == "--") {
            options_ended = true;
        } else if (argument == "--help" || argument == "-h" || argument == "--version") {
            if (request.kind == Request::Kind::unpack) {
                request.kind = argument == "--version" ? Request::Kind::version : Request::Kind::help;
            }
        } else if (argument == "--json") {
            json = true;
        } else if (argument == "-t" || argument == "--list") {
            list = true;
        } else if (argument == "--strict") {
            request.options.strict = true;
        } else if (argument == "--verify") {
            request.options.verify = true;
        } else if (argument == "-C" || argument == "--directory") {
            if (i + 1 == argc || *argv[i + 1] == '\0') {
                return usage_error(request, argv[i], "needs a directory");
            }
            request.directory = argv[++i];
        } else if (argument.starts_with("--directory=") ||
                   (argument.starts_with("-C") && !argument.starts_with("--"))) {
            request.directory = argv[i] + (argument[1] == 'C' ? 2 : std::string_view("--directory=").size());
            if (*request.directory == '\0') {
                return usage_error(request, argv[i], "needs a directory");
            }
        } else {
            return usage_error(request, argv[i], "unknown option (a file of this name is given as ./NAME or after --)");
        }
        request.options.format = json ? LogFormat::json : list ? LogFormat::list : LogFormat::text;
        request.options.write_images = !list;
    }
    if (request.kind == Request::Kind::unpack && files != 1) {
        return usage_error(request, "command line",
                           files == 0 ? "no FILE given (kvf_unpack [OPTION]... FILE)"
                                      : "more than one FILE given (kvf_unpack [OPTION]... FILE)");
    }
    return request;
}

std::string_view answer_text(Request::Kind kind) {
    if (kind == Request::Kind::version) {
        return VERSION;
    }
    static char help[HELP_ROOM];
    char format[HELP_ROOM / 2];
    if (!installed_file(FORMAT_DOC, format, sizeof format)) {
        (void)std::snprintf(format, sizeof format, "%s from the program's folder", FORMAT_DOC);
    }
    const int length = std::snprintf(help, sizeof help, "%.*sThe format: %s\n%.*s", static_cast<int>(HELP.size()),
                                     HELP.data(), format, static_cast<int>(MANUAL.size()), MANUAL.data());
    return {help, length > 0 ? static_cast<std::size_t>(length) : 0};
}

}  // namespace kvf
