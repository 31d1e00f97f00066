// SPDX-License-Identifier: GPL-2.0
/*
 * touchm - the module's start and end: the simulated line (sim=1) and the
 * tty backend's line discipline come up here, and go down in reverse
 * order. The character device (touchm_dev.c) knows neither backend; each
 * backend registers its lines with it.
 */
#include <linux/module.h>
#include <linux/kernel.h>

#include "touchm.h"
#include "touchm_sim.h"
#include "touchm_tty.h"

static bool sim;
module_param(sim, bool, 0444);
MODULE_PARM_DESC(sim, "serve a simulated line with a key at load (default 0)");

static int __init touchm_init(void)
{
	int r;

	if (sim) {
		r = touchm_sim_init();
		if (r)
			return r;
	}
	r = touchm_tty_init();
	if (r) {
		if (sim)
			touchm_sim_exit();
		return r;
	}
	return 0;
}

static void __exit touchm_exit(void)
{
	touchm_tty_exit();
	if (sim)
		touchm_sim_exit();
	pr_info(TOUCHM_NAME ": unloaded\n");
}

module_init(touchm_init);
module_exit(touchm_exit);

MODULE_DESCRIPTION("Reference touch-memory driver: 1-Wire keys on a serial line");
MODULE_LICENSE("GPL");
MODULE_VERSION(TOUCHM_VERSION);
