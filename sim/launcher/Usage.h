// SPDX-License-Identifier: GPL-2.0-or-later
// The launcher's help text.
#pragma once

namespace tmsim {
// The whole help text, as printed by --help.
const char *UsageText();
} // namespace tmsim
