// SPDX-License-Identifier: MIT
#include "events.h"

#include <cstdio>
#include <cstring>

#include "hexdump.h"

namespace kvf {

namespace {

// Opens the JSON event of `kind`: its first member names what it tells of.
void begin_event(LogOutput& log, std::string_view kind) {
    add(log, "{\"event\":\"");
    add(log, kind);
    add(log, "\"");
}

// The opening of the JSON event of `kind` about what starts at a file
// offset, up to the offset's digits: one piece, for few appends an event.
#define KVF_EVENT_AT(kind) "{\"event\":\"" kind "\",\"offset\":"

// Opens a JSON event with `opening` (KVF_EVENT_AT) and the offset `offset`.
void begin_event_at(LogOutput& log, std::string_view opening, std::uint64_t offset) {
    add(log, opening);
    add_unsigned(log, offset);
}

// Appends `member` (`,"key":`) and a number.
void add_number(LogOutput& log, std::string_view member, std::uint64_t value) {
    add(log, member);
    add_unsigned(log, value);
}

// Appends `member` (`,"key":`) and a JSON boolean.
void add_boolean(LogOutput& log, std::string_view member, bool value) {
    add(log, member);
    add(log, value ? "true" : "false");
}

// Appends the member `"key":` and the outside text `text` as a JSON string,
// with `"key_hex":` and its bytes when it is not well-formed UTF-8.
void add_text_member(LogOutput& log, std::string_view key, std::string_view text) {
    add(log, ",\"");
    add(log, key);
    add(log, "\":\"");
    if (!add_json_text(log, text)) {
        add(log, "\",\"");
        add(log, key);
        add(log, "_hex\":\"");
        add_hex_bytes(log, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    add(log, "\"");
}

// Appends the member `"key":` and the outside text `text`, or null when there is none.
void add_text_or_null(LogOutput& log, std::string_view key, const char* text) {
    if (text != nullptr) {
        add_text_member(log, key, text);
        return;
    }
    add(log, ",\"");
    add(log, key);
    add(log, "\":null");
}

// Appends `,"hex":"..."` with `count` bytes.
void add_hex_member(LogOutput& log, const std::uint8_t* bytes, std::size_t count) {
    add(log, ",\"hex\":\"");
    add_hex_bytes(log, bytes, count);
    add(log, "\"");
}

// Appends the member "reason" as standard error words it: "WHAT: WHY".
void add_reason(LogOutput& log, std::string_view what, std::string_view why) {
    add(log, ",\"reason\":\"");
    (void)add_json_text(log, what);
    add(log, ": ");
    (void)add_json_text(log, why);
    add(log, "\"");
}

void end_event(LogOutput& log) {
    add(log, "}\n");
}

// Logs "(param1, param2)" as the erase and display-text lines show them.
void add_parameters(LogOutput& log, const Frame& frame) {
    add(log, "(");
    add_hex32(log, frame.param1);
    add(log, ", ");
    add_hex32(log, frame.param2);
    add(log, ")");
}

// A failure of `kind` at the frame at `offset` of the input `path`: its JSON
// event is opened and left for the caller to add its facts to and close with
// its reason.
void begin_failure_event(LogOutput& log, std::uint64_t offset, std::string_view kind) {
    begin_event_at(log, KVF_EVENT_AT("error"), offset);
    add(log, ",\"error\":\"");
    add(log, kind);
    add(log, "\"");
}

// Closes a failure's event with its reason, and reports the reason on `errors`.
void end_failure(LogOutput& log, LogOutput& errors, std::string_view what, std::string_view why) {
    if (log.format == LogFormat::json) {
        add_reason(log, what, why);
        end_event(log);
    }
    report_failure(errors, what, why);
}

}  // namespace

void log_start(LogOutput& log, const RunStart& start) {
    switch (log.format) {
    case LogFormat::json:
        begin_event(log, "start");
        add(log, ",\"version\":\"" KVF_VERSION "\"");
        add_text_or_null(log, "container", start.container);
        add_boolean(log, ",\"list\":", start.list);
        add_boolean(log, ",\"strict\":", start.strict);
        add_text_or_null(log, "directory", start.directory);
        end_event(log);
        break;
    case LogFormat::text:
    case LogFormat::list:
        break;
    }
}

void log_erase(LogOutput& log, std::uint64_t offset, const Frame& frame) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "Erase Flash ");
        add_parameters(log, frame);
        add(log, "\n");
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("erase_flash"), offset);
        add_number(log, ",\"param1\":", frame.param1);
        add_number(log, ",\"param2\":", frame.param2);
        end_event(log);
        break;
    case LogFormat::list:
        break;
    }
}

