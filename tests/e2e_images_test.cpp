// SPDX-License-Identifier: MIT
// Image files left by the real binary next to its log.
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <csignal>
#include <functional>
#include <optional>

#include "block_io.h"
#ifdef __linux__
#include "landlock.h"
#endif
#include "posix_acl.h"
#include "shared_cases.h"
#include "tool_runner.h"

namespace kvf::test {
namespace {

using namespace kvf::build;

// A copy of the executable `from` at `to` that any user may run.
void copy_executable(const fs::path& from, const fs::path& to) {
    fs::copy_file(from, to);
    fs::permissions(to, fs::perms(0755));
}

// The tool runs in `work`, a subdirectory, so that anything written beside
// it shows. Run as another user, it is a copy, with the fault hook, in a
// folder of the test's own: the checkout may lie where only its owner may enter.
class Images : public testing::Test {
protected:
    TempDir root;
    fs::path work = root.path / "work";
    TempDir copies;
    std::string tool = tool_path();
    std::string hook;
    void SetUp() override {
        fs::create_directory(work);
#ifdef KVF_FAULT_HOOK
        hook = KVF_FAULT_HOOK;
#endif
        if (geteuid() != 0) {
            return;
        }
        fs::permissions(copies.path, fs::perms(0755));
        tool = (copies.path / "kvf_unpack").string();
        copy_executable(KVF_UNPACK_EXE, tool);
        if (*KVF_EMULATOR != '\0') {  // cross-built: the copy runs under the emulator
            tool = (copies.path / "kvf_unpack_emulated").string();
            std::ofstream(tool) << "#!/bin/sh\nexec " KVF_EMULATOR " " << copies.path / "kvf_unpack"
                                << " \"$@\"\n";
            fs::permissions(tool, fs::perms(0755));
        }
        if (!hook.empty()) {
            copy_executable(hook, copies.path / "fault_hook.so");
            hook = (copies.path / "fault_hook.so").string();
        }
    }
    // The shell words that start the tool, "$0", with the fault hook and `faults` in its environment.
    std::string with_faults(const std::string& faults) const {
        return "env LD_PRELOAD=" + hook + " " + faults + " \"$0\" ";
    }

