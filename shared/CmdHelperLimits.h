// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// Inside the console command helper: the sizes of its static buffers and of
// the token arrays. Not installed.

#include "CmdHelper.h"

#include <cstddef>

constexpr std::size_t kPromptSize = 64;                        // prompt of at most 63 characters
constexpr std::size_t kLineBufferSize = 1024;                  // the line last read
constexpr int kLineReadSize = 1023;                            // size given to fgets
constexpr std::size_t kTokenVectorSize = vorn::kMaxTokens + 1; // tokens and a null entry
constexpr std::size_t kLoopTokenArraySize = 128;
constexpr std::size_t kHelpNameColumns = 16;