void log_display_text(LogOutput& log, std::uint64_t offset, const Frame& frame, std::string_view text) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "Display text ");
        add_parameters(log, frame);
        add(log, ": '");
        add_external(log, text);
        add(log, "'\n");
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("display_text"), offset);
        add_number(log, ",\"param1\":", frame.param1);
        add_number(log, ",\"param2\":", frame.param2);
        add_text_member(log, "text", text);
        end_event(log);
        break;
    case LogFormat::list:
        break;
    }
}

void log_dummy(LogOutput& log, std::uint64_t offset) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "Dummy frame found (payload is all 0xFF)\n");
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("dummy"), offset);
        end_event(log);
        break;
    case LogFormat::list:
        break;
    }
}

void log_flash_stretch(LogOutput& log, std::uint64_t offset, std::uint64_t frames, std::uint64_t length,
                       std::uint32_t address) {
    switch (log.format) {
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("flash_data"), offset);
        add_number(log, ",\"frames\":", frames);
        add_number(log, ",\"length\":", length);
        add_number(log, ",\"address\":", address);
        end_event(log);
        break;
    case LogFormat::text:
    case LogFormat::list:
        break;
    }
}

void log_adminend(LogOutput& log, std::uint64_t offset) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "'ADMINEND' keyword found\n");
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("adminend"), offset);
        end_event(log);
        break;
    case LogFormat::list:
        break;
    }
}

void log_progress(LogOutput& log, std::uint64_t offset, const Frame& frame) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "Update progress-bar to ");
        add_decimal(log, static_cast<std::int32_t>(frame.param1));
        add(log, " %\n");
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("progress"), offset);
        add_number(log, ",\"param1\":", frame.param1);
        add(log, ",\"percent\":");
        add_decimal(log, static_cast<std::int32_t>(frame.param1));
        end_event(log);
        break;
    case LogFormat::list:
        break;
    }
}

void log_unknown_type(LogOutput& log, std::uint64_t offset, std::uint8_t type) {
    switch (log.format) {
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("unknown_type"), offset);
        add_number(log, ",\"type\":", type);
        end_event(log);
        break;
    case LogFormat::text:
    case LogFormat::list:
        break;
    }
}

void log_cut_short(LogOutput& log, std::uint64_t offset, const std::uint8_t* bytes, std::size_t count) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "Unknown frame\n");
        hexdump(log, nullptr, bytes, static_cast<std::int32_t>(count));
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("cut_short"), offset);
        add_number(log, ",\"length\":", count);
        add_hex_member(log, bytes, count);
        end_event(log);
        break;
    case LogFormat::list:
        break;
    }
}

namespace {

// The trailer's lines in the text log: words 1 to 5 by number, then the length and the checksum.
void add_trailer_lines(LogOutput& log, const Trailer& trailer) {
    for (std::size_t word = 1; word < TRAILER_FILE_LENGTH_WORD; ++word) {
        log_printf(log, "DWORD %d = %08X\n", static_cast<int>(word), trailer.words[word - 1]);
    }
    log_printf(log, "KVF file length = %08X\n", trailer.words[TRAILER_FILE_LENGTH_WORD - 1]);
    log_printf(log, "KVF checksum (CRC-32) = %08X\n", trailer.words[TRAILER_CHECKSUM_WORD - 1]);
}

// What --verify found, in the text log's words.
void add_verify_lines(LogOutput& log, const Verification& v) {
    if (!v.has_trailer) {
        add(log, "KVF file length and checksum not verified: no trailer\n");
        return;
    }
    log_printf(log, "KVF file length %s the bytes read (%08llX)\n", v.length_matches ? "matches" : "does not match",
               static_cast<unsigned long long>(v.bytes_read));
    if (v.matched < COVERAGES) {
        add(log, "KVF checksum matches the CRC-32 of ");
        add(log, coverage_words(v.matched));
        add(log, "\n");
    } else {
        add(log, "KVF checksum not verified: the CRC-32 of none of the bytes tried\n");
    }
}

}  // namespace

