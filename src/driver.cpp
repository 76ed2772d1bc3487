// SPDX-License-Identifier: MIT
#include "driver.h"

#include <cstdio>
#include <string_view>

#include "command_line.h"
#include "events.h"
#include "kvf_unpack.h"
#include "log_output.h"
#include "platform.h"

namespace kvf {

namespace {

// Large buffers live in static storage rather than on the stack.
LogOutput log_output;
LogOutput error_output;  // standard error: one line for each failure

// The container that the command line names, for the last event; nullptr for none.
const char* container = nullptr;

// Ends a run that fails before its first frame.
int fail_early(const EarlyFailure& failure) {
    fail_before_frames(log_output, &error_output, failure);
    return finish_output(log_output, error_output, container, STATUS_FAILED);
}

// Answers a request for help, the version, or one whose command line is wrong.
int answer(const Request& request) {
    if (request.kind == Request::Kind::usage_error) {
        char why[LOG_PIECE_MAX];
        (void)std::snprintf(why, sizeof why, "%s. Try 'kvf_unpack --help'.", request.why);
        return fail_early({"usage", USAGE_LINE, "", request.what, why, false});
    }
    log_output.format = LogFormat::text;  // an answer for people, whatever the log would have been
    add(log_output, answer_text(request.kind));
    return finish_output(log_output, error_output, nullptr, STATUS_OK);
}

// Refuses a run whose log or reasons would be written into the container on
// `in`, overwriting it or read back as frames: nothing is written into it,
// and the reason goes where it may. STATUS_OK when neither would be.
int refuse_output_into_input(std::FILE* in, const char* path) {
    const bool log_is_input = is_same_file(in, log_output.out);
    const bool errors_are_input = is_same_file(in, error_output.out);
    if (log_is_input) {
        if (!errors_are_input) {
            report_failure(error_output, path, "standard output is this container; the log would overwrite it");
            flush_log(error_output);
        }
        return STATUS_FAILED;
    }
    if (!errors_are_input) {
        return STATUS_OK;
    }
    // The reason is the log's, in its words: a line, or an event.
    constexpr std::string_view WHY = "standard error is this container; the reasons would be written into it";
    if (log_output.format == LogFormat::json) {
        fail_before_frames(log_output, nullptr, {"refused", "", "", path, WHY});
    } else {
        report_failure(log_output, path, WHY);
    }
    return finish_output(log_output, error_output, container, STATUS_FAILED);
}

// Makes the folder that `request` names the output folder, if it names one
// and images are made.
int open_folder(const Request& request) {
    const char* why = nullptr;
    if (request.directory == nullptr || !request.options.write_images || open_output_folder(request.directory, &why)) {
        return STATUS_OK;
    }
    return fail_early({"directory", "ERROR creating output directory: ", request.directory, request.directory, why});
}

// Confines the process as `request` needs before a byte of the input is
// read; where the kernel could confine and does not, nothing runs.
int confine_for(const Request& request) {
    const bool listing = !request.options.write_images;
    const char* why = nullptr;
    if (confine(listing ? Confinement::nothing : Confinement::write_images, &why)) {
        return STATUS_OK;
    }
    char reason[LOG_PIECE_MAX];
    (void)std::snprintf(reason, sizeof reason, "cannot confine the tool to %s: %s",
                        listing ? "reading this container" : "this folder", why);
    const char* subject = listing ? request.path : request.directory != nullptr ? request.directory : ".";
    return fail_early({"confine", "", "", subject, reason});
}

}  // namespace

int run_kvf_unpack(int argc, char** argv, std::FILE* out) {
    prepare_process();
    const Request request = parse_command_line(argc, argv);
    const bool answer_for_people = request.kind == Request::Kind::help || request.kind == Request::Kind::version;
    set_line_ends(out, answer_for_people || request.options.format != LogFormat::json);
    start_log(log_output, out, is_terminal(out), request.options.format);
    start_log(error_output, stderr, is_terminal(stderr));
    container = request.path;
    if (!answer_for_people) {
        log_start(log_output,
                  RunStart{request.path, !request.options.write_images, request.options.strict, request.directory});
    }
    if (request.kind != Request::Kind::unpack) {
        return answer(request);
    }
    // The input first: a folder is not made for a container that cannot be read.
    const char* why = nullptr;
    const bool standard_input = std::string_view(request.path) == "-";
    std::FILE* in = standard_input ? open_standard_input(&why) : open_input(request.path, &why);
    if (in == nullptr) {
        return fail_early({"open", "File not found: ", request.path, request.path, why});
    }
    int status = refuse_output_into_input(in, request.path);
    if (status == STATUS_OK) {
        status = open_folder(request);
    }
    if (status == STATUS_OK) {
        status = confine_for(request);
    }
    if (status == STATUS_OK) {
        status = unpack(in, request.path, log_output, error_output, request.options);
    }
    if (!standard_input) {
        (void)std::fclose(in);  // only read: nothing is lost at its close
    }
    return status;
}

}  // namespace kvf
