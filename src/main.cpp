// SPDX-License-Identifier: MIT
#include <cstdio>

#include "driver.h"

int main(int argc, char** argv) {
    return kvf::run_kvf_unpack(argc, argv, stdout);
}
