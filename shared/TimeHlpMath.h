// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// Inside the time helpers: the arithmetic of GetCurTimeMS. Not installed.

#include <cstdint>
#include <sys/time.h>

// The arithmetic of GetCurTimeMS: seconds x 1000 + microseconds / 1000,
// the division truncating, in unsigned 64-bit arithmetic.
uint64_t TimevalToMS(const timeval &tv);