void log_trailer(LogOutput& log, std::uint64_t adminend_offset, const std::uint8_t* bytes) {
    const Trailer trailer = decode_trailer(bytes);
    switch (log.format) {
    case LogFormat::text:
        add_trailer_lines(log, trailer);
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("trailer"), adminend_offset + FRAME_SIZE);
        add(log, ",\"words\":[");
        for (std::size_t word = 0; word < TRAILER_WORDS; ++word) {
            add(log, word == 0 ? "" : ",");
            add_unsigned(log, trailer.words[word]);
        }
        add_number(log, "],\"file_length\":", trailer.words[TRAILER_FILE_LENGTH_WORD - 1]);
        add_number(log, ",\"checksum\":", trailer.words[TRAILER_CHECKSUM_WORD - 1]);
        end_event(log);
        break;
    case LogFormat::list:  // after the runs (log_list_end)
        break;
    }
}

void log_verify(LogOutput& log, std::uint64_t offset, const Verification& v) {
    switch (log.format) {
    case LogFormat::text:
        add_verify_lines(log, v);
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("verify"), offset);
        add_number(log, ",\"bytes\":", v.bytes_read);
        if (!v.has_trailer) {
            add(log, ",\"file_length\":null,\"length_matches\":false,\"checksum\":null");
        } else {
            add_number(log, ",\"file_length\":", v.file_length);
            add_boolean(log, ",\"length_matches\":", v.length_matches);
            add_number(log, ",\"checksum\":", v.checksum);
        }
        for (std::size_t coverage = 0; coverage < COVERAGES; ++coverage) {
            add(log, ",\"crc32_");
            add(log, coverage_key(coverage));
            add(log, "\":");
            if (v.has_trailer) {
                add_unsigned(log, v.crc[coverage]);
            } else {
                add(log, "null");
            }
        }
        add(log, ",\"matched\":");
        if (v.matched < COVERAGES) {
            add(log, "\"");
            add(log, coverage_key(v.matched));
            add(log, "\"");
        } else {
            add(log, "null");
        }
        end_event(log);
        break;
    case LogFormat::list:  // after the runs (log_list_end)
        break;
    }
}

void log_list_end(LogOutput& log, const std::uint8_t* trailer, const Verification* verification) {
    if (log.format != LogFormat::list) {
        return;
    }
    if (trailer != nullptr) {
        add_trailer_lines(log, decode_trailer(trailer));
    }
    if (verification != nullptr) {
        add_verify_lines(log, *verification);
    }
}

void fail_verify(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path,
                 const Verification& v) {
    if (log.format == LogFormat::json) {
        begin_failure_event(log, offset, "verify");
        add_text_member(log, "path", path);
    }
    char why[LOG_PIECE_MAX];
    if (!v.has_trailer) {
        (void)std::snprintf(why, sizeof why, "no trailer to verify: the container ends at 0x%08llX",
                            static_cast<unsigned long long>(v.bytes_read));
    } else {
        const auto read = static_cast<unsigned long long>(v.bytes_read);
        constexpr const char* UNMATCHED = "is the CRC-32 of none of the bytes tried: not verified";
        if (!v.length_matches && v.matched >= COVERAGES) {
            (void)std::snprintf(why, sizeof why,
                                "the trailer's file length %08X is not the %08llX bytes read; its checksum %08X %s",
                                v.file_length, read, v.checksum, UNMATCHED);
        } else if (!v.length_matches) {
            (void)std::snprintf(why, sizeof why, "the trailer's file length %08X is not the %08llX bytes read",
                                v.file_length, read);
        } else {
            (void)std::snprintf(why, sizeof why, "the trailer's checksum %08X %s", v.checksum, UNMATCHED);
        }
    }
    end_failure(log, errors, path, why);
}

