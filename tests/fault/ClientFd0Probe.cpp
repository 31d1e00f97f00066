// A program that uses libvorn's client directly, for runs started with
// standard input closed: Init, then Deinit, then a presence request on the
// closed client. Prints where the device landed and what the late request
// got, after the client's own lines.

#include "TouchMemCltK.h"

#include <cstdio>
#include <unistd.h>

int main() {
    CTouchMemClt client;
    if (client.Init(TM_DEVICE_PATH) != 1)
        return 2;
    const int fd = client.Descriptor();
    client.Deinit();
    const long late = client.IsSlavePreset();
    printf("device on a standard descriptor: %s\n", fd <= STDERR_FILENO ? "yes" : "no");
    printf("presence after Deinit: %s\n", late != 0 ? "answered" : "failed");
    return 0;
}
