// SPDX-License-Identifier: GPL-2.0-or-later
/* elapsed: runs a command and says how long it took, by the monotonic
 * clock, for the wire-speed benchmark in the qemu guest (whose busybox
 * knows no sub-second clock).
 *
 *   elapsed COMMAND [ARG...]
 *
 * The command's output passes through; then "elapsed US" (microseconds)
 * goes to standard error. Exit status: the command's, 127 when it cannot
 * be started, 126 when it did not end normally. */
#define _GNU_SOURCE
#include <stdio.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#define US_PER_S 1000000LL
#define NS_PER_US 1000LL
#define STATUS_NO_START 127
#define STATUS_ABNORMAL 126

static long long now_us(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * US_PER_S + ts.tv_nsec / NS_PER_US;
}

int main(int argc, char **argv)
{
	long long t0;
	pid_t pid;
	int status;

	if (argc < 2) {
		fprintf(stderr, "usage: elapsed COMMAND [ARG...]\n");
		return 2;
	}
	t0 = now_us();
	pid = fork();
	if (pid < 0) {
		perror("elapsed: fork");
		return STATUS_NO_START;
	}
	if (pid == 0) {
		execvp(argv[1], argv + 1);
		perror("elapsed: exec");
		_exit(STATUS_NO_START);
	}
	if (waitpid(pid, &status, 0) < 0) {
		perror("elapsed: waitpid");
		return STATUS_ABNORMAL;
	}
	fprintf(stderr, "elapsed %lld\n", now_us() - t0);
	return WIFEXITED(status) ? WEXITSTATUS(status) : STATUS_ABNORMAL;
}