void log_run_break(LogOutput& log, std::uint64_t offset) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "End of current Flash data found, closing flashfile\n");
        break;
    case LogFormat::json:  // the run's close tells of it
    case LogFormat::list:
        break;
    }
}

void log_run_open(LogOutput& log, std::uint64_t offset, std::string_view image, std::uint32_t address) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "");
        add_external_line(log, "New Flashdata found, create new file for it: ", image);
        break;
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("run_open"), offset);
        add_text_member(log, "image", image);
        add_number(log, ",\"address\":", address);
        end_event(log);
        break;
    case LogFormat::list:
        break;
    }
}

void log_run_close(LogOutput& log, std::uint64_t offset, const RunSummary& run) {
    switch (log.format) {
    case LogFormat::json:
        begin_event_at(log, KVF_EVENT_AT("run_close"), offset);
        add_text_member(log, "image", run.image);
        add_number(log, ",\"address\":", run.address);
        add_number(log, ",\"length\":", run.length);
        add_number(log, ",\"frames\":", run.frames);
        end_event(log);
        break;
    case LogFormat::list:
        add_hex32(log, run.address);
        add(log, " ");
        add_unsigned(log, run.length);
        add(log, " ");
        add_external_line(log, "", run.image);
        break;
    case LogFormat::text:
        break;
    }
}

void log_incomplete(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path, bool strict) {
    char why[LOG_PIECE_MAX];
    (void)std::snprintf(why, sizeof why,
                        "the container ends at 0x%08llX without an ADMINEND frame and trailer (cut short?)",
                        static_cast<unsigned long long>(offset));
    switch (log.format) {
    case LogFormat::json:
        if (strict) {
            begin_failure_event(log, offset, "incomplete");
        } else {
            begin_event_at(log, KVF_EVENT_AT("notice"), offset);
            add(log, ",\"notice\":\"incomplete\"");
        }
        add_text_member(log, "path", path);
        add_reason(log, path, why);
        end_event(log);
        break;
    case LogFormat::text:
    case LogFormat::list:
        break;
    }
    report_failure(errors, path, why);
}

void log_end(LogOutput& log, const char* container, int status, const RunEnd& end) {
    switch (log.format) {
    case LogFormat::json:
        begin_event(log, "end");
        add_text_or_null(log, "container", container);
        add_number(log, ",\"status\":", static_cast<std::uint64_t>(status));
        add_number(log, ",\"bytes\":", end.bytes);
        add_number(log, ",\"frames\":", end.frames);
        add_number(log, ",\"images\":", end.images);
        if (end.images_standing >= 0) {
            add_number(log, ",\"images_standing\":", static_cast<std::uint64_t>(end.images_standing));
        } else {
            add(log, ",\"images_standing\":null");
        }
        end_event(log);
        break;
    case LogFormat::text:
    case LogFormat::list:
        break;
    }
}

void fail_dummy(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path, std::size_t index,
                std::uint8_t value) {
    switch (log.format) {
    case LogFormat::text:
        frame_printf(log, offset, "ERROR: Expected all framedata to be 0xFF but #%d is %02X", static_cast<int>(index),
                     value);
        // The line has no line break of its own; a terminal gets one, so that what follows starts a line.
        if (log.terminal) {
            add(log, "\n");
        }
        break;
    case LogFormat::json:
        begin_failure_event(log, offset, "dummy");
        add_number(log, ",\"byte\":", index);
        add_number(log, ",\"value\":", value);
        add_text_member(log, "path", path);
        break;
    case LogFormat::list:
        break;
    }
    char why[LOG_PIECE_MAX];
    (void)std::snprintf(why, sizeof why, "the dummy frame at 0x%08llX holds %02X at byte %d, not FF",
                        static_cast<unsigned long long>(offset), value, static_cast<int>(index));
    end_failure(log, errors, path, why);
}