    RunResult unpack(const Bytes& container) {
        write_bytes(root.path / "in.kvf", container);
        return run_tool(work, {"../in.kvf"});
    }
    void expect_files(const std::vector<std::string>& names) {
        EXPECT_EQ(entries(work), names);
        EXPECT_EQ(entries(root.path), (std::vector<std::string>{"in.kvf", "work"}));
    }
};

// The shell words that run a program as a user without privileges:
// `nobody` when the tests run as root, the tests' own user otherwise.
std::string unprivileged() {
    return geteuid() == 0 ? "setpriv --reuid=nobody --regid=nogroup --clear-groups " : "";
}

// Gives `path` and what it holds to the user unprivileged() runs as.
void give_away(const fs::path& path) {
    const passwd* nobody = getpwnam("nobody");
    if (geteuid() != 0 || nobody == nullptr) {
        return;
    }
    ASSERT_EQ(lchown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << path;
    if (fs::is_directory(fs::symlink_status(path))) {
        for (const auto& entry : fs::directory_iterator(path)) {
            give_away(entry.path());
        }
    }
}

int set_acl(const fs::path& path, const char* attribute, const Bytes& value) {
    return setxattr(path.c_str(), attribute, value.data(), value.size(), 0);
}

// The access ACL of `path`, or nothing.
Bytes acl_of(const fs::path& path) {
    std::uint8_t value[512];
    const ssize_t size = getxattr(path.c_str(), "system.posix_acl_access", value, sizeof value);
    return size > 0 ? Bytes(value, value + size) : Bytes{};
}

TEST_F(Images, ContiguousFramesFormOneRunAcrossOtherFrames) {
    const Bytes first = pattern(47, 1);
    const Bytes second = pattern(47, 2);
    Bytes in;
    append(in, text("Boot Loader  V1.2"));
    append(in, flash(0x1000, first));
    append(in, erase(1, 2));
    append(in, text("OTHER"));  // names only the next run
    append(in, progress(5));
    append(in, dummy());
    append(in, frame(0x77, 0, 0));
    append(in, flash(0x102F, second));
    close_container(in);
    const RunResult result = unpack(in);
    EXPECT_TRUE(same_log(result.log,
                         "0x00000000   : Display text (00000000, 00000000): 'Boot Loader  V1.2'\n"
                         "0x00000038   : New Flashdata found, create new file for it: boot_loader_00001000.bin\n"
                         "0x00000070   : Erase Flash (00000001, 00000002)\n"
                         "0x000000A8   : Display text (00000000, 00000000): 'OTHER'\n"
                         "0x000000E0   : Update progress-bar to 5 %\n"
                         "0x00000118   : Dummy frame found (payload is all 0xFF)\n"
                         "0x000001C0   : 'ADMINEND' keyword found\n" +
                             trailer_lines(in)));
    EXPECT_EQ(result.status, 0);
    expect_files({"boot_loader_00001000.bin"});
    EXPECT_TRUE(has_bytes(work / "boot_loader_00001000.bin", cat(first, second)));
    // Readable and writable as any file the user makes: 0666 less the umask, whatever this machine's is.
    for (const auto& [mask, permissions] : {std::pair{"0", 0666}, std::pair{"077", 0600}, std::pair{"022", 0644}}) {
        fs::remove(work / "boot_loader_00001000.bin");
        run(work, {"/bin/sh", "-c", std::string("umask ") + mask + "; exec \"$0\" ../in.kvf", tool});
        EXPECT_EQ(fs::status(work / "boot_loader_00001000.bin").permissions(), fs::perms(permissions)) << mask;
    }
    // An image that replaces a file takes its access rules, whatever the
    // umask, never set-user-ID, and never more than the file gave: its ACL,
    // or none where a folder's default would give one; where its group cannot
    // be kept (the tool's user is not in it), nothing for the group, and for
    // others only what the old group had too. Old files are root's, the tool
    // runs as root or as nobody.
    const fs::path image = work / "boot_loader_00001000.bin";
    const std::uint32_t nobody = getpwnam("nobody") != nullptr ? getpwnam("nobody")->pw_uid : 65534;
    const Bytes nobody_acl =
        acl({{OWNER, 6, ANY}, {USER, 6, nobody}, {GROUP, 4, ANY}, {MASK, 6, ANY}, {OTHER, 6, ANY}});
    const Bytes nobody_acl_without_group =
        acl({{OWNER, 6, ANY}, {USER, 6, nobody}, {GROUP, 0, ANY}, {MASK, 6, ANY}, {OTHER, 4, ANY}});
    const Bytes group_acl =
        acl({{OWNER, 6, ANY}, {GROUP, 0, ANY}, {NAMED_GROUP, 4, 4343}, {MASK, 4, ANY}, {OTHER, 0, ANY}});
    const Bytes folder_default =
        acl({{OWNER, 6, ANY}, {USER, 6, 12345}, {GROUP, 4, ANY}, {MASK, 6, ANY}, {OTHER, 0, ANY}});
    const struct {
        const char* how;
        int mode;
        gid_t group;
        Bytes acl;  // the old file's
        bool in_default_acl_folder;
        bool as_nobody;
        int made;  // the new file's permission bits
        bool group_kept;
        Bytes made_acl;
    } replacements[] = {
        {"set-user-ID", 04664, getegid(), {}, false, false, 0664, true, {}},
        {"a group nobody is not in", 0646, 4242, {}, false, true, 0604, false, {}},
        {"an ACL that lets nobody in", 0666, 0, nobody_acl, false, true, 0664, false, nobody_acl_without_group},
        {"an ACL that lets a group in, as root", 0600, 4242, group_acl, false, false, 0640, true, group_acl},
        {"no ACL, in a folder whose default ACL lets a user in", 0640, 4242, {}, true, false, 0640, true, {}},
    };
    for (const auto& [how, mode, group, old_acl, in_default_acl_folder, as_nobody, made, group_kept, made_acl] :
         replacements) {
        SCOPED_TRACE(how);
        if (geteuid() != 0 && group != getegid()) {
            continue;  // only root can make such files
        }
        fs::remove_all(work);
        fs::create_directory(work);
        if (as_nobody) {
            give_away(root.path);
        }
        write_bytes(image, pattern(5, 5));
        // Root keeps an owner, which nobody cannot: the new image is nobody's either way.
        ASSERT_EQ(chown(image.c_str(), geteuid() == 0 && !as_nobody ? nobody : geteuid(), group), 0);
        fs::permissions(image, fs::perms(mode));
        if ((in_default_acl_folder && set_acl(work, "system.posix_acl_default", folder_default) != 0) ||
            (!old_acl.empty() && set_acl(image, "system.posix_acl_access", old_acl) != 0)) {
            continue;  // a file system without ACLs
        }
        run(work, {"/bin/sh", "-c", "umask 077; exec " + (as_nobody ? unprivileged() : "") + "\"$0\" ../in.kvf", tool});
        struct stat replaced {};
        ASSERT_EQ(stat(image.c_str(), &replaced), 0);
        EXPECT_EQ(replaced.st_mode & 07777, static_cast<mode_t>(made));
        EXPECT_EQ(replaced.st_gid == group, group_kept);
        EXPECT_EQ(replaced.st_uid, geteuid() == 0 ? nobody : geteuid());
        EXPECT_EQ(acl_of(image), made_acl);
        EXPECT_TRUE(has_bytes(image, cat(first, second)));
    }
}

TEST_F(Images, AddressGapBreaksTheRun) {
    Bytes in;
    append(in, text("APP"));
    append(in, flash(0x1000, pattern(47, 1)));
    append(in, text("Next"));
    append(in, flash(0x1030, pattern(47, 2)));
    const RunResult result = unpack(in);
    EXPECT_TRUE(same_log(result.log,
                         "0x00000000   : Display text (00000000, 00000000): 'APP'\n"
                         "0x00000038   : New Flashdata found, create new file for it: app_00001000.bin\n"
                         "0x00000070   : Display text (00000000, 00000000): 'Next'\n"
                         "0x000000A8   : End of current Flash data found, closing flashfile\n"
                         "0x000000A8   : New Flashdata found, create new file for it: next_00001030.bin\n"
                         "0x000000E0   : Unknown frame\n" +
                             ZERO_DUMP));
    EXPECT_EQ(result.status, 0);
    expect_files({"app_00001000.bin", "next_00001030.bin"});
    EXPECT_TRUE(has_bytes(work / "app_00001000.bin", pattern(47, 1)));
    EXPECT_TRUE(has_bytes(work / "next_00001030.bin", pattern(47, 2)));
}

TEST_F(Images, ZeroLengthFrameOpensARunAtItsOwnAddress) {
    write_bytes(work / "_00000500.bin", Bytes{'x'});  // an older file: replaced by an empty image
    Bytes in;
    append(in, flash(0x100, {}));
    append(in, flash(0x100, pattern(3, 1)));
    append(in, flash(0x500, {}));  // a break: an empty image of its own
    const RunResult result = unpack(in);
    EXPECT_EQ(result.status, 0);
    expect_files({"_00000100.bin", "_00000500.bin"});
    EXPECT_TRUE(has_bytes(work / "_00000100.bin", pattern(3, 1)));
    EXPECT_TRUE(has_bytes(work / "_00000500.bin", {}));
}

TEST_F(Images, RunsContinuePastTheTopOfTheAddressSpace) {
    const Bytes a = pattern(47, 1), b = pattern(10, 2), c = pattern(5, 3), d = pattern(1, 4);
    Bytes in;
    append(in, flash(0xFFFFFFF0, a));  // wraps: continues at 0x1F
    append(in, flash(0x0000001F, b));
    append(in, flash(0xFFFFFFFF - 5, c));  // ends exactly at 0xFFFFFFFF, which still continues it
    append(in, flash(0x00000029, d));
    append(in, flash(0xFFFFFFFF - 5, c));  // ends at 0xFFFFFFFF ...
    append(in, flash(0xFFFFFFFF, d));      // ... and is continued there
    const RunResult result = unpack(in);
    EXPECT_TRUE(same_log(result.log,
                         "0x00000000   : New Flashdata found, create new file for it: _FFFFFFF0.bin\n"
                         "0x00000070   : End of current Flash data found, closing flashfile\n"
                         "0x00000070   : New Flashdata found, create new file for it: _FFFFFFFA.bin\n"
                         "0x000000A8   : End of current Flash data found, closing flashfile\n"
                         "0x000000A8   : New Flashdata found, create new file for it: _00000029.bin\n"
                         "0x000000E0   : End of current Flash data found, closing flashfile\n"
                         "0x000000E0   : New Flashdata found, create new file for it: _FFFFFFFA.bin\n"
                         "0x00000150   : Unknown frame\n" +
                             ZERO_DUMP));
    EXPECT_EQ(result.status, 0);
    expect_files({"_00000029.bin", "_FFFFFFF0.bin", "_FFFFFFFA.bin"});
    EXPECT_TRUE(has_bytes(work / "_FFFFFFF0.bin", cat(a, b)));
    EXPECT_TRUE(has_bytes(work / "_FFFFFFFA.bin", cat(c, d)));  // the second run replaced the first
    // Under a umask that leaves its images read-only, the run still replaces
    // its own, as the listing expects; as nobody, and as root.
    for (const std::string& user : {unprivileged(), std::string()}) {
        fs::remove_all(work);
        fs::create_directory(work);
        give_away(root.path);
        for (const char* list : {"-t ", ""}) {
            const RunResult own =
                run(work, {"/bin/sh", "-c", "umask 0222; exec " + user + "\"$0\" " + list + "../in.kvf", tool});
            EXPECT_EQ(own.status, 0) << user << list << own.errors;
        }
        EXPECT_TRUE(has_bytes(work / "_FFFFFFFA.bin", cat(c, d)));
        EXPECT_EQ(fs::status(work / "_FFFFFFFA.bin").permissions(), fs::perms(0444));
    }
}

TEST_F(Images, RunsOwnReadOnlyImagesAreToldApartFromOtherFiles) {
    // Under umask 0222, as nobody: a name visited three times is the run's
    // own each time; the 4097th read-only image is past the table of its own
    // and is kept like any read-only file; and an image of the run that
    // another user takes over while the input stalls (same inode, another
    // owner) is not the run's own any more.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to run as nobody and give a file away";
    }
    const Bytes byte = {7};
    Bytes thrice;
    for (const std::uint32_t address : {0x100U, 0x300U, 0x100U, 0x300U, 0x100U}) {
        append(thrice, flash(address, byte));
    }
    Bytes table;
    for (std::uint32_t run = 0; run <= 4096; ++run) {
        append(table, flash(run * 0x10, byte));
    }
    append(table, flash(0, byte));            // the first: its own
    append(table, flash(4096 * 0x10, byte));  // the 4097th: kept
    Bytes taken;
    for (const std::uint32_t address : {0x100U, 0x300U}) {
        append(taken, flash(address, byte));
    }
    write_bytes(root.path / "later.kvf", flash(0x100, byte));
    const std::string stall = "(cat ../in.kvf; until [ -e ../go ]; do sleep 0.05; done; cat ../later.kvf) | ";
    const std::string take_over =
        "& i=0; until [ -e _00000100.bin ] || [ $i -ge 100 ]; do sleep 0.05; "
        "i=$((i + 1)); done; chown root _00000100.bin; touch ../go; wait $!";
    const struct {
        const char* what;
        const Bytes& in;
        std::string before, after;
        int status;
        std::string errors;
    } cases[] = {
        {"a name visited three times", thrice, "", "", 0, ""},
        {"the 4097th read-only image", table, "", "", 1, "kvf_unpack: _00010000.bin: Permission denied\n"},
        {"an image another user took over", taken, stall, take_over, 1,
         "kvf_unpack: _00000100.bin: Permission denied\n"},
    };
    for (const auto& [what, in, before, after, status, errors] : cases) {
        SCOPED_TRACE(what);
        fs::remove_all(work);
        fs::create_directory(work);
        fs::remove(root.path / "go");
        write_bytes(root.path / "in.kvf", in);
        give_away(root.path);
        const RunResult result = run(work, {"/bin/sh", "-c",
                                            "umask 0222; " + before + unprivileged() + "\"$0\" " +
                                                (before.empty() ? "../in.kvf " : "- ") + after,
                                            tool});
        EXPECT_EQ(result.status, status);
        if (status != 0) {
            EXPECT_EQ(result.errors.substr(0, result.errors.find('\n') + 1), errors);
        }
    }
}

TEST_F(Images, FolderThatKeepsItsFilesRefusesAReplacementAtItsRunsOpen) {
    // A folder where files may be made but none taken away (chattr +a), and a
    // sticky folder holding another user's file that anyone may write: the
    // replacement is refused when its run opens, the old file kept, nothing
    // left beside it. A free name in the same folder is made.
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root for chattr and another user's file";
    }
    Bytes in;
    append(in, flash(0x100, pattern(3, 1)));
    append(in, flash(0x200, pattern(3, 2)));
    write_bytes(root.path / "in.kvf", in);
    const fs::path held = work / "_00000200.bin";
    for (const bool sticky : {false, true}) {
        SCOPED_TRACE(sticky ? "sticky folder" : "append-only folder");
        fs::remove_all(work);
        fs::create_directory(work);
        write_bytes(held, pattern(9, 9));
        fs::permissions(held, fs::perms(0666));
        if (sticky) {
            fs::permissions(work, fs::perms(01777));
        }
        const bool attribute = sticky || std::system(("chattr +a " + work.string() + " 2>/dev/null").c_str()) == 0;
        if (!attribute) {
            GTEST_SKIP() << "this file system keeps no append-only attribute";
        }
        const RunResult result =
            run(work, {"/bin/sh", "-c", "exec " + (sticky ? unprivileged() : "") + "\"$0\" ../in.kvf", tool});
        (void)std::system(("chattr -a " + work.string() + " 2>/dev/null").c_str());
        EXPECT_TRUE(same_log(result.log,
                             "0x00000000   : New Flashdata found, create new file for it: _00000100.bin\n"
                             "0x00000038   : End of current Flash data found, closing flashfile\n"
                             "0x00000038   : ERROR creating outputfile: _00000200.bin\n"));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors.substr(0, result.errors.find('\n') + 1),
                  "kvf_unpack: _00000200.bin: Operation not permitted\n");
        EXPECT_EQ(entries(work), (std::vector<std::string>{"_00000100.bin", "_00000200.bin"}));
        EXPECT_TRUE(has_bytes(held, pattern(9, 9)));
    }
}

