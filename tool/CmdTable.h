#pragma once
#include "CmdHelper.h"

// The interactive commands, in listing order, ending with a null row.
extern const CmdTableRow CmdTable[];