void fail_flash_length(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path,
                       std::uint32_t length) {
    switch (log.format) {
    case LogFormat::text:
        frame_printf(log, offset, "ERROR: Flash data length %08X exceeds the frame payload\n", length);
        break;
    case LogFormat::json:
        begin_failure_event(log, offset, "flash_length");
        add_number(log, ",\"length\":", length);
        add_text_member(log, "path", path);
        break;
    case LogFormat::list:
        break;
    }
    char why[LOG_PIECE_MAX];
    (void)std::snprintf(why, sizeof why,
                        "the flash-data frame at 0x%08llX holds %u bytes, more than its %u-byte payload",
                        static_cast<unsigned long long>(offset), length, static_cast<unsigned>(PAYLOAD_SIZE));
    end_failure(log, errors, path, why);
}

void fail_trailer(LogOutput& log, LogOutput& errors, std::uint64_t adminend_offset, std::uint64_t event_offset,
                  std::string_view path, const std::uint8_t* bytes, std::size_t count, bool read_failed) {
    if (log.format == LogFormat::text) {
        add_frame_line(log, adminend_offset, "Unexpected trailer bytes found after ADMINEND:\n");
        hexdump(log, nullptr, bytes, static_cast<std::int32_t>(count));
    }
    if (read_failed) {
        return;  // the read error is reported on its own
    }
    switch (log.format) {
    case LogFormat::json:
        begin_failure_event(log, event_offset, "trailer");
        add_number(log, ",\"length\":", count);
        add_hex_member(log, bytes, count);
        add_text_member(log, "path", path);
        break;
    case LogFormat::text:
    case LogFormat::list:
        break;
    }
    char why[LOG_PIECE_MAX];
    const auto at = static_cast<unsigned long long>(adminend_offset);
    if (count > TRAILER_SIZE) {
        (void)std::snprintf(why, sizeof why, "more bytes follow the trailer after the ADMINEND frame at 0x%08llX", at);
    } else {
        (void)std::snprintf(why, sizeof why, "the trailer after the ADMINEND frame at 0x%08llX holds %u bytes, not %u",
                            at, static_cast<unsigned>(count), static_cast<unsigned>(TRAILER_SIZE));
    }
    end_failure(log, errors, path, why);
}

void fail_read(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::uint64_t event_offset,
               std::string_view path, int error, std::span<const std::uint8_t> trailer) {
    switch (log.format) {
    case LogFormat::text:
        // The path is the user's and may be longer than a printf line.
        add_frame_line(log, offset, "");
        add_external_line(log, "ERROR reading inputfile: ", path);
        break;
    case LogFormat::json:
        begin_failure_event(log, event_offset, "read");
        if (trailer.data() != nullptr) {  // the trailer the read cut short, as the text log dumps it
            add_number(log, ",\"length\":", trailer.size());
            add_hex_member(log, trailer.data(), trailer.size());
        }
        add_text_member(log, "path", path);
        break;
    case LogFormat::list:
        break;
    }
    end_failure(log, errors, path, std::strerror(error));
}

void fail_create(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view image,
                 std::string_view why) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "");
        add_external_line(log, "ERROR creating outputfile: ", image);
        break;
    case LogFormat::json:
        begin_failure_event(log, offset, "create");
        add_text_member(log, "image", image);
        break;
    case LogFormat::list:
        break;
    }
    end_failure(log, errors, image, why);
}

void fail_write(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view image, std::string_view why) {
    switch (log.format) {
    case LogFormat::text:
        add_frame_line(log, offset, "");
        add_external_line(log, "ERROR writing outputfile: ", image);
        break;
    case LogFormat::json:
        begin_failure_event(log, offset, "write");
        add_text_member(log, "image", image);
        break;
    case LogFormat::list:
        break;
    }
    end_failure(log, errors, image, why);
}

void fail_before_frames(LogOutput& log, LogOutput* errors, const EarlyFailure& failure) {
    switch (log.format) {
    case LogFormat::text:
        if (!failure.line.empty()) {
            add_external_line(log, failure.line, failure.subject);
        }
        break;
    case LogFormat::json:
        begin_event(log, "error");
        add(log, ",\"error\":\"");
        add(log, failure.kind);
        add(log, "\"");
        if (failure.what_is_path) {
            add_text_member(log, "path", failure.what);
        }
        add_reason(log, failure.what, failure.why);
        end_event(log);
        break;
    case LogFormat::list:
        break;
    }
    if (errors != nullptr) {
        report_failure(*errors, failure.what, failure.why);
    }
}

}  // namespace kvf