TEST_F(Images, CraftedTextsStayInTheWorkingDirectory) {
    Bytes in;
    std::uint32_t address = 0;
    for (const char* name : {"../../evil", "/tmp/kvf_abs", "..\\up", "..", "sub/", "--checkpoint-action=exec=sh"}) {
        append(in, text(name));
        address += 0x100;
        append(in, flash(address, pattern(4, address)));
    }
    const RunResult result = unpack(in);
    EXPECT_EQ(result.status, 0);
    expect_files({".._.._evil_00000100.bin", ".._00000400.bin", ".._up_00000300.bin",
                  "_-checkpoint-action=exec=sh_00000600.bin", "_tmp_kvf_abs_00000200.bin", "sub__00000500.bin"});
    EXPECT_FALSE(fs::exists("/tmp/kvf_abs_00000200.bin"));
}

TEST_F(Images, LengthBeyondThePayloadStopsWithEarlierImagesComplete) {
    Bytes in;
    append(in, flash(0x10, pattern(47, 1)));
    FrameBytes oversized = flash(0x3F, pattern(47, 2));
    write_le32(&oversized[PARAM1_OFFSET], 48);
    append(in, oversized);
    append(in, progress(1));
    const RunResult result = unpack(in);
    EXPECT_TRUE(same_log(result.log,
                         "0x00000000   : New Flashdata found, create new file for it: _00000010.bin\n"
                         "0x00000038   : ERROR: Flash data length 00000030 exceeds the frame payload\n"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(
        result.errors,
        "kvf_unpack: ../in.kvf: the flash-data frame at 0x00000038 holds 48 bytes, more than its 47-byte payload\n");
    expect_files({"_00000010.bin"});
    EXPECT_TRUE(has_bytes(work / "_00000010.bin", pattern(47, 1)));
    // An image that was to replace a file is given up with the run: the old file stands.
    write_bytes(work / "_00000010.bin", pattern(9, 9));
    EXPECT_EQ(unpack(in).status, 1);
    expect_files({"_00000010.bin"});
    EXPECT_TRUE(has_bytes(work / "_00000010.bin", pattern(9, 9)));
}

// Whatever stands at an image's name that is not a regular file (a
// directory, a link, a FIFO), is the input or the log under any name, or is
// a file the user could not have written, is left as it is, never opened:
// the run stops, with the images before it complete. A regular file is
// replaced by a new one with its permissions, so that its other names keep
// their content and a private image stays private.
TEST_F(Images, ImageThatCannotOrMustNotBeCreatedStopsTheRun) {
    const Bytes in = clashing_container();
    const fs::path outside = root.path / "outside";
    const fs::path kept = root.path / "kept";
    const fs::path clash = work / "b_00000200.bin";
    // Runs the tool through a shell, in which "$0" is the tool.
    const auto shell = [&](const std::string& command) { return run(work, {"/bin/sh", "-c", command, tool}); };
    // A file with `permissions` at the image's name, owned by root or by the
    // user the tool then runs as, with no privileges.
    const auto unwritable_file = [&](int permissions, bool root_owned) {
        write_bytes(clash, pattern(6, 6));
        fs::permissions(clash, fs::perms(permissions));
        give_away(root.path);
        if (root_owned) {
            EXPECT_EQ(lchown(clash.c_str(), 0, 0), 0);
        }
        return shell(unprivileged() + "\"$0\" ../in.kvf");
    };
    const struct {
        std::string how;
        std::string reason;
        std::function<RunResult()> place_and_run;  // puts it at the image's name and runs the tool
        bool content_kept;                         // the file there still holds the container
    } cases[] = {
        {"directory", "a directory stands at this name",
         [&] {
             fs::create_directory(clash);
             return run_tool(work, {"../in.kvf"});
         },
         false},
        {"path", "this is the input container",
         [&] {
             fs::rename(root.path / "in.kvf", clash);
             return run_tool(work, {"b_00000200.bin"});
         },
         true},
        {"hard link", "this is the input container",
         [&] {
             fs::create_hard_link(root.path / "in.kvf", clash);
             return run_tool(work, {"../in.kvf"});
         },
         true},
        {"symlink", "a symbolic link stands at this name",
         [&] {
             fs::create_symlink("../in.kvf", clash);
             return run_tool(work, {"../in.kvf"});
         },
         true},
        {"standard output", "the log is written to this file",
         [&] {
             write_bytes(clash, {});
             RunResult result = run(work, {tool, "../in.kvf"}, clash.string());
             result.log = read_text(clash);
             return result;
         },
         false},
        {"standard error", "standard error is written to this file",
         [&] {
             write_bytes(clash, {});
             RunResult result = shell("exec \"$0\" ../in.kvf 2> b_00000200.bin");
             result.errors = read_text(clash);
             return result;
         },
         false},
        {"symlink out", "a symbolic link stands at this name",
         [&] {
             write_bytes(outside, pattern(5, 7));
             fs::create_symlink("../outside", clash);
             return run_tool(work, {"../in.kvf"});
         },
         false},
        {"dangling symlink", "a symbolic link stands at this name",
         [&] {
             fs::create_symlink("../outside", clash);
             return run_tool(work, {"../in.kvf"});
         },
         false},
        {"FIFO", "a FIFO stands at this name",
         [&] {
             EXPECT_EQ(mkfifo(clash.c_str(), 0600), 0);
             return run_tool(work, {"../in.kvf"});
         },
         false},
        {"FIFO input", "a FIFO stands at this name",
         [&] {
             EXPECT_EQ(mkfifo(clash.c_str(), 0600), 0);
             return shell("cat ../in.kvf > b_00000200.bin & exec \"$0\" b_00000200.bin");
         },
         false},
        {"FIFO with a blocked reader", "a FIFO stands at this name",
         [&] {
             // A reader waiting for a writer is not woken: the tool never opens the FIFO.
             EXPECT_EQ(mkfifo(clash.c_str(), 0600), 0);
             RunResult result = shell(
                 "cat b_00000200.bin > /dev/null & sleep 0.3; \"$0\" ../in.kvf; status=$?; sleep 0.3; "
                 "kill -0 $! && echo waiting > ../reader; kill $!; exit $status");
             EXPECT_EQ(read_text(root.path / "reader"), "waiting\n");
             return result;
         },
         false},
        {"read-only file of the user's own", "Permission denied", [&] { return unwritable_file(0444, false); }, false},
        {"another user's file", "Permission denied", [&] { return unwritable_file(0644, true); }, false},
        {"device", "a device stands at this name",
         [&] {
             EXPECT_EQ(mknod(clash.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);  // the null device
             return run_tool(work, {"../in.kvf"});
         },
         false},
        // The first image is made at a free name; the second cannot be given the old file's rules.
        {"file whose rules its replacement cannot take", "Input/output error",
         [&] {
             write_bytes(clash, pattern(6, 6));
             fs::remove(work / "a_00000100.bin");
             return shell("umask 077; exec " + with_faults("KVF_FAULT_FCHMOD=5") + "../in.kvf");
         },
         false},
    };
    for (const auto& [how, reason, place_and_run, content_kept] : cases) {
        SCOPED_TRACE("the image's name is taken by: " + how);
        if (((how == "another user's file" || how == "device") && geteuid() != 0) ||
            (how.find("rules") != std::string::npos && hook.empty())) {
            continue;  // only root can make another user's file or a device; faults need the hook
        }
        fs::remove_all(work);
        fs::remove(outside);
        fs::remove(root.path / "reader");
        fs::create_directory(work);
        write_bytes(root.path / "in.kvf", in);
        // The first image's name is another name of a private file outside:
        // replaced, not written through, and private still.
        fs::remove(kept);
        write_bytes(kept, pattern(100, 9));
        fs::permissions(kept, fs::perms(0600));
        fs::create_hard_link(kept, work / "a_00000100.bin");
        RunResult result = place_and_run();
        // Its first line: a coverage build run as another user adds its own, its counters unwritable.
        result.errors = result.errors.substr(0, result.errors.find('\n') + 1);
        EXPECT_TRUE(same_log(result.log, CLASHING_LOG));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, "kvf_unpack: b_00000200.bin: " + reason + "\n");
        EXPECT_TRUE(has_bytes(work / "a_00000100.bin", pattern(20, 1)));
        EXPECT_EQ(fs::status(work / "a_00000100.bin").permissions(), fs::perms(0600));
        EXPECT_TRUE(has_bytes(kept, pattern(100, 9)));
        EXPECT_EQ(entries(work).size(), 2U) << "nothing of a replacement is left";
        if (content_kept) {
            EXPECT_TRUE(has_bytes(clash, in));
        }
        if (how.ends_with("file")) {
            EXPECT_TRUE(has_bytes(clash, pattern(6, 6)));
        }
        if (how == "symlink out") {
            EXPECT_TRUE(has_bytes(outside, pattern(5, 7)));
        }
        EXPECT_EQ(fs::exists(outside), how == "symlink out");
        EXPECT_EQ(fs::is_symlink(clash), how.find("symlink") != std::string::npos);
    }
}

// Faults injected from outside the released binary (fault_hook.cpp); only
// where the tool runs natively on Linux.
#ifdef KVF_FAULT_HOOK
TEST_F(Images, KernelConfinesTheToolToTheOutputFolderOnEveryLandlockVersion) {
    if (landlock::abi_version() == 0) {
        GTEST_SKIP() << "this kernel has no Landlock";
    }
    // A name rule that lets a path through, sending the image into the
    // working directory instead of the -C folder: the kernel refuses it on
    // every version, an unprivileged tool needing no_new_privs to ask. Where
    // a kernel has no Landlock (0) nothing refuses it.
    Bytes in;
    append(in, text("A"));
    append(in, flash(0x100, pattern(4, 1)));
    write_bytes(root.path / "in.kvf", in);
    const fs::path escaped = work / "escaped.bin";
    for (const int abi : {0, 1, 2, 3, 4, 5, 6, 7, landlock::NEWEST_KNOWN_ABI + 1}) {
        SCOPED_TRACE("Landlock ABI " + std::to_string(abi));
        fs::remove_all(work);
        fs::create_directory(work);
        give_away(work);
        const std::string faults =
            "KVF_FAULT_LANDLOCK_ABI=" + std::to_string(abi) + " KVF_FAULT_CREATE_AT=" + escaped.string();
        RunResult result =
            run(work, {"/bin/sh", "-c", "exec " + unprivileged() + with_faults(faults) + "-C out ../in.kvf", tool});
        result.errors = result.errors.substr(0, result.errors.find('\n') + 1);
        const std::string head = "0x00000000   : Display text (00000000, 00000000): 'A'\n0x00000038   : ";
        if (abi == 0) {
            EXPECT_TRUE(same_log(result.log, head + "New Flashdata found, create new file for it: a_00000100.bin\n" +
                                                 "0x00000070   : Unknown frame\n" + ZERO_DUMP));
            EXPECT_TRUE(has_bytes(escaped, pattern(4, 1)));
            continue;
        }
        EXPECT_TRUE(same_log(result.log, head + "ERROR creating outputfile: a_00000100.bin\n"));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, "kvf_unpack: a_00000100.bin: Permission denied\n");
        EXPECT_FALSE(fs::exists(escaped));
        EXPECT_EQ(entries(work / "out"), std::vector<std::string>{});
    }
    // A ruleset the kernel cannot make stops the run before anything is read.
    RunResult result =
        run(work, {"/bin/sh", "-c", "exec " + with_faults("KVF_FAULT_RULESET=12") + "-C out ../in.kvf", tool});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "kvf_unpack: out: cannot confine the tool to this folder: Cannot allocate memory\n");
    EXPECT_EQ(entries(work / "out"), std::vector<std::string>{});
    // A listing may make no file at all, where an extraction may make files in its folder.
    const fs::path probe = work / "probe";
    for (const std::string args : {"-t ../in.kvf", "../in.kvf"}) {
        fs::remove(probe);
        run(work, {"/bin/sh", "-c", "exec " + with_faults("KVF_FAULT_PROBE=" + probe.string()) + args, tool});
        EXPECT_EQ(fs::exists(probe), args == "../in.kvf") << args;
    }
}

