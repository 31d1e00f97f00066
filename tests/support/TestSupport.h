// SPDX-License-Identifier: GPL-2.0-or-later
// The end-to-end test harness: state directories, the key builder, running
// programs under the driver stand-in, and its trace.
#pragma once

#include "Process.h"
#include "SimDir.h"
#include "SimKey.h"
#include "Trace.h"
