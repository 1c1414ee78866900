/* SPDX-License-Identifier: GPL-2.0-or-later */
/* A C program using the public header: it must compile as C and link against the library. */
#include <qvctl.h>
#include <stdio.h>

int main(void)
{
    qvctl_status st = {0, ""};
    char snap[4096] = "";
    char version[256];
    uint32_t r = qvctl_snapshot_get("/dev/loop0", snap, &st);
    qvctl_version_get(version, sizeof version);
    printf("%s\n%u %s\n", version, r, st.message);
    return 0;
}
