// Windows side of the platform interface. Inside the tool paths are UTF-8; at
// the file API they are UTF-16, made full and given the \\?\ prefix, so that
// any characters and any length (past the 260 of MAX_PATH) can be opened.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <climits>
#include <cstdint>
#include <string>

#include "platform.h"

namespace kvf {

namespace {

std::wstring wide_from_utf8(const char* text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (size <= 1) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), size);
    wide.resize(static_cast<std::size_t>(size) - 1);
    return wide;
}

bool starts_with(const std::wstring& text, const wchar_t* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// `path` (UTF-8) as a full path with the \\?\ prefix; devices (\\.\NUL) stay as they are.
std::wstring extended_path(const char* path) {
    std::wstring wide = wide_from_utf8(path);
    if (wide.empty() || starts_with(wide, L"\\\\?\\")) {
        return wide;
    }
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) {
        return wide;
    }
    std::wstring full(size, L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) {
        return wide;
    }
    full.resize(length);
    if (starts_with(full, L"\\\\.\\")) {
        return full;
    }
    if (starts_with(full, L"\\\\")) {
        return L"\\\\?\\UNC\\" + full.substr(2);  // \\server\share\...
    }
    return L"\\\\?\\" + full;
}

// The working directory's full path with the \\?\ prefix, a backslash and
// `name`, made without asking the system to interpret the name: no name can
// reach a device (CON, CONOUT$), a stream or another folder.
std::wstring image_path(const char* name) {
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
    if (!starts_with(directory, L"\\\\?\\")) {
        directory = starts_with(directory, L"\\\\") ? L"\\\\?\\UNC\\" + directory.substr(2) : L"\\\\?\\" + directory;
    }
    return directory + wide_from_utf8(name);
}

HANDLE handle_of(std::FILE* stream) {
    const int fd = _fileno(stream);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the runtime hands out system handles as intptr_t.
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// Whether the disk file `image` is, or may be, the file open on `stream`.
// Pipes and character devices are never the same; a file whose identity the
// system cannot tell (as for a handle from a POSIX shell under Wine) may be.
bool may_be_same_file(const BY_HANDLE_FILE_INFORMATION& image, std::FILE* stream) {
    HANDLE handle = handle_of(stream);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
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
    return other.dwVolumeSerialNumber == image.dwVolumeSerialNumber && other.nFileIndexHigh == image.nFileIndexHigh &&
           other.nFileIndexLow == image.nFileIndexLow;
}

// Whether `handle` is a console, as opposed to other character devices such as NUL.
bool is_console(HANDLE handle) {
    DWORD mode = 0;
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

std::FILE* open_input(const char* path) {
    return _wfopen(extended_path(path).c_str(), L"rb");
}

std::ptrdiff_t read_ready(std::FILE* in, std::uint8_t* buffer, std::size_t count) {
    const int fd = _fileno(in);
    if (fd < 0) {
        return -1;
    }
    // A pipe's read returns what it holds; a file's, all that was asked.
    return _read(fd, buffer, static_cast<unsigned>(count < INT_MAX ? count : INT_MAX));
}

bool may_wait(std::FILE* in) {
    HANDLE handle = handle_of(in);
    return handle == INVALID_HANDLE_VALUE || GetFileType(handle) != FILE_TYPE_DISK;
}

std::FILE* create_image(const char* name, std::FILE* input, std::FILE* log) {
    // A reparse point (symbolic link, junction, mount point) is opened
    // itself, not followed, and refused below. Opened without truncating,
    // so that a file that was there can be compared with the input and the
    // log first; one the open created is neither.
    const std::wstring path = image_path(name);
    HANDLE handle = path.empty()
                        ? INVALID_HANDLE_VALUE
                        : CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    BY_HANDLE_FILE_INFORMATION image{};
    bool usable = GetFileType(handle) == FILE_TYPE_DISK && GetFileInformationByHandle(handle, &image) != 0 &&
                  (image.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (usable && existed) {
        usable = !may_be_same_file(image, input) && !may_be_same_file(image, log) && SetEndOfFile(handle) != 0;
    }
    const int fd = usable ? _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY) : -1;
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);  // closes the handle too
    }
    return file;
}

bool is_terminal(std::FILE* stream) {
    return is_console(handle_of(stream));
}

bool write_out(std::FILE* out, const char* text, std::size_t count) {
    HANDLE console = handle_of(out);
    if (!is_console(console)) {
        return std::fwrite(text, 1, count, out) == count && std::fflush(out) == 0;
    }
    // A console shows bytes in its own code page: the UTF-8 text goes to it
    // as UTF-16. A sequence cut at the end of a piece waits for the next one.
    static char carried[4];
    static std::size_t carried_count = 0;
    std::string whole(carried, carried_count);
    whole.append(text, count);
    std::size_t complete = whole.size();
    for (std::size_t back = 1; back <= 3 && back <= whole.size(); ++back) {
        const auto byte = static_cast<unsigned char>(whole[whole.size() - back]);
        if ((byte & 0xC0) != 0x80) {
            const std::size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            complete = needed > back ? whole.size() - back : whole.size();
            break;
        }
    }
    carried_count = whole.size() - complete;
    whole.copy(carried, carried_count, complete);
    whole.resize(complete);
    std::wstring wide;
    if (!whole.empty()) {
        const int size = MultiByteToWideChar(CP_UTF8, 0, whole.data(), static_cast<int>(whole.size()), nullptr, 0);
        wide.resize(static_cast<std::size_t>(size));
        MultiByteToWideChar(CP_UTF8, 0, whole.data(), static_cast<int>(whole.size()), wide.data(), size);
    }
    for (std::size_t done = 0; done < wide.size();) {
        DWORD written = 0;
        const auto piece = static_cast<DWORD>(wide.size() - done < 16384 ? wide.size() - done : 16384);
        if (WriteConsoleW(console, wide.data() + done, piece, &written, nullptr) == 0 || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

}  // namespace kvf
