// SPDX-License-Identifier: GPL-2.0-or-later
#include "Tool.h"

// Constructed before main (after libvorn's client log, so destroyed before
// it); its destructor's Deinit still finds the client log alive.
CTouchMemClt g_client;

volatile PollFlag g_pollMode{0};
volatile PollFlag g_pollRunning{0};
