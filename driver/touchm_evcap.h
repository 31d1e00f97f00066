/* SPDX-License-Identifier: GPL-2.0 */
/*
 * touchm's cap on event descriptors per user (touchm_evcap.c).
 */
#ifndef TOUCHM_EVCAP_H
#define TOUCHM_EVCAP_H

#include <linux/uidgid.h>

/*
 * What one user may hold by default: as many event descriptors as the
 * kernel's inotify lets one user hold instances (max_user_instances). Each
 * costs about 4 KiB of kernel memory (its queue of 64 records is 2 KiB and
 * the allocation rounds up), so a user holds at most 512 KiB this way.
 */
#define TOUCHM_EVFDS_PER_USER_DEFAULT	128

/*
 * Counts one more event descriptor of @uid: 0, -EMFILE when @uid holds
 * the module parameter max_user_evfds of them already, or -ENOMEM.
 */
int touchm_evcap_get(kuid_t uid);
/* @uid closed one of its event descriptors. */
void touchm_evcap_put(kuid_t uid);

#endif /* TOUCHM_EVCAP_H */
