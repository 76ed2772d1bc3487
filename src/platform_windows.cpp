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

HANDLE handle_of(std::FILE* stream) {
    const int fd = _fileno(stream);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): the runtime hands out system handles as intptr_t.
    return fd < 0 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

// The identity of the file on `handle` when it is a file on a disk.
bool disk_file(HANDLE handle, BY_HANDLE_FILE_INFORMATION& info) {
    return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_DISK &&
           GetFileInformationByHandle(handle, &info) != 0;
}

// Whether the disk file `image` is the file open on `stream`.
bool same_file(const BY_HANDLE_FILE_INFORMATION& image, std::FILE* stream) {
    BY_HANDLE_FILE_INFORMATION other{};
    return disk_file(handle_of(stream), other) && other.dwVolumeSerialNumber == image.dwVolumeSerialNumber &&
           other.nFileIndexHigh == image.nFileIndexHigh && other.nFileIndexLow == image.nFileIndexLow;
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

std::FILE* create_image(const char* name, std::FILE* input, std::FILE* log) {
    // Opened without truncating, so that it can be compared with the input
    // and the log first; truncated only once it is known to be neither.
    HANDLE handle = CreateFileW(extended_path(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION image{};
    bool usable = true;
    if (disk_file(handle, image)) {
        usable = !same_file(image, input) && !same_file(image, log) && SetEndOfFile(handle) != 0;
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
    return _isatty(_fileno(stream)) != 0;
}

}  // namespace kvf