TEST_F(Images, LogWriteThatFailsEndsTheLogThere) {
    // A log of several blocks whose second write fails: what was written
    // before it is all there is, with no hole after it.
    Bytes in;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        append(in, progress(i));
    }
    close_container(in);
    write_bytes(root.path / "in.kvf", in);
    const RunResult whole = run_tool(work, {"../in.kvf"});
    const RunResult cut =
        run(work, {"/bin/sh", "-c", "exec " + with_faults("KVF_FAULT_LOG_WRITE=2") + "../in.kvf", tool});
    EXPECT_EQ(cut.status, 1);
    EXPECT_EQ(cut.errors, "kvf_unpack: error writing the log to standard output: Input/output error\n");
    EXPECT_FALSE(cut.log.empty());
    EXPECT_LT(cut.log.size(), whole.log.size());
    EXPECT_TRUE(whole.log.starts_with(cut.log));
}

TEST_F(Images, InputThatCannotBeWaitedForIsAReadError) {
    // A non-blocking input with nothing ready, and a poll that fails: the
    // tool reports it, rather than trying again without end.
    write_bytes(root.path / "in.kvf", flash(0x100, pattern(3, 1)));
    const RunResult result =
        run(work, {"/bin/sh", "-c", "(cat ../in.kvf; sleep 1) | " + with_faults("KVF_FAULT_POLL=1") + "-", tool});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.errors, "kvf_unpack: -: Cannot allocate memory\n");
    EXPECT_TRUE(result.log.ends_with("ERROR reading inputfile: -\n")) << result.log;
    // A connection reset after ten bytes of the trailer: the events hold them, as the text log's dump does.
    Bytes in;
    append(in, progress(1));
    append(in, adminend());
    append(in, pattern(10, 4));
    write_bytes(root.path / "in.kvf", in);
    const RunResult reset =
        run(work, {"/bin/sh", "-c", "exec " + with_faults("KVF_FAULT_READ_RESET=122") + "--json - < ../in.kvf", tool});
    EXPECT_EQ(reset.status, 1);
    std::string hex;
    for (const std::uint8_t byte : pattern(10, 4)) {
        hex += "0123456789ABCDEF"[byte >> 4];
        hex += "0123456789ABCDEF"[byte & 0xF];
    }
    EXPECT_NE(reset.log.find("\"error\":\"read\",\"length\":10,\"hex\":\"" + hex + "\""), std::string::npos)
        << reset.log;
}

