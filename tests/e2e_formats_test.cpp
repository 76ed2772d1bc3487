// SPDX-License-Identifier: MIT
// The three ways the real binary tells of a container: the text log while
// it extracts, JSON Lines events (--json), and the listing (-t) that writes
// nothing. Each container of one table is run all three ways, and the three
// must agree on the status, the reasons and every run.
#include <map>
#include <sstream>

#include "captured_log.h"
#include "tool_runner.h"
#include "utf8.h"

namespace kvf::test {
namespace {

using namespace kvf::build;

// One JSON event: each member's value, strings unescaped, anything else as written.
using Event = std::map<std::string, std::string>;

// Reads one line of JSON Lines as the tool writes them: a flat object of
// strings, numbers, booleans and arrays of numbers. Fails the test on anything else.
Event parse_event(const std::string& line) {
    Event event;
    std::size_t at = 0;
    const auto expect = [&](char c) {
        if (at >= line.size() || line[at] != c) {
            ADD_FAILURE() << "expected '" << c << "' at " << at << " in " << line;
            at = line.size();
            return false;
        }
        ++at;
        return true;
    };
    // A string starting at `at`, unescaped; \uXXXX as UTF-8 (pairs joined).
    const auto string = [&] {
        std::string out;
        expect('"');
        while (at < line.size() && line[at] != '"') {
            if (static_cast<unsigned char>(line[at]) < 0x20) {
                ADD_FAILURE() << "raw control character in " << line;
            }
            if (line[at] != '\\') {
                out += line[at++];
                continue;
            }
            const char c = line[++at];
            ++at;
            if (c != 'u') {
                out += c == 'n' ? '\n' : c == 't' ? '\t' : c == 'r' ? '\r' : c;
                continue;
            }
            std::uint32_t code = std::stoul(line.substr(at, 4), nullptr, 16);
            at += 4;
            if (code >= 0xD800 && code < 0xDC00 && line.compare(at, 2, "\\u") == 0) {
                code = 0x10000 + ((code - 0xD800) << 10) + (std::stoul(line.substr(at + 2, 4), nullptr, 16) - 0xDC00);
                at += 6;
            }
            char bytes[UTF8_MAX];
            out.append(bytes, encode_utf8(code, bytes));
        }
        expect('"');
        return out;
    };
    expect('{');
    while (at < line.size() && line[at] != '}') {
        const std::string key = string();
        expect(':');
        if (line[at] == '"') {
            event[key] = string();
        } else {
            const std::size_t end = line.find_first_of(",}", line[at] == '[' ? line.find(']', at) : at);
            event[key] = line.substr(at, end - at);
            at = end;
        }
        if (line[at] == ',') {
            ++at;
        }
    }
    expect('}');
    EXPECT_EQ(at, line.size()) << line;
    return event;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string hex8(const std::string& number) {
    char text[16];
    std::snprintf(text, sizeof text, "%08lX", std::stoul(number));
    return text;
}

class Formats : public testing::Test {
protected:
    TempDir dir;
};

TEST_F(Formats, TextJsonAndListingAgreeOnStatusReasonsAndEveryRun) {
    const std::string forged = "x\n0x00000038   : 'ADMINEND' keyword found";
    Bytes runs;  // texts, breaks, a revisited name, a wrap, an empty run, an unknown type, cut short
    append(runs, text("Boot Loader  V1.2"));
    append(runs, flash(0x1000, pattern(47, 1)));
    append(runs, frame(0x99, 1, 2));
    append(runs, flash(0x102F, pattern(10, 2)));
    append(runs, text("MAIN APP"));
    append(runs, flash(0xFFFFFFF0, pattern(47, 3)));
    append(runs, flash(0x1F, pattern(3, 4)));
    append(runs, flash(0x500, {}));
    append(runs, text("Boot Loader"));
    append(runs, flash(0x1000, pattern(5, 5)));
    append(runs, progress(0xFFFFFFFF));
    runs.insert(runs.end(), {0x12, 0x34});
    Bytes crafted;  // a text that forges a log line, one that is not UTF-8, one that hides
    append(crafted, text(forged));
    append(crafted, flash(0x100, pattern(4, 6)));
    append(crafted, text("caf\xE9 \xC3\xA9\xE2\x80\xAE"));
    append(crafted, erase(7, 8));
    append(crafted, dummy());
    close_container(crafted);
    Bytes failing = crafted;  // a bad dummy byte inside a run
    failing[4 * FRAME_SIZE + 30] = 0;
    Bytes trailing = crafted;  // bytes after the trailer
    trailing.push_back(0);
    Bytes long_runs;  // a run past the image's write block, broken, and one that wraps at 2^32 in the middle
    for (std::uint32_t i = 0; i < 7000; ++i) {
        append(long_runs, flash(0x1000 + i * 47, pattern(47, i)));
    }
    append(long_runs, erase(1, 2));
    for (std::uint32_t i = 0; i < 300; ++i) {
        append(long_runs, flash(0xFFFFF000 + i * 40, pattern(40, i)));
    }
    close_container(long_runs);
    const fs::path example = fs::path(KVF_SOURCE_DIR) / "examples" / "example.kvf";
    const std::pair<const char*, Bytes> cases[] = {
        {"example", read_bytes(example)}, {"runs", runs},           {"crafted", crafted}, {"failing", failing},
        {"trailing", trailing},           {"long runs", long_runs}, {"empty", {}},
    };
    for (const auto& [name, container] : cases) {
        SCOPED_TRACE(name);
        fs::remove_all(dir.path);
        fs::create_directories(dir.path / "text");
        fs::create_directories(dir.path / "json");
        fs::create_directories(dir.path / "list");
        write_bytes(dir.path / "in.kvf", container);
        const RunResult text = run_tool(dir.path / "text", {"../in.kvf"});
        const RunResult json = run_tool(dir.path / "json", {"--json", "../in.kvf"});
        const RunResult list = run_tool(dir.path / "list", {"-t", "../in.kvf"});
        EXPECT_EQ(json.status, text.status);
        EXPECT_EQ(list.status, text.status);
        EXPECT_EQ(json.errors, text.errors);
        EXPECT_EQ(list.errors, text.errors);
        EXPECT_EQ(entries(dir.path / "list"), std::vector<std::string>{}) << "a listing writes nothing";

        // The end event has the status.
        std::vector<std::string> closes;
        std::map<std::string, std::uint64_t> last_length;  // what each image holds once all is done
        const std::vector<std::string> lines = lines_of(json.log);
        ASSERT_FALSE(lines.empty());
        for (const std::string& line : lines) {
            Event event = parse_event(line);
            if (event["event"] == "run_close") {
                closes.push_back(hex8(event["address"]) + " " + event["length"] + " " + event["image"]);
                last_length[event["image"]] = std::stoull(event["length"]);
            }
        }
        Event end = parse_event(lines.back());
        EXPECT_EQ(end["status"], std::to_string(text.status));
        // The listing's lines are the runs' closes, then the trailer's as the text log has them.
        std::vector<std::string> listed = closes;
        for (const std::string& line : lines_of(text.log)) {
            if (line.starts_with("DWORD ") || line.starts_with("KVF ")) {
                listed.push_back(line);
            }
        }
        EXPECT_EQ(lines_of(list.log), listed);
        // A script counts the images left and the bytes read from the end event alone.
        EXPECT_EQ(end["images_standing"], std::to_string(last_length.size()));
        if (text.status == 0) {
            EXPECT_EQ(end["bytes"], std::to_string(container.size()));
        }
        // The images the text log's run made, each as long as its last run.
        std::vector<std::string> names;
        for (const auto& [image, length] : last_length) {
            names.push_back(image);
            EXPECT_EQ(fs::file_size(dir.path / "text" / image), length) << image;
            EXPECT_TRUE(has_bytes(dir.path / "json" / image, read_bytes(dir.path / "text" / image))) << image;
        }
        EXPECT_EQ(entries(dir.path / "text"), names);
    }
}

}  // namespace
}  // namespace kvf::test
