// SPDX-License-Identifier: MIT
// Windows side of the platform interface. Inside the tool paths are WTF-8;
// at the file API they are UTF-16, made full and given the \\?\ prefix, so
// that any name (a lone surrogate included) and any length (past the 260 of
// MAX_PATH) can be opened.
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform.h"
#include "wtf8.h"

namespace kvf {

namespace {

static_assert(sizeof(wchar_t) == sizeof(char16_t));

std::wstring wide_from_wtf8(std::string_view text) {
    const std::u16string wide = utf16_from_wtf8(text);
    return {wide.begin(), wide.end()};
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// The full path `full` in the \\?\ form, which the system takes as it is:
// \\server\share\... becomes \\?\UNC\server\share\...; devices (\\.\NUL) stay as they are.
std::wstring extended(const std::wstring& full) {
    if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) {
        return full;
    }
    if (starts_with(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);
    }
    return L"\\\\?\\" + full;
}

// `path` (WTF-8) as a full path in the \\?\ form.
std::wstring extended_path(const char* path) {
    std::wstring wide = wide_from_wtf8(path);
    if (wide.empty() || starts_with(wide, L"\\\\?\\")) {
        return wide;
    }
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size == 0 ? 0 : GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        return wide;
    }
    full.resize(length);
    return extended(full);
}

// Where images are made, in the \\?\ form and with a final backslash: the
// folder open_output_folder named, or empty for the working directory.
std::wstring output_folder;

// The output folder's full path in the \\?\ form, a backslash and `name`,
// made without asking the system to interpret the name: no name can reach a
// device (CON, CONOUT$), a stream or another folder.
std::wstring image_path(const char* name) {
    if (!output_folder.empty()) {
        return output_folder + wide_from_wtf8(name);
    }
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    std::wstring directory(size, L'\0');
    const DWORD length = size == 0 ? 0 : GetCurrentDirectoryW(size, directory.data());
    if (length == 0 || length >= size) {
        return {};
    }
    directory.resize(length);
    if (directory.back() != L'\\') {
        directory += L'\\';
    }
    return extended(directory) + wide_from_wtf8(name);
}

// The system's text for `error`, as UTF-8 without its line break; valid until the next call.
const char* system_reason(DWORD error) {
    static std::string reason;
    wchar_t text[512];
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                  sizeof text / sizeof text[0], nullptr);
    while (length > 0 && (text[length - 1] == L'\r' || text[length - 1] == L'\n' || text[length - 1] == L' ')) {
        --length;
    }
    reason = length > 0 ? wtf8_from_utf16(std::u16string_view(reinterpret_cast<const char16_t*>(text), length))
                        : "error " + std::to_string(error);
    return reason.c_str();
}

// The system handle behind `stream`; INVALID_HANDLE_VALUE when there is none,
// as for a standard stream of a process started without it.
HANDLE handle_of(std::FILE* stream) {
    constexpr std::intptr_t NO_HANDLE = -1;
    constexpr std::intptr_t NOT_ASSOCIATED = -2;  // the runtime's answer for a standard stream with no handle
    const int fd = _fileno(stream);
    const std::intptr_t handle = fd < 0 ? NO_HANDLE : _get_osfhandle(fd);
    if (handle == NO_HANDLE || handle == NOT_ASSOCIATED || handle == 0) {
        return INVALID_HANDLE_VALUE;
    }
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the runtime hands out system handles as intptr_t.
    return reinterpret_cast<HANDLE>(handle);
}

// Whether `a` and `b` are the same file.
bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Whether the disk file `image` is, or may be, the file open on `stream`.
// Pipes and character devices are never the same; a file whose identity the
// system cannot tell (as for a handle from a POSIX shell under Wine) may be.
bool may_be_same_file(const BY_HANDLE_FILE_INFORMATION& image, std::FILE* stream) {
    HANDLE handle = handle_of(stream);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;  // no file at all behind the stream
    }
    const DWORD type = GetFileType(handle);
    if (type == FILE_TYPE_PIPE || type == FILE_TYPE_CHAR) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION other{};
    if (type != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &other) == 0) {
        return true;
    }
    return same_file(other, image);
}