TEST_F(Images, NameTakenBetweenTheLookAndTheCloseIsRefused) {
    // Right after the tool has found the name free, a link to a file outside
    // takes it: the image, written without a name, does not take it when its
    // run closes, and nothing is written through it.
    const fs::path outside = root.path / "outside";
    for (const std::string kind : {"link", "symlink"}) {
        SCOPED_TRACE(kind);
        fs::remove_all(work);
        fs::create_directory(work);
        write_bytes(outside, pattern(5, 7));
        write_bytes(root.path / "in.kvf", clashing_container());
        const std::string faults =
            "KVF_FAULT_LANDLOCK_ABI=0 KVF_FAULT_TAKE_NAME=" + kind + ":b_00000200.bin:" + outside.string();
        const RunResult result = run(work, {"/bin/sh", "-c", "exec " + with_faults(faults) + "../in.kvf", tool});
        const std::string closed =
            "0x000000A8   : New Flashdata found, create new file for it: b_00000200.bin\n"
            "0x000000E0   : Update progress-bar to 9 %\n"
            "0x00000118   : Unknown frame\n" +
            ZERO_DUMP + "0x00000118   : ERROR writing outputfile: b_00000200.bin\n";
        EXPECT_TRUE(same_log(result.log, CLASHING_LOG.substr(0, CLASHING_LOG.rfind("0x000000A8")) + closed));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors,
                  "kvf_unpack: b_00000200.bin: another file took this name while the image was written\n");
        EXPECT_TRUE(has_bytes(outside, pattern(5, 7)));
        EXPECT_EQ(entries(work), (std::vector<std::string>{"a_00000100.bin", "b_00000200.bin"}));
    }
}
#endif

