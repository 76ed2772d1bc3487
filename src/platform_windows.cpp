// Windows side of the platform interface. Inside the tool paths are UTF-8; at
// the file API they are UTF-16, made full and given the \\?\ prefix, so that
// any characters and any length (past the 260 of MAX_PATH) can be opened.
#include <io.h>
#include <windows.h>

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
    const std::wstring wide = wide_from_utf8(path);
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (wide.empty() || starts_with(wide, L"\\\\?\\") || size == 0) {
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

}  // namespace

std::FILE* open_input(const char* path) {
    return _wfopen(extended_path(path).c_str(), L"rb");
}

std::FILE* create_image(const char* name) {
    return _wfopen(extended_path(name).c_str(), L"wb");
}

bool is_terminal(std::FILE* stream) {
    return _isatty(_fileno(stream)) != 0;
}

}  // namespace kvf
