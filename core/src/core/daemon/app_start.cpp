// SPDX-License-Identifier: MIT
#include "daemon.h"

int main(int argc, char *argv[])
{
    (void)argc;
    (void)argv;
    app_daemon();
    return 0;
}