TEST_F(Images, StreamedInputIsActedOnAsItArrivesAndNothingWaitsForMore) {
    // Sent in five parts: the second ends inside a frame, the third ends
    // inside the same frame, the fourth inside the trailer, the fifth with
    // it, and the stream stays open. After each part but the third the
    // writer waits until what was sent has been acted on, or 5 s have passed:
    // the log (a file) holds its lines, the image its bytes. Then the stream
    // ends, or a byte comes after the trailer, which still fails the run.
    const Bytes first = pattern(10, 1), second = pattern(10, 2), third = pattern(10, 3);
    Bytes in;
    append(in, text("Live"));
    append(in, flash(0x100, first));
    append(in, flash(0x10A, second));
    append(in, flash(0x200, third));
    append(in, adminend());
    append(in, trailer({1, 2, 3, 4, 5, 6, 7}));
    const std::size_t cuts[] = {2 * FRAME_SIZE, 3 * FRAME_SIZE + 20, 3 * FRAME_SIZE + 40, 5 * FRAME_SIZE + 10,
                                in.size()};
    std::size_t from = 0;
    for (std::size_t part = 0; part < std::size(cuts); ++part) {
        write_bytes(root.path / ("part" + std::to_string(part)), std::span(in).subspan(from, cuts[part] - from));
        from = cuts[part];
    }
    const std::string log =
        "0x00000000   : Display text (00000000, 00000000): 'Live'\n"
        "0x00000038   : New Flashdata found, create new file for it: live_00000100.bin\n"
        "0x000000A8   : End of current Flash data found, closing flashfile\n"
        "0x000000A8   : New Flashdata found, create new file for it: live_00000200.bin\n"
        "0x000000E0   : 'ADMINEND' keyword found\n" +
        trailer_lines(in);
    for (const auto& [late_byte, json] : {std::pair{false, false}, {true, false}, {true, true}}) {
        SCOPED_TRACE(std::string(late_byte ? "a byte after the stall" : "the stream ends after the stall") +
                     (json ? ", events" : ""));
        // What the log shows once each part was acted on.
        const std::string told[] = {json ? "flash_data" : "New", json ? "offset.:56,.frames" : "New",
                                    json ? "adminend" : "ADMINEND", json ? "trailer" : "checksum"};
        fs::remove_all(work);
        fs::create_directory(work);
        fs::remove(root.path / "acted");
        const std::string writer =
            // The open run's image has no name yet: its bytes are seen through the tool's descriptor
            // (under an emulator the process has the emulator's name, so its command line is matched).
            "open_size() { for f in $(for p in $(pgrep -f kvf_unpack); do echo /proc/$p/fd/*; done); do case "
            "$(readlink $f 2>/dev/null) in " +
            work.string() +
            "/#*) wc -c < $f; return;; esac; done; }; "
            "wait_for() { i=0; until [ \"$(open_size)\" = $2 ] && grep -q $3 ../log || [ $i -ge 50 ]; do "
            "sleep 0.1; i=$((i + 1)); done; [ $i -lt 50 ] && ! [ -e $1 ] && echo $1 $2 $3 >> ../acted; }; "
            "cat ../part0; wait_for live_00000100.bin 10 " +
            told[0] + "; cat ../part1; wait_for live_00000100.bin 20 " + told[1] +
            "; cat ../part2; sleep 0.3; cat ../part3; wait_for live_00000200.bin 10 " + told[2] +
            "; cat ../part4; wait_for live_00000200.bin 10 " + told[3] + "; " + (late_byte ? "printf x" : "");
        const RunResult result =
            run(work, {"/bin/sh", "-c", "(" + writer + ") | \"$0\" " + (json ? "--json " : "") + "/dev/stdin > ../log",
                       tool_path()});
        EXPECT_EQ(read_text(root.path / "acted"), "live_00000100.bin 10 " + told[0] + "\nlive_00000100.bin 20 " +
                                                      told[1] + "\nlive_00000200.bin 10 " + told[2] +
                                                      "\nlive_00000200.bin 10 " + told[3] + "\n")
            << "what was received waited for the next part";
        if (json) {  // the late byte fails the run after the trailer's event, at the byte after the trailer
            const std::string events = read_text(root.path / "log");
            const std::size_t error = events.find("{\"event\":\"error\",\"offset\":308,\"error\":\"trailer\"");
            EXPECT_NE(error, std::string::npos) << events;
            EXPECT_LT(events.find("{\"event\":\"trailer\",\"offset\":280"), error) << events;
            EXPECT_EQ(result.status, 1);
            continue;
        }
        const std::string late = "0x000000E0   : Unexpected trailer bytes found after ADMINEND:\n" + DUMP_HEAD +
                                 "  00000000  01 00 00 00 02 00 00 00 03 00 00 00 04 00 00 00  ................\n"
                                 "  00000010  05 00 00 00 06 00 00 00 07 00 00 00 78           ............x\n";
        EXPECT_TRUE(same_log(read_text(root.path / "log"), log + (late_byte ? late : "")));
        EXPECT_EQ(result.status, late_byte ? 1 : 0);
        EXPECT_TRUE(has_bytes(work / "live_00000100.bin", cat(first, second)));
        EXPECT_TRUE(has_bytes(work / "live_00000200.bin", third));
    }
}

