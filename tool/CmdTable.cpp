// SPDX-License-Identifier: GPL-2.0-or-later
#include "CmdTable.h"

#include "Tool.h"

const CmdTableRow CmdTable[] = {
    {"quit", "Exit from program", CmdExit},
    {"exit", "Exit from program", CmdExit},
    {"chksl", "Is slave present", CmdChkSl},
    {"getid", "Get rom id", CmdGetId},
    {"skiprom", "Sjip rom", CmdSkipRom},
    {"memrd", "Read memory", CmdMemRd},
    {"memwrs", "Write string to mem", CmdMemWrS},
    {"memrdf", "Read memory to file", CmdMemRdF},
    {"memwrf", "Write memory from file", CmdMemWrF},
    {nullptr, "", nullptr},
};
