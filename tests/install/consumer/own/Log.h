// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// A program's own header that happens to share its name with one of the
// library's. The consumer is built with this directory searched after every
// other one, so it is found only if no directory the library's flags add
// holds a Log.h of its own.

constexpr int kConsumersOwnLogHeader = 1;