TEST_F(Images, FullDiskFailsTheRunWhereverTheWriteFails) {
    // No file may grow: every image write fails (EFBIG: the tool ignores the
    // signal that would kill it), while the log and the reason reach their
    // pipes (cat, not limited, puts the reason on standard error). Piped, the
    // stream pauses after the container: the image bytes are written out
    // before the tool waits.
    // Or, with the fault hook, the disk is full (ENOSPC), which keeps the coverage build's counters.
    const auto unpack = [&](const Bytes& container, bool piped = false, bool full = false, bool json = false) {
        write_bytes(root.path / "in.kvf", container);
        const std::string tool = (full ? with_faults("KVF_FAULT_FULL=1") : "\"$0\" ") + (json ? "--json " : "");
        const std::string command = piped ? "(cat ../in.kvf; sleep 1) | " + tool + "/dev/stdin" : tool + "../in.kvf";
        return run(work, {"/bin/bash", "-c",
                          "set -o pipefail; exec 3>&1; (" + std::string(full ? "" : "ulimit -f 0; ") + command +
                              " 2>&1 >&3 3>&-) | cat >&2",
                          tool_path()});
    };
    Bytes at_break;
    append(at_break, flash(0x100, pattern(20, 1)));
    append(at_break, flash(0x200, pattern(20, 2)));
    Bytes at_end;
    append(at_end, flash(0x100, pattern(20, 1)));
    append(at_end, progress(7));
    const Bytes before_pause = at_end;
    close_container(at_end);
    const std::size_t frames_in_block = WRITE_BLOCK_SIZE / PAYLOAD_SIZE;
    Bytes long_run;
    for (std::size_t i = 0; i < frames_in_block + 10; ++i) {
        append(long_run, flash(static_cast<std::uint32_t>(0x100 + i * PAYLOAD_SIZE), pattern(PAYLOAD_SIZE, 3)));
    }
    char block_full[16];
    std::snprintf(block_full, sizeof block_full, "0x%08zX", frames_in_block * FRAME_SIZE);
    const std::string created = "0x00000000   : New Flashdata found, create new file for it: _00000100.bin\n";
    const std::string failed = "   : ERROR writing outputfile: _00000100.bin\n";
    const struct {
        const char* where;
        const Bytes& container;
        bool piped;
        std::string log;
        bool replacing = false;  // the image replaces a file, which stands as it was
    } cases[] = {
        {"at a run break", at_break, false,
         created + "0x00000038   : End of current Flash data found, closing flashfile\n0x00000038" + failed},
        {"at a run break, replacing a file (a full disk)", at_break, false,
         created + "0x00000038   : End of current Flash data found, closing flashfile\n0x00000038" + failed, true},
        // The trailer is logged, then closing the image fails, tagged with the last frame: ADMINEND.
        {"at the end", at_end, false,
         created +
             "0x00000038   : Update progress-bar to 7 %\n"
             "0x00000070   : 'ADMINEND' keyword found\n" +
             trailer_lines(at_end) + "0x00000070" + failed},
        // Tagged with the last frame before the pause.
        {"before a pause of the stream", before_pause, true,
         created + "0x00000038   : Update progress-bar to 7 %\n0x00000038" + failed},
        // At the frame that finds the block full.
        {"in a run longer than the write block", long_run, false, created + block_full + failed},
    };
    for (const auto& [where, container, piped, log, replacing] : cases) {
        SCOPED_TRACE(where);
        fs::remove_all(work);
        fs::create_directory(work);
        if (replacing) {
            write_bytes(work / "_00000100.bin", pattern(9, 9));
        }
        const bool full = replacing && !hook.empty();
        const RunResult result = unpack(container, piped, full);
        // What replaces a file gives up; an image at a free name a write of which failed is not named either.
        EXPECT_EQ(entries(work), replacing ? std::vector<std::string>{"_00000100.bin"} : std::vector<std::string>{});
        if (replacing) {
            EXPECT_TRUE(has_bytes(work / "_00000100.bin", pattern(9, 9)));
        }
        EXPECT_TRUE(same_log(result.log, log));
        EXPECT_EQ(result.status, 1);
        // Its first line: a coverage build adds its own, its counters held back by the limit too.
        EXPECT_EQ(
            result.errors.substr(0, result.errors.find('\n') + 1),
            std::string("kvf_unpack: _00000100.bin: ") + (full ? "No space left on device\n" : "File too large\n"));
        // The events: a failure within a run is told after the stretch of its
        // frames, at the last frame handed to the writer; no close follows.
        fs::remove_all(work);
        fs::create_directory(work);
        const std::string events = unpack(container, piped, false, true).log;
        const std::size_t error = events.find("{\"event\":\"error\"");
        ASSERT_NE(error, std::string::npos) << events;
        EXPECT_EQ(events.find("run_close", error), std::string::npos) << events;
        const std::size_t stretch = events.rfind("{\"event\":\"flash_data\"", error);
        unsigned long long first = 0, frames = 0, at = 0;
        ASSERT_EQ(std::sscanf(events.c_str() + stretch, "{\"event\":\"flash_data\",\"offset\":%llu,\"frames\":%llu",
                              &first, &frames),
                  2);
        ASSERT_EQ(std::sscanf(events.c_str() + error, "{\"event\":\"error\",\"offset\":%llu", &at), 1);
        EXPECT_GE(at, first + (frames - 1) * FRAME_SIZE) << events;
        if (container.size() == long_run.size()) {  // the frame that found the block full is in the stretch
            EXPECT_EQ(at, first + (frames - 1) * FRAME_SIZE) << events;
        }
    }
}

