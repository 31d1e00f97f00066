// SPDX-License-Identifier: LGPL-2.1-or-later
#pragma once
// Which names the deliverables export. They are built with hidden visibility,
// so only what a public header marks VORN_API enters the dynamic symbol
// table; everything else, private members marked VORN_LOCAL included, stays
// inside its image.

#define VORN_API __attribute__((visibility("default")))
#define VORN_LOCAL __attribute__((visibility("hidden")))
