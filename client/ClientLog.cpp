#include "ClientLog.h"

CLog g_clientLog;