// Why what stands at an image's name, with `attributes`, may not be
// replaced; nullptr for a plain file that may be written.
const char* refusal(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return "a link, junction or mount point stands at this name";
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return "a directory stands at this name";
    }
    if ((attributes & FILE_ATTRIBUTE_DEVICE) != 0) {
        return "a device stands at this name";
    }
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return "a read-only file stands at this name";  // a user's way to keep it
    }
    return nullptr;
}

// Attributes that an image takes from the file it replaces; READONLY keeps a file instead.
constexpr DWORD KEPT_ATTRIBUTES =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
constexpr unsigned TEMPORARY_NAME_ATTEMPTS = 100;

// The file at an image's name that the image is to replace: which file it
// is, its attributes, and its access rules (its DACL, within `descriptor`).
// The descriptor is the system's, to be given back with LocalFree.
struct OldFile {
    BY_HANDLE_FILE_INFORMATION file{};
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    bool protected_dacl = false;
};

// The image open now: the full path it is to take, in the \\?\ form, and
// whether it replaces a file there, and which file that was.
std::wstring image_at;
bool replacing = false;
BY_HANDLE_FILE_INFORMATION replaced{};

constexpr const char* NAME_TAKEN = "another file took this name while the image was written";

// Held while an image takes its name, and by the console handler from the
// moment it runs until the process ends: once it has said that the open
// image is not kept, no image takes its name.
SRWLOCK naming = SRWLOCK_INIT;
// What the console handler's line says after the event: the open image's
// name and that it is not kept, or that none is open. Changed under `naming`.
constexpr const char* NO_IMAGE_OPEN = "no image was open\r\n";
char ending_note[512] = "no image was open\r\n";

// Tells the console handler which image is open, or that none is (nullptr).
void note_open_image(const char* name) {
    AcquireSRWLockExclusive(&naming);
    if (name == nullptr) {
        (void)std::snprintf(ending_note, sizeof ending_note, "%s", NO_IMAGE_OPEN);
    } else {
        (void)std::snprintf(ending_note, sizeof ending_note, "%.480s is not kept\r\n", name);
    }
    ReleaseSRWLockExclusive(&naming);
}

// Ends the process at a console's Ctrl-C, Ctrl-Break or closing, as the
// system would, after one line on standard error. Runs on a thread of its
// own while the tool goes on: it only copies what note_open_image prepared
// and writes it with one WriteFile. The open image, a temporary marked to be
// removed, goes with the process.
BOOL WINAPI end_at_console_event(DWORD event) {
    const char* what = event == CTRL_C_EVENT       ? "CTRL_C_EVENT"
                       : event == CTRL_BREAK_EVENT ? "CTRL_BREAK_EVENT"
                       : event == CTRL_CLOSE_EVENT ? "CTRL_CLOSE_EVENT"
                                                   : nullptr;
    if (what == nullptr) {
        return FALSE;
    }
    // Never released: the process ends with the lock held, so that an image
    // about to take its name keeps its removal mark instead.
    AcquireSRWLockExclusive(&naming);
    char line[600];
    std::size_t length = 0;
    for (const char* piece : {"kvf_unpack: ended by ", what, ": ", static_cast<const char*>(ending_note)}) {
        const std::size_t size = std::min(std::strlen(piece), sizeof line - length);
        std::copy_n(piece, size, line + length);
        length += size;
    }
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    if (errors != nullptr && errors != INVALID_HANDLE_VALUE) {
        (void)WriteFile(errors, line, static_cast<DWORD>(length), &written, nullptr);
    }
    return FALSE;  // the system's own handling ends the process
}

