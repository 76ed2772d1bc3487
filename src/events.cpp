// SPDX-License-Identifier: MIT
#include "events.h"

#include <cstdio>
#include <cstring>

#include "hexdump.h"

namespace kvf {

namespace {

bool is_text(const LogOutput& log) {
    return log.format == LogFormat::text;
}

bool is_json(const LogOutput& log) {
    return log.format == LogFormat::json;
}

// Opens the JSON event about the frame at file offset `offset`.
void begin_event(LogOutput& log, std::uint64_t offset) {
    add(log, "{\"offset\":");
    add_unsigned(log, offset);
}

// Appends `member` (`,"key":`) and a number.
void add_number(LogOutput& log, std::string_view member, std::uint64_t value) {
    add(log, member);
    add_unsigned(log, value);
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

// A failure at the frame at `offset`: its JSON event, of `kind`, is opened
// and left for the caller to add its facts to and close with its reason.
void begin_failure_event(LogOutput& log, std::uint64_t offset, std::string_view kind) {
    begin_event(log, offset);
    add(log, ",\"error\":\"");
    add(log, kind);
    add(log, "\"");
}

// Closes a failure's event with its reason, and reports the reason on `errors`.
void end_failure(LogOutput& log, LogOutput& errors, std::string_view what, std::string_view why) {
    if (is_json(log)) {
        add_reason(log, what, why);
        end_event(log);
    }
    report_failure(errors, what, why);
}

}  // namespace

void log_erase(LogOutput& log, std::uint64_t offset, const Frame& frame) {
    if (is_text(log)) {
        add_frame_line(log, offset, "Erase Flash ");
        add_parameters(log, frame);
        add(log, "\n");
    } else if (is_json(log)) {
        begin_event(log, offset);
        add_number(log, ",\"frame\":\"erase_flash\",\"param1\":", frame.param1);
        add_number(log, ",\"param2\":", frame.param2);
        end_event(log);
    }
}

void log_display_text(LogOutput& log, std::uint64_t offset, const Frame& frame, std::string_view text) {
    if (is_text(log)) {
        add_frame_line(log, offset, "Display text ");
        add_parameters(log, frame);
        add(log, ": '");
        add_external(log, text);
        add(log, "'\n");
    } else if (is_json(log)) {
        begin_event(log, offset);
        add_number(log, ",\"frame\":\"display_text\",\"param1\":", frame.param1);
        add_number(log, ",\"param2\":", frame.param2);
        add_text_member(log, "text", text);
        end_event(log);
    }
}

void log_dummy(LogOutput& log, std::uint64_t offset) {
    if (is_text(log)) {
        add_frame_line(log, offset, "Dummy frame found (payload is all 0xFF)\n");
    } else if (is_json(log)) {
        begin_event(log, offset);
        add(log, ",\"frame\":\"dummy\"}\n");
    }
}

void log_flash_data(LogOutput& log, std::uint64_t offset, std::uint32_t length, std::uint32_t address) {
    if (is_json(log)) {
        begin_event(log, offset);
        add_number(log, ",\"frame\":\"flash_data\",\"length\":", length);
        add_number(log, ",\"address\":", address);
        end_event(log);
    }
}

void log_adminend(LogOutput& log, std::uint64_t offset) {
    if (is_text(log)) {
        add_frame_line(log, offset, "'ADMINEND' keyword found\n");
    } else if (is_json(log)) {
        begin_event(log, offset);
        add(log, ",\"frame\":\"adminend\"}\n");
    }
}

void log_progress(LogOutput& log, std::uint64_t offset, const Frame& frame) {
    if (is_text(log)) {
        add_frame_line(log, offset, "Update progress-bar to ");
        add_decimal(log, static_cast<std::int32_t>(frame.param1));
        add(log, " %\n");
    } else if (is_json(log)) {
        begin_event(log, offset);
        add_number(log, ",\"frame\":\"progress\",\"param1\":", frame.param1);
        add(log, ",\"percent\":");
        add_decimal(log, static_cast<std::int32_t>(frame.param1));
        end_event(log);
    }
}

void log_unknown_type(LogOutput& log, std::uint64_t offset, std::uint8_t type) {
    if (is_json(log)) {
        begin_event(log, offset);
        add_number(log, ",\"frame\":\"unknown\",\"type\":", type);
        end_event(log);
    }
}

void log_cut_short(LogOutput& log, std::uint64_t offset, const std::uint8_t* bytes, std::size_t count) {
    if (is_text(log)) {
        add_frame_line(log, offset, "Unknown frame\n");
        hexdump(log, nullptr, bytes, static_cast<std::int32_t>(count));
    } else if (is_json(log)) {
        begin_event(log, offset);
        add_number(log, ",\"frame\":\"unknown\",\"length\":", count);
        add_hex_member(log, bytes, count);
        end_event(log);
    }
}

void log_trailer(LogOutput& log, std::uint64_t adminend_offset, const std::uint8_t* bytes) {
    const Trailer trailer = decode_trailer(bytes);
    if (is_text(log)) {
        for (std::size_t word = 1; word < TRAILER_FILE_LENGTH_WORD; ++word) {
            log_printf(log, "DWORD %d = %08X\n", static_cast<int>(word), trailer.words[word - 1]);
        }
        log_printf(log, "KVF file length = %08X\n", trailer.words[TRAILER_FILE_LENGTH_WORD - 1]);
        log_printf(log, "KVF checksum (CRC-32) = %08X\n", trailer.words[TRAILER_CHECKSUM_WORD - 1]);
    } else if (is_json(log)) {
        begin_event(log, adminend_offset + FRAME_SIZE);
        add(log, ",\"trailer\":[");
        for (std::size_t word = 0; word < TRAILER_WORDS; ++word) {
            add(log, word == 0 ? "" : ",");
            add_unsigned(log, trailer.words[word]);
        }
        add(log, "]}\n");
    }
}

void log_run_break(LogOutput& log, std::uint64_t offset) {
    if (is_text(log)) {
        add_frame_line(log, offset, "End of current Flash data found, closing flashfile\n");
    }
}

void log_run_open(LogOutput& log, std::uint64_t offset, std::string_view image, std::uint32_t address) {
    if (is_text(log)) {
        add_frame_line(log, offset, "");
        add_external_line(log, "New Flashdata found, create new file for it: ", image);
    } else if (is_json(log)) {
        begin_event(log, offset);
        add(log, ",\"run\":\"open\"");
        add_text_member(log, "image", image);
        add_number(log, ",\"address\":", address);
        end_event(log);
    }
}

void log_run_close(LogOutput& log, std::uint64_t offset, const RunSummary& run) {
    if (is_json(log)) {
        begin_event(log, offset);
        add(log, ",\"run\":\"close\"");
        add_text_member(log, "image", run.image);
        add_number(log, ",\"address\":", run.address);
        add_number(log, ",\"length\":", run.length);
        add_number(log, ",\"frames\":", run.frames);
        end_event(log);
    } else if (log.format == LogFormat::list) {
        add_hex32(log, run.address);
        add(log, " ");
        add_unsigned(log, run.length);
        add(log, " ");
        add_external_line(log, "", run.image);
    }
}

void log_incomplete(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path, bool strict) {
    char why[LOG_PIECE_MAX];
    (void)std::snprintf(why, sizeof why,
                        "the container ends at 0x%08llX without an ADMINEND frame and trailer (cut short?)",
                        static_cast<unsigned long long>(offset));
    if (is_json(log)) {
        begin_event(log, offset);
        add(log, strict ? ",\"error\":\"incomplete\"" : ",\"notice\":\"incomplete\"");
        add_reason(log, path, why);
        end_event(log);
    }
    report_failure(errors, path, why);
}

void log_end(LogOutput& log, int status, std::uint64_t frames, std::uint64_t images) {
    if (is_json(log)) {
        add(log, "{\"end\":true");
        add_number(log, ",\"status\":", static_cast<std::uint64_t>(status));
        add_number(log, ",\"frames\":", frames);
        add_number(log, ",\"images\":", images);
        end_event(log);
    }
}

void fail_dummy(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path, std::size_t index,
                std::uint8_t value) {
    if (is_text(log)) {
        // The line has no line break of its own.
        frame_printf(log, offset, "ERROR: Expected all framedata to be 0xFF but #%d is %02X", static_cast<int>(index),
                     value);
    } else if (is_json(log)) {
        begin_failure_event(log, offset, "dummy");
        add_number(log, ",\"byte\":", index);
        add_number(log, ",\"value\":", value);
    }
    char why[LOG_PIECE_MAX];
    (void)std::snprintf(why, sizeof why, "the dummy frame at 0x%08llX holds %02X at byte %d, not FF",
                        static_cast<unsigned long long>(offset), value, static_cast<int>(index));
    end_failure(log, errors, path, why);
}

void fail_flash_length(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path,
                       std::uint32_t length) {
    if (is_text(log)) {
        frame_printf(log, offset, "ERROR: Flash data length %08X exceeds the frame payload\n", length);
    } else if (is_json(log)) {
        begin_failure_event(log, offset, "flash_length");
        add_number(log, ",\"length\":", length);
    }
    char why[LOG_PIECE_MAX];
    (void)std::snprintf(why, sizeof why,
                        "the flash-data frame at 0x%08llX holds %u bytes, more than its %u-byte payload",
                        static_cast<unsigned long long>(offset), length, static_cast<unsigned>(PAYLOAD_SIZE));
    end_failure(log, errors, path, why);
}

void fail_trailer(LogOutput& log, LogOutput& errors, std::uint64_t adminend_offset, std::string_view path,
                  const std::uint8_t* bytes, std::size_t count, bool read_failed) {
    if (is_text(log)) {
        add_frame_line(log, adminend_offset, "Unexpected trailer bytes found after ADMINEND:\n");
        hexdump(log, nullptr, bytes, static_cast<std::int32_t>(count));
    }
    if (read_failed) {
        return;  // the read error is reported on its own
    }
    if (is_json(log)) {
        begin_failure_event(log, adminend_offset, "trailer");
        add_number(log, ",\"length\":", count);
        add_hex_member(log, bytes, count);
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

void fail_read(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view path, int error) {
    if (is_text(log)) {
        // The path is the user's and may be longer than a printf line.
        add_frame_line(log, offset, "");
        add_external_line(log, "ERROR reading inputfile: ", path);
    } else if (is_json(log)) {
        begin_failure_event(log, offset, "read");
    }
    end_failure(log, errors, path, std::strerror(error));
}

void fail_create(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view image,
                 std::string_view why) {
    if (is_text(log)) {
        add_frame_line(log, offset, "");
        add_external_line(log, "ERROR creating outputfile: ", image);
    } else if (is_json(log)) {
        begin_failure_event(log, offset, "create");
        add_text_member(log, "image", image);
    }
    end_failure(log, errors, image, why);
}

void fail_write(LogOutput& log, LogOutput& errors, std::uint64_t offset, std::string_view image, std::string_view why) {
    if (is_text(log)) {
        add_frame_line(log, offset, "");
        add_external_line(log, "ERROR writing outputfile: ", image);
    } else if (is_json(log)) {
        begin_failure_event(log, offset, "write");
        add_text_member(log, "image", image);
    }
    end_failure(log, errors, image, why);
}

void fail_before_frames(LogOutput& log, LogOutput* errors, const EarlyFailure& failure) {
    if (is_text(log) && !failure.line.empty()) {
        add_external_line(log, failure.line, failure.subject);
    } else if (is_json(log)) {
        add(log, "{\"error\":\"");
        add(log, failure.kind);
        add(log, "\"");
        add_reason(log, failure.what, failure.why);
        end_event(log);
    }
    if (errors != nullptr) {
        report_failure(*errors, failure.what, failure.why);
    }
}

}  // namespace kvf