TEST_F(Images, ImageTakesItsNameOnlyWhenItsRunIsComplete) {
    // The stream stalls inside a run, at a free name or one a file holds:
    // nothing stands at the name but the old file, untouched. Ended by a
    // signal then, the tool leaves nothing of the run, under any name, and
    // says so; let run on, the image takes the name, unless another file took
    // it meanwhile, which stays.
    write_bytes(root.path / "in.kvf", flash(0x100, pattern(3, 1)));
    write_bytes(root.path / "old", pattern(9, 9));
    const Bytes other = {'o', 't', 'h', 'e', 'r', '\n'};
    const std::string take = "echo other > other; mv other _00000100.bin; ";
    const std::string not_kept = "_00000100.bin is not kept\n";
    const std::string taken = "kvf_unpack: _00000100.bin: another file took this name while the image was written\n";
    const struct {
        bool held;           // a file stands at the name: the old one
        std::string before;  // before the tool starts, and what the stall waits for in its log
        std::string then;    // at the stall
        std::string faults;  // from the hook
        int status;
        std::string errors;          // standard error, where it matters
        std::optional<Bytes> image;  // what stands at the name at the end
    } cases[] = {
        {true, "", "kill $!; ", "", 128 + SIGTERM, "kvf_unpack: ended by SIGTERM: " + not_kept, pattern(9, 9)},
        {true, "", "", "", 0, "", pattern(3, 1)},
        {true, "", take, "", 1, "", other},
        {true, "", "rm _00000100.bin; ", "", 0, "", pattern(3, 1)},
        // A new file where the old one was, on ext4 often at its inode: not taken for it.
        {true, "", "rm _00000100.bin; echo other > _00000100.bin; ", "", 1, taken, other},
        {true, "", "", "KVF_FAULT_TAKE_TEMPORARY=1", 1, taken, pattern(9, 9)},
        // A link the confined tool may not move: told as taken all the same.
        {true, "", "ln -sfn ../old _00000100.bin; ", "", 1, taken, pattern(9, 9)},
        {true, "", "", "KVF_FAULT_NO_SWAP=1", 0, "", pattern(3, 1)},
        {true, "", take, "KVF_FAULT_NO_SWAP=1", 1, "", other},
        {true, "", "", "KVF_FAULT_RENAME_FLAGS=38", 0, "", pattern(3, 1)},  // ENOSYS: no swap on this kernel
        {true, "", "kill -INT $!; ", "KVF_FAULT_NO_TMPFILE=1", 128 + SIGINT, "kvf_unpack: ended by SIGINT: " + not_kept,
         pattern(9, 9)},
        {true, "", "", "KVF_FAULT_NO_TMPFILE=1 KVF_FAULT_RENAME_FLAGS=22", 0, "", pattern(3, 1)},
        {true, "", "", "KVF_FAULT_SIGNAL_NAMING=1", 128 + SIGTERM, "kvf_unpack: ended by SIGTERM: no image was open\n",
         pattern(3, 1)},
        {false, "", "kill -INT $!; ", "", 128 + SIGINT, "kvf_unpack: ended by SIGINT: " + not_kept, std::nullopt},
        {false, "", "kill -USR1 $!; ", "", 128 + SIGUSR1, "kvf_unpack: ended by SIGUSR1: " + not_kept, std::nullopt},
        {false, "", "", "", 0, "", pattern(3, 1)},
        {false, "", take, "", 1, taken, other},
        {false, "", "kill -HUP $!; ", "KVF_FAULT_NO_TMPFILE=1", 128 + SIGHUP,
         "kvf_unpack: ended by SIGHUP: " + not_kept, std::nullopt},
        {false, "", "", "KVF_FAULT_NO_TMPFILE=1 KVF_FAULT_RENAME_FLAGS=38", 0, "", pattern(3, 1)},
        {false, "", take, "KVF_FAULT_NO_TMPFILE=1", 1, "", other},
        {false, "", "", "KVF_FAULT_SIGNAL_NAMING=1", 128 + SIGTERM, "kvf_unpack: ended by SIGTERM: no image was open\n",
         pattern(3, 1)},
        // A signal ignored when the tool started (nohup) stays ignored.
        {false, "trap '' HUP; ", "kill -HUP $!; ", "", 0, "", pattern(3, 1)},
        // Before the first byte.
        {false, "exec 3>&1; ", "kill $!; ", "", 128 + SIGTERM, "kvf_unpack: ended by SIGTERM: no image was open\n",
         std::nullopt},
    };
    for (const auto& [held, before, then, faults, status, errors, image] : cases) {
        SCOPED_TRACE((held ? "held, " : "free, ") + before + then + faults);
        if (!faults.empty() && hook.empty()) {
            continue;
        }
        fs::remove_all(work);
        fs::create_directory(work);
        fs::remove(root.path / "seen");
        fs::remove(root.path / "log");
        fs::remove(root.path / "go");  // the stream ends once it is made
        // Before the first byte, nothing is sent until the stall is over. A
        // background command is started with SIGINT ignored, which perl undoes.
        const bool first_byte = before.starts_with("exec");
        const std::string stall =
            (held ? "cp ../old _00000100.bin; " : "") + before + "(" + (first_byte ? "" : "cat ../in.kvf; ") +
            "until [ -e ../go ]; do sleep 0.05; done" + (first_byte ? "; cat ../in.kvf" : "") + ") | " +
            (faults.empty() ? "" : "env LD_PRELOAD=" + hook + " " + faults + " ") +
            "perl -e '$SIG{INT} = q(DEFAULT); exec @ARGV' \"$0\" - > ../log & i=0; " +
            (first_byte
                 ? "sleep 0.3; "
                 : "until grep -q New ../log 2>/dev/null || [ $i -ge 100 ]; do sleep 0.05; i=$((i + 1)); done; ") +
            (held ? "cmp -s ../old _00000100.bin" : "! [ -e _00000100.bin ]") + " && echo untouched > ../seen; ";
        const RunResult result = run(work, {"/bin/sh", "-c", stall + then + "touch ../go; wait $!", tool});
        if (!first_byte) {
            EXPECT_EQ(read_text(root.path / "seen"), "untouched\n");
        }
        EXPECT_EQ(result.status, status);
        if (!errors.empty()) {  // the tool's line; the shell may tell of the signal after it
            EXPECT_EQ(result.errors.substr(0, result.errors.find('\n') + 1), errors);
        }
        std::vector<std::string> left = entries(work);
        if (faults.find("TAKE_TEMPORARY") != std::string::npos && !left.empty() && left.back().ends_with(".tmp")) {
            left.pop_back();  // the file put at the temporary name is not the tool's to remove
        }
        EXPECT_EQ(left, image ? std::vector<std::string>{"_00000100.bin"} : std::vector<std::string>{});
        if (image) {
            EXPECT_TRUE(has_bytes(work / "_00000100.bin", *image));
        }
    }
}

TEST_F(Images, RunLargerThanTheReadBlockArrivesWholeThroughAPipe) {
    constexpr std::size_t FRAMES = 48000;  // about 2.6 MiB of container
    const Bytes data = pattern(FRAMES * PAYLOAD_SIZE, 5);
    Bytes in;
    append(in, text("Big"));
    for (std::size_t i = 0; i < FRAMES; ++i) {
        const auto address = static_cast<std::uint32_t>(0x08000000 + i * PAYLOAD_SIZE);
        append(in, flash(address, std::span(data).subspan(i * PAYLOAD_SIZE, PAYLOAD_SIZE)));
    }
    append(in, progress(100));
    write_bytes(root.path / "in.kvf", in);
    const RunResult result = run(work, {"/bin/sh", "-c", "cat ../in.kvf | " + tool_path() + " /dev/stdin"});
    EXPECT_TRUE(same_log(result.log,
                         "0x00000000   : Display text (00000000, 00000000): 'Big'\n"
                         "0x00000038   : New Flashdata found, create new file for it: big_08000000.bin\n"
                         "0x00290438   : Update progress-bar to 100 %\n"
                         "0x00290470   : Unknown frame\n" +
                             ZERO_DUMP));
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(has_bytes(work / "big_08000000.bin", data));
}

}  // namespace
}  // namespace kvf::test