// Opens the file or link at `path` itself, with `access`, sharing everything.
HANDLE open_name(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// Why the plain file at `path` may not be replaced: it is, or may be, one of
// the `kept` files, or what replacing it needs is refused; nullptr if it may
// be, with `old` filled in.
const char* look_at_old(const std::wstring& path, std::span<const KeptFile> kept, OldFile& old) {
    // Opened first for no access at all, only to learn which file it is.
    HANDLE handle = open_name(path, 0);
    if (handle == INVALID_HANDLE_VALUE) {
        return system_reason(GetLastError());
    }
    const char* why = nullptr;
    if (GetFileType(handle) != FILE_TYPE_DISK || GetFileInformationByHandle(handle, &old.file) == 0) {
        why = "this name cannot be told apart from the input and the log";
    } else if ((why = refusal(old.file.dwFileAttributes)) == nullptr) {
        for (const auto& [stream, reason] : kept) {
            if (why == nullptr && may_be_same_file(old.file, stream)) {
                why = reason;
            }
        }
    }
    CloseHandle(handle);
    if (why != nullptr) {
        return why;
    }
    // Then to read who may use it, and with the right to delete it, which
    // replacing needs: a program that holds it open without letting it be
    // deleted keeps it.
    handle = open_name(path, READ_CONTROL | DELETE);
    BY_HANDLE_FILE_INFORMATION again{};
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    DWORD error = ERROR_SUCCESS;
    if (handle == INVALID_HANDLE_VALUE) {
        return system_reason(GetLastError());
    }
    if (GetFileInformationByHandle(handle, &again) == 0 || !same_file(again, old.file)) {
        why = "another file took this name while it was looked at";
    } else if ((error = GetSecurityInfo(handle, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &old.dacl,
                                        nullptr, &old.descriptor)) != ERROR_SUCCESS ||
               (GetSecurityDescriptorControl(old.descriptor, &control, &revision) == 0 &&
                (error = GetLastError()) != ERROR_SUCCESS)) {
        why = system_reason(error);
    }
    old.protected_dacl = (control & SE_DACL_PROTECTED) != 0;
    CloseHandle(handle);
    return why;
}

// Marks the file open on `handle` to be removed when it is closed, or no longer.
bool remove_when_closed(HANDLE handle, bool remove) {
    FILE_DISPOSITION_INFO disposition{static_cast<BOOLEAN>(remove ? TRUE : FALSE)};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// A new file beside `path` (in the \\?\ form), under a name of its own,
// NAME.PID-N.tmp, made with `security` and `attributes` and marked at once
// to be removed when it is closed: by the tool, or by the system when the
// process ends, however it ends. It takes `path` only in take_name.
HANDLE make_temporary(const std::wstring& path, SECURITY_ATTRIBUTES* security, DWORD attributes, DWORD access,
                      const char** why) {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::wstring temporary;
    for (unsigned attempt = 0; handle == INVALID_HANDLE_VALUE && attempt < TEMPORARY_NAME_ATTEMPTS; ++attempt) {
        temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(attempt) + L".tmp";
        handle = CreateFileW(temporary.c_str(), access | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, security,
                             CREATE_NEW, attributes, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    if (handle == INVALID_HANDLE_VALUE) {
        *why = system_reason(GetLastError());
        return handle;
    }
    if (!remove_when_closed(handle, true)) {
        *why = system_reason(GetLastError());
        CloseHandle(handle);
        (void)DeleteFileW(temporary.c_str());  // not marked: removed by its name, before a byte is in it
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

// Renames the file open on `handle` to `path` (in the \\?\ form); over the
// file there only if `replace`, or else refused where any file stands.
bool rename_to(HANDLE handle, const std::wstring& path, bool replace) {
    // The rename takes the name in the system's own form, \??\ for \\?\.
    const std::wstring target = L"\\??\\" + path.substr(4);
    const std::size_t name_bytes = target.size() * sizeof(wchar_t);
    std::string buffer(sizeof(FILE_RENAME_INFO) + name_bytes, '\0');
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(name_bytes);
    target.copy(rename->FileName, target.size());
    return SetFileInformationByHandle(handle, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != 0;
}

// Room for an ACL of one entry that allows a user: its header, the entry's
// header and mask, and the user's SID.
constexpr std::size_t OWN_ACL_SIZE = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE;

// Makes `acl` (OWN_ACL_SIZE bytes) an ACL that allows the process's user everything, and nobody else anything.
bool own_acl(PACL acl) {
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) == 0) {
        return false;
    }
    alignas(TOKEN_USER) std::uint8_t user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    const bool made =
        GetTokenInformation(token, TokenUser, user, sizeof user, &size) != 0 &&
        InitializeAcl(acl, OWN_ACL_SIZE, ACL_REVISION) != 0 &&
        AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, reinterpret_cast<TOKEN_USER*>(user)->User.Sid) != 0;
    CloseHandle(token);
    return made;
}

// A temporary beside `path` (in the \\?\ form) to replace `old` there in
// finish_image, with its attributes and access rules.
HANDLE make_replacement(const std::wstring& path, const OldFile& old, const char** why) {
    // Made for the process's user alone (a protected DACL of one entry), until
    // it has the old file's rules.
    SECURITY_DESCRIPTOR own{};
    alignas(DWORD) std::uint8_t acl[OWN_ACL_SIZE];
    if (!own_acl(reinterpret_cast<PACL>(acl)) ||
        InitializeSecurityDescriptor(&own, SECURITY_DESCRIPTOR_REVISION) == 0 ||
        SetSecurityDescriptorDacl(&own, TRUE, reinterpret_cast<PACL>(acl), FALSE) == 0 ||
        SetSecurityDescriptorControl(&own, SE_DACL_PROTECTED, SE_DACL_PROTECTED) == 0) {
        *why = system_reason(GetLastError());
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES security{sizeof security, &own, FALSE};
    const DWORD kept = old.file.dwFileAttributes & KEPT_ATTRIBUTES;
    HANDLE handle =
        make_temporary(path, &security, kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL, GENERIC_WRITE | WRITE_DAC, why);
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    const SECURITY_INFORMATION what =
        DACL_SECURITY_INFORMATION |
        (old.protected_dacl ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
    const DWORD error = SetSecurityInfo(handle, SE_FILE_OBJECT, what, nullptr, nullptr, old.dacl, nullptr);
    if (error != ERROR_SUCCESS) {
        *why = system_reason(error);
        CloseHandle(handle);  // still marked: removed
        return INVALID_HANDLE_VALUE;
    }
    replacing = true;
    replaced = old.file;
    return handle;
}

// Why the image open on `handle` may not take `path` (in the \\?\ form) now:
// another file took it since the image was made; nullptr if the file it
// replaces, or nothing, stands there.
const char* name_taken(const std::wstring& path, bool& gone) {
    HANDLE handle = open_name(path, 0);
    gone = false;
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        gone = error == ERROR_FILE_NOT_FOUND;
        return gone ? nullptr : system_reason(error);
    }
    BY_HANDLE_FILE_INFORMATION now{};
    const bool same = GetFileInformationByHandle(handle, &now) != 0 && same_file(now, replaced);
    CloseHandle(handle);
    return same ? nullptr : NAME_TAKEN;
}

// Gives the temporary open on `handle` its image's full path `path`: over
// the file there if `replace`, else only where none stands. Its removal mark
// is cleared just before the rename and set again if the rename fails, so
// that a failed naming leaves nothing. nullptr, or the reason.
const char* take_name(HANDLE handle, const std::wstring& path, bool replace) {
    AcquireSRWLockExclusive(&naming);
    DWORD error = ERROR_SUCCESS;
    if (!remove_when_closed(handle, false)) {
        error = GetLastError();
    } else if (!rename_to(handle, path, replace)) {
        error = GetLastError();
        (void)remove_when_closed(handle, true);
    }
    if (error == ERROR_SUCCESS) {
        (void)std::snprintf(ending_note, sizeof ending_note, "%s", NO_IMAGE_OPEN);  // it is kept now
    }
    ReleaseSRWLockExclusive(&naming);
    if (error == ERROR_SUCCESS) {
        return nullptr;
    }
    return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? NAME_TAKEN : system_reason(error);
}

// Whether `handle` is a console, as opposed to other character devices such as NUL.
bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// Writes UTF-8 `text` to `console` as UTF-16, which it shows whatever its code page.
bool write_console(HANDLE console, std::string_view text) {
    // Pieces the console takes at once.
    constexpr std::size_t PIECE_UNITS = 16384;
    const std::u16string wide = utf16_from_wtf8(text);
    for (std::size_t done = 0; done < wide.size();) {
        const std::size_t piece = utf16_piece(std::u16string_view(wide).substr(done), PIECE_UNITS);
        DWORD written = 0;
        if (WriteConsoleW(console, wide.data() + done, static_cast<DWORD>(piece), &written, nullptr) == 0 ||
            written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace

void prepare_process() {
    // A missing standard handle is not reused by the files the tool opens.
    // Ended from the console, the process says which image it leaves unmade.
    (void)SetConsoleCtrlHandler(end_at_console_event, TRUE);
}

std::FILE* open_input(const char* path, const char** why) {
    std::FILE* in = _wfopen(extended_path(path).c_str(), L"rb");
    if (in == nullptr) {
        *why = std::strerror(errno);
    }
    return in;
}

std::FILE* open_standard_input(const char** why) {
    // Started without one, standard input is no input, as on POSIX systems.
    if (handle_of(stdin) == INVALID_HANDLE_VALUE) {
        *why = std::strerror(EBADF);
        return nullptr;
    }
    if (_setmode(_fileno(stdin), _O_BINARY) == -1) {
        *why = std::strerror(errno);
        return nullptr;
    }
    return stdin;
}

bool open_output_folder(const char* path, const char** why) {
    std::wstring folder = extended_path(path);
    if (folder.empty()) {
        *why = "no folder is named";
        return false;
    }
    if (CreateDirectoryW(folder.c_str(), nullptr) == 0 && GetLastError() != ERROR_ALREADY_EXISTS) {
        *why = system_reason(GetLastError());
        return false;
    }
    // A link the user names is followed, as `tar -C` does.
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *why = attributes == INVALID_FILE_ATTRIBUTES ? system_reason(GetLastError()) : std::strerror(ENOTDIR);
        return false;
    }
    if (folder.back() != L'\\') {
        folder += L'\\';
    }
    output_folder = folder;
    return true;
}

std::ptrdiff_t read_ready(std::FILE* in, std::uint8_t* buffer, std::size_t count) {
    const int fd = _fileno(in);
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    // A pipe's read returns what it holds; a file's, all that was asked.
    return _read(fd, buffer, static_cast<unsigned>(count < INT_MAX ? count : INT_MAX));
}

bool is_live(std::FILE* in) {
    HANDLE handle = handle_of(in);
    return handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK;
}

std::FILE* create_image(const char* name, std::span<const KeptFile> kept, const char** why) {
    const std::wstring path = image_path(name);
    if (path.empty()) {
        *why = system_reason(GetLastError());
        return nullptr;
    }
    // The attributes of the name itself: a reparse point is not followed.
    const DWORD attributes = GetFileAttributesW(path.c_str());
    HANDLE handle = INVALID_HANDLE_VALUE;
    replacing = false;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) {
            *why = system_reason(error);
            return nullptr;
        }
        // Made with the folder's default access rules, as any new file; whatever
        // takes the name meanwhile is refused when the image is to take it.
        handle = make_temporary(path, nullptr, FILE_ATTRIBUTE_NORMAL, GENERIC_WRITE, why);
        if (handle == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
    } else {
        OldFile old;
        *why = refusal(attributes);
        if (*why == nullptr) {
            *why = look_at_old(path, kept, old);
        }
        if (*why == nullptr) {
            handle = make_replacement(path, old, why);
        }
        LocalFree(old.descriptor);
        if (handle == INVALID_HANDLE_VALUE) {
            return nullptr;
        }
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (file == nullptr) {
        *why = "the C runtime could not take the file";
        if (fd < 0) {
            CloseHandle(handle);  // still marked: removed
        } else {
            _close(fd);  // closes the handle too
        }
        replacing = false;
        return nullptr;
    }
    image_at = path;
    note_open_image(name);
    return file;
}

bool finish_image(std::FILE* image, const char* /*name*/, const char** why) {
    // Written out before it takes the name: no image stands there unfinished.
    const char* failure = std::fflush(image) != 0 ? std::strerror(errno) : nullptr;
    bool gone = false;  // the file it replaces is gone: the name is free, and taken only so
    if (failure == nullptr && replacing) {
        failure = name_taken(image_at, gone);
    }
    if (failure == nullptr) {
        failure = take_name(handle_of(image), image_at, replacing && !gone);
    }
    replacing = false;
    // Unnamed, it is still marked, and closing it removes it.
    if (std::fclose(image) != 0 && failure == nullptr) {
        failure = std::strerror(errno);
    }
    note_open_image(nullptr);
    if (failure != nullptr) {
        *why = failure;
    }
    return failure == nullptr;
}

bool discard_image(std::FILE* image, bool whole) {
    // A replacement, and an image a write of which failed, keeps its mark and
    // is removed when it is closed; an image at a free name takes it with
    // what its run brought, if it still can.
    const bool flushed = std::fflush(image) == 0;
    const bool named = whole && flushed && !replacing && take_name(handle_of(image), image_at, false) == nullptr;
    replacing = false;
    const bool closed = std::fclose(image) == 0;
    note_open_image(nullptr);
    return closed && named;
}

bool confine(Confinement /*to*/, const char** /*why*/) {
    // Windows has no confinement a process can ask for itself: nothing is asked.
    return true;
}

bool installed_file(const char* relative, char* path, std::size_t size) {
    constexpr DWORD LONGEST = 32768;  // an extended path's most UTF-16 units
    std::wstring program(LONGEST, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, program.data(), LONGEST);
    if (length == 0 || length >= LONGEST) {
        return false;
    }
    program.resize(program.rfind(L'\\', length) == std::wstring::npos ? 0 : program.rfind(L'\\', length));
    std::string_view rest = relative;
    for (; rest.starts_with("../"); rest.remove_prefix(3)) {
        program.resize(program.rfind(L'\\') == std::wstring::npos ? 0 : program.rfind(L'\\'));
    }
    std::wstring file = program + L'\\' + wide_from_wtf8(rest);
    std::replace(file.begin(), file.end(), L'/', L'\\');
    const std::string utf8 =
        wtf8_from_utf16(std::u16string_view(reinterpret_cast<const char16_t*>(file.data()), file.size()));
    if (utf8.size() >= size || GetFileAttributesW(extended(file).c_str()) == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    utf8.copy(path, utf8.size());
    path[utf8.size()] = '\0';
    return true;
}

bool is_same_file(std::FILE* a, std::FILE* b) {
    HANDLE handle_a = handle_of(a);
    HANDLE handle_b = handle_of(b);
    BY_HANDLE_FILE_INFORMATION file_a{};
    BY_HANDLE_FILE_INFORMATION file_b{};
    return handle_a != INVALID_HANDLE_VALUE && handle_b != INVALID_HANDLE_VALUE &&
           GetFileType(handle_a) == FILE_TYPE_DISK && GetFileType(handle_b) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle_a, &file_a) != 0 && GetFileInformationByHandle(handle_b, &file_b) != 0 &&
           same_file(file_a, file_b);
}

void set_line_ends(std::FILE* out, bool text) {
    // The text log is text, written as console programs here write it: every LF as CR LF.
    (void)_setmode(_fileno(out), text ? _O_TEXT : _O_BINARY);
}

bool is_terminal(std::FILE* stream) {
    return is_console(handle_of(stream));
}

bool write_out(std::FILE* out, const char* text, std::size_t count) {
    HANDLE console = handle_of(out);
    if (!is_console(console)) {
        return std::fwrite(text, 1, count, out) == count && std::fflush(out) == 0;
    }
    return write_console(console, std::string_view(text, count));
}

}  // namespace kvf
