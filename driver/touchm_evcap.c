// SPDX-License-Identifier: GPL-2.0
/*
 * touchm - the cap on event descriptors per user. Every event descriptor
 * of every line counts against the effective user that made it, until it
 * is closed; past the module parameter max_user_evfds (default
 * TOUCHM_EVFDS_PER_USER_DEFAULT; 0 allows none) TOUCHM_IOC_EVENT_FD fails
 * with EMFILE, as inotify_init does past max_user_instances. A count per
 * user rather than per line: one user who fills a line's share cannot
 * lock the others out. Root counts like anyone, and may change the
 * parameter at any time (/sys/module/touchm/parameters/max_user_evfds);
 * a lower cap only refuses new descriptors.
 *
 * The counts live in a small hash table keyed by the user, an entry only
 * while the user holds a descriptor, charged to the memory cgroup of the
 * descriptor that made it.
 */
#include <linux/hashtable.h>
#include <linux/moduleparam.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/errno.h>

#include "touchm_evcap.h"

/* 64 buckets: a machine has few users holding descriptors at once. */
#define TOUCHM_EVCAP_HASH_BITS	6

static unsigned int max_user_evfds = TOUCHM_EVFDS_PER_USER_DEFAULT;
module_param(max_user_evfds, uint, 0644);
MODULE_PARM_DESC(max_user_evfds,
		 "event descriptors one user may hold over all lines (default 128); past it EMFILE");

/**
 * struct touchm_evcap_user - a user who holds event descriptors
 * @node: in touchm_evcap_users
 * @uid:  the user
 * @n:    descriptors held, at least 1
 */
struct touchm_evcap_user {
	struct hlist_node node;
	kuid_t uid;
	unsigned int n;
};

static DEFINE_HASHTABLE(touchm_evcap_users, TOUCHM_EVCAP_HASH_BITS);
static DEFINE_SPINLOCK(touchm_evcap_lock);

/* With touchm_evcap_lock held: @uid's entry, or NULL. */
static struct touchm_evcap_user *touchm_evcap_find(kuid_t uid)
{
	struct touchm_evcap_user *u;

	hash_for_each_possible(touchm_evcap_users, u, node, __kuid_val(uid))
		if (uid_eq(u->uid, uid))
			return u;
	return NULL;
}

int touchm_evcap_get(kuid_t uid)
{
	struct touchm_evcap_user *u, *spare;
	unsigned int max = READ_ONCE(max_user_evfds);
	int r = 0;

	/* Allocated before the lock; freed again when the user has one. */
	spare = kzalloc(sizeof(*spare), GFP_KERNEL_ACCOUNT);
	if (!spare)
		return -ENOMEM;
	spin_lock(&touchm_evcap_lock);
	u = touchm_evcap_find(uid);
	if (u && u->n >= max) {
		r = -EMFILE;
	} else if (u) {
		u->n++;
	} else if (!max) {
		r = -EMFILE;
	} else {
		u = spare;
		spare = NULL;
		u->uid = uid;
		u->n = 1;
		hash_add(touchm_evcap_users, &u->node, __kuid_val(uid));
	}
	spin_unlock(&touchm_evcap_lock);
	kfree(spare);
	return r;
}

void touchm_evcap_put(kuid_t uid)
{
	struct touchm_evcap_user *u;

	spin_lock(&touchm_evcap_lock);
	u = touchm_evcap_find(uid);
	if (WARN_ON_ONCE(!u)) {
		spin_unlock(&touchm_evcap_lock);
		return;
	}
	if (--u->n) {
		spin_unlock(&touchm_evcap_lock);
		return;
	}
	hash_del(&u->node);
	spin_unlock(&touchm_evcap_lock);
	kfree(u);
}
