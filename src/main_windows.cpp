// SPDX-License-Identifier: MIT
// Entry on Windows: the command line arrives as UTF-16, with wildcards already
// expanded by the runtime; the tool takes its arguments as WTF-8, which
// keeps every name, one with a lone surrogate too.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "driver.h"
#include "wtf8.h"

// MinGW-w64: expand wildcards in the arguments before wmain, as console
// programs there do (MSVC links wsetargv.obj for the same).
extern "C" {
int _dowildcard = -1;
}

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(kvf::wtf8_from_utf16(reinterpret_cast<const char16_t*>(argv[i])));
    }
    std::vector<char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return kvf::run_kvf_unpack(argc, pointers.data(), stdout);
}
