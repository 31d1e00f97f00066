// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
#include "CmdHelper.h"

// The interactive commands, in listing order, ending with a null row.
extern const CmdTableRow CmdTable[];
