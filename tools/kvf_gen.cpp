// SPDX-License-Identifier: MIT
// kvf_gen: writes KVF containers made by the project itself.
//
//   kvf_gen example FILE            a small container that shows every frame type
//   kvf_gen flash|mixed|log MIB FILE a benchmark workload of about MIB MiB
//   kvf_gen revisit MIB FILE        one-frame runs that alternate between two images
//   kvf_gen images MIB FILE         one-frame runs, each its own image at a free name
//   kvf_gen seeds DIR               a fuzzing seed corpus, one container per file
//   kvf_gen random SEED FILE        a random well-formed container: every frame
//                                   type, runs, breaks and revisited names, then
//                                   ADMINEND and a trailer
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <random>
#include <string>
#include <string_view>

#include "container_builder.h"

namespace {

using namespace kvf;
using namespace kvf::build;

// Streams frames to a file, keeping the length and checksum for the trailer.
struct Sink {
    std::FILE* file;
    std::uint64_t length = 0;
    std::uint32_t crc = 0;
};

// Write errors show in the stream's error indicator, checked when the file is closed.
void put(Sink& sink, std::span<const std::uint8_t> bytes) {
    (void)std::fwrite(bytes.data(), 1, bytes.size(), sink.file);
    sink.length += bytes.size();
    sink.crc = crc32(sink.crc, bytes);
}

void put_end(Sink& sink) {
    put(sink, adminend());
    const auto length = static_cast<std::uint32_t>(sink.length + TRAILER_SIZE);
    const TrailerBytes words = trailer({0x4B5646, 1, 0, 0, 0, length, sink.crc});
    (void)std::fwrite(words.data(), 1, words.size(), sink.file);
}

bool write_file(const std::string& path, std::span<const std::uint8_t> bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    return written && closed;
}

void put_run(Bytes& out, std::uint32_t address, std::size_t frames, std::uint32_t seed) {
    const Bytes data = pattern(frames * PAYLOAD_SIZE, seed);
    for (std::size_t i = 0; i < frames; ++i) {
        append(out, flash(address, std::span(data).subspan(i * PAYLOAD_SIZE, PAYLOAD_SIZE)));
        address += PAYLOAD_SIZE;
    }
}

Bytes example() {
    Bytes out;
    append(out, text("Boot Loader  V1.2"));
    append(out, erase(0x00010000, 0x00008000));
    append(out, progress(0));
    put_run(out, 0x00010000, 3, 1);
    append(out, progress(25));
    append(out, dummy());
    append(out, text("MAIN APP", 1, 2));
    append(out, erase(0x00020000, 0x00040000));
    put_run(out, 0x00020000, 2, 2);
    append(out, progress(50));
    append(out, frame(0x99, 0x12345678, 0x9ABCDEF0));  // unrecognised type, passed over
    const Bytes tail = pattern(20, 3);
    append(out, flash(0x00030000, tail));  // not contiguous: a new run
    append(out, progress(100));
    close_container(out);
    return out;
}

std::uint64_t frames_for(std::uint64_t mib) {
    return (mib * 1024 * 1024 - TRAILER_SIZE) / FRAME_SIZE - 1;
}

void workload_flash(Sink& sink, std::uint64_t frames) {
    put(sink, text("FLASH IMAGE"));
    std::uint32_t address = 0x08000000;
    Bytes data = pattern(PAYLOAD_SIZE, 7);
    for (std::uint64_t i = 1; i < frames; ++i) {
        data[0] = static_cast<std::uint8_t>(i);
        put(sink, flash(address, data));
        address += PAYLOAD_SIZE;
    }
}

void workload_mixed(Sink& sink, std::uint64_t frames) {
    constexpr std::uint64_t FRAMES_PER_SEGMENT = 400000;
    Bytes data = pattern(PAYLOAD_SIZE, 11);
    std::uint32_t address = 0;
    for (std::uint64_t i = 0; i < frames; ++i) {
        const std::uint64_t in_segment = i % FRAMES_PER_SEGMENT;
        if (in_segment == 0) {
            put(sink, text("Segment  " + std::to_string(i / FRAMES_PER_SEGMENT)));
            address = static_cast<std::uint32_t>(0x01000000 * (1 + i / FRAMES_PER_SEGMENT));
        } else if (in_segment == 1) {
            put(sink, erase(address, 0x01000000));
        } else if (in_segment % 200 == 0) {
            put(sink, progress(static_cast<std::uint32_t>(i * 100 / frames)));
        } else if (in_segment % 50000 == 0) {
            put(sink, dummy());
        } else {
            data[0] = static_cast<std::uint8_t>(i);
            put(sink, flash(address, data));
            address += PAYLOAD_SIZE;
        }
    }
}

void workload_log(Sink& sink, std::uint64_t frames) {
    for (std::uint64_t i = 0; i < frames; ++i) {
        switch (i % 3) {
        case 0:
            put(sink, dummy());
            break;
        case 1:
            put(sink, erase(static_cast<std::uint32_t>(i), 0x1000));
            break;
        default:
            put(sink, progress(static_cast<std::uint32_t>(i % 101)));
            break;
        }
    }
}

// One-frame runs, each breaking the one before, at two addresses in turn: each
// replaces the image that the run before the last made.
void workload_revisit(Sink& sink, std::uint64_t frames) {
    const Bytes data = pattern(PAYLOAD_SIZE, 13);
    for (std::uint64_t i = 0; i < frames; ++i) {
        put(sink, flash(static_cast<std::uint32_t>(0x1000 * (1 + i % 2)), data));
    }
}

// One-frame runs at addresses apart, each breaking the one before: an image a run.
void workload_images(Sink& sink, std::uint64_t frames) {
    const Bytes data = pattern(PAYLOAD_SIZE, 17);
    for (std::uint64_t i = 0; i < frames; ++i) {
        put(sink, flash(static_cast<std::uint32_t>(0x1000 * i), data));
    }
}

int write_workload(std::string_view kind, std::uint64_t mib, const char* path) {
    std::FILE* file = std::fopen(path, "wb");
    if (file == nullptr) {
        (void)std::fprintf(stderr, "kvf_gen: cannot create %s\n", path);
        return 1;
    }
    Sink sink{file};
    const std::uint64_t frames = frames_for(mib);
    if (kind == "flash") {
        workload_flash(sink, frames);
    } else if (kind == "mixed") {
        workload_mixed(sink, frames);
    } else if (kind == "revisit") {
        workload_revisit(sink, frames);
    } else if (kind == "images") {
        workload_images(sink, frames);
    } else {
        workload_log(sink, frames);
    }
    put_end(sink);
    const bool written = std::ferror(file) == 0;
    if (std::fclose(file) != 0 || !written) {
        (void)std::fprintf(stderr, "kvf_gen: error writing %s\n", path);
        return 1;
    }
    return 0;
}

// Small containers that reach every branch of the tool, as fuzzing seeds.
int write_seeds(const std::string& dir) {
    std::vector<Bytes> seeds;
    seeds.push_back(example());
    Bytes runs;
    append(runs, text("A  B"));
    put_run(runs, 0xFFFFFFFF - 2 * PAYLOAD_SIZE, 4, 5);  // wraps past 2^32
    append(runs, flash(0x100, {}));
    append(runs, flash(0x100, pattern(3, 1)));
    append(runs, text(std::string(PAYLOAD_SIZE, 'X')));
    append(runs, flash(0xFFFFFFFF - 10, pattern(10, 2)));  // ends exactly at 0xFFFFFFFF
    append(runs, flash(0xFFFFFFFF, pattern(1, 3)));
    close_container(runs);
    seeds.push_back(runs);
    for (std::size_t extra : {0, 1, 27, 29, 40}) {
        Bytes trailer_size;
        append(trailer_size, progress(0xFFFFFFFF));
        append(trailer_size, adminend());
        append(trailer_size, pattern(extra, 9));
        seeds.push_back(trailer_size);
    }
    Bytes escape;  // texts that must not lead an image out of the working directory
    for (const char* name : {"../../escape", "..\\up", "sub/dir"}) {
        append(escape, text(name));
        append(escape, flash(0x4000, pattern(8, 6)));
    }
    seeds.push_back(escape);
    Bytes bad_dummy;
    append(bad_dummy, dummy());
    bad_dummy.back() = 0;
    seeds.push_back(bad_dummy);
    Bytes short_frame;
    append(short_frame, erase(1, 2));
    append(short_frame, pattern(30, 4));
    seeds.push_back(short_frame);

    for (std::size_t i = 0; i < seeds.size(); ++i) {
        const std::string path = dir + "/seed" + std::to_string(i) + ".kvf";
        if (!write_file(path, seeds[i])) {
            (void)std::fprintf(stderr, "kvf_gen: cannot write %s\n", path.c_str());
            return 1;
        }
    }
    return 0;
}

// A container of random frames that kvf_unpack walks to its end with status
// 0: valid dummies, flash lengths within the payload, texts of any bytes.
Bytes random_container(std::uint32_t seed) {
    std::mt19937 random(seed);
    const auto below = [&random](std::uint32_t bound) { return static_cast<std::uint32_t>(random() % bound); };
    const auto bytes = [&](std::size_t length) {
        Bytes out(length);
        for (auto& byte : out) {
            byte = static_cast<std::uint8_t>(below(256));
        }
        return out;
    };
    // Texts from a few names (so that runs revisit them) and from any bytes but NUL.
    const char* names[] = {"Boot Loader  V1.2", "MAIN APP", "-rf", "../up", "a/b\\c", "APP "};
    Bytes out;
    std::uint32_t next_address = 0;
    const std::uint32_t frames = 1 + below(80);
    for (std::uint32_t i = 0; i < frames; ++i) {
        switch (below(10)) {
        case 0:
            append(out, erase(static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random())));
            break;
        case 1: {
            if (below(2) == 0) {
                append(out, text(names[below(std::size(names))], static_cast<std::uint32_t>(random())));
                break;
            }
            Bytes chars = bytes(below(PAYLOAD_SIZE + 1));  // all 47: no NUL, taken whole
            for (auto& c : chars) {
                c = c == 0 ? 'z' : c;
            }
            append(out, frame(FRAME_DISPLAY_TEXT, static_cast<std::uint32_t>(random()), 0, chars));
            break;
        }
        case 2:
            append(out, dummy());
            break;
        case 3:
            append(out, progress(static_cast<std::uint32_t>(random())));
            break;
        case 4: {
            // Unrecognised types, passed over.
            std::uint8_t type = static_cast<std::uint8_t>(below(256));
            if (type == FRAME_ERASE_FLASH || type == FRAME_DISPLAY_TEXT || type == FRAME_DUMMY ||
                type == FRAME_FLASH_DATA || type == FRAME_ADMINEND || type == FRAME_PROGRESS) {
                type = 0x99;
            }
            append(out, frame(type, static_cast<std::uint32_t>(random()), 0, bytes(PAYLOAD_SIZE)));
            break;
        }
        default: {
            // Flash data, mostly continuing the run; else at a few addresses, so that names repeat.
            const std::uint32_t address = below(3) != 0 ? next_address : 0x1000 * below(4) + below(2) * 0xFFFFFFF0U;
            const Bytes data = bytes(below(PAYLOAD_SIZE + 1));
            append(out, flash(address, data));
            next_address = address + static_cast<std::uint32_t>(data.size());
            break;
        }
        }
    }
    append(out, frame(FRAME_ADMINEND, static_cast<std::uint32_t>(random()), 0, bytes(PAYLOAD_SIZE)));
    append(out, trailer({static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(random()), 0, 0,
                         static_cast<std::uint32_t>(random()), static_cast<std::uint32_t>(out.size() + TRAILER_SIZE),
                         crc32(0, out)}));
    return out;
}

int usage() {
    (void)std::fputs(
        "Usage: kvf_gen example FILE | kvf_gen flash|mixed|log|revisit|images MIB FILE | kvf_gen seeds DIR | "
        "kvf_gen random SEED FILE\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        return usage();
    }
    const std::string_view mode = argv[1];
    if (mode == "example" && argc == 3) {
        return write_file(argv[2], example()) ? 0 : 1;
    }
    if (mode == "random" && argc == 4) {
        char* end = nullptr;
        const unsigned long seed = std::strtoul(argv[2], &end, 10);
        if (end == argv[2] || *end != '\0') {
            return usage();
        }
        return write_file(argv[3], random_container(static_cast<std::uint32_t>(seed))) ? 0 : 1;
    }
    if (mode == "seeds" && argc == 3) {
        return write_seeds(argv[2]);
    }
    if ((mode == "flash" || mode == "mixed" || mode == "log" || mode == "revisit" || mode == "images") && argc == 4) {
        char* end = nullptr;
        const unsigned long long mib = std::strtoull(argv[2], &end, 10);
        if (end == argv[2] || *end != '\0' || mib < 1 || mib > 1024ULL * 1024) {
            return usage();
        }
        return write_workload(mode, mib, argv[3]);
    }
    return usage();
}
