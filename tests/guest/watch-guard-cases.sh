# SPDX-License-Identifier: GPL-2.0-or-later
# Cases of what the watch and the event interface let callers do to a
# line, on the simulated line (guest-init.sh): a user outside the node's
# group reads no ROM and makes no probe; the group keeps the device's key
# state and event descriptors; event descriptors are capped per user with
# EMFILE, one
# user's full share leaving the others theirs, and charged to the memory
# cgroup of their maker; a write longer than twice the hung-task timeout
# beside a running watch gives no hung-task report. evguard does the
# checking on the program's side. (The probes' interval whatever callers
# do: probe-interval-cases.sh.)
#
# Sourced after guest-lib.sh and event-cases.sh; watch_guard_cases runs the
# cases with the module loaded (sim=1, key EV_ROM attached, the watch at its
# defaults) and leaves it loaded again, with a larger key memory and the
# key EV_ROM (the last case reloads it). T, WAIT_TENTHS and EV_* are the
# guest's and event-cases.sh's.

# Users: one outside the node's group, two inside it.
WG_NOBODY=65534:65534
WG_USER=1000:1000
WG_USER2=1001:1000
WG_GROUP=1000
# Tries of the refused user.
WG_TRIES=50
# The driver's cap on event descriptors per user, and its parameter.
WG_CAP=128
WG_CAP_PARAM=/sys/module/touchm/parameters/max_user_evfds
# The memory cgroup of the charge case, the descriptors made in it, and the
# least charge each must show: its queue of 64 records of 32 bytes alone.
WG_CGROOT=/sys/fs/cgroup
WG_CG=$WG_CGROOT/tmq-evfds
WG_CHARGE_N=2000
WG_CHARGE_MIN=2048
# The long write: a key memory large enough, the bytes written, and the
# hung-task timeout meanwhile, in seconds.
WG_MEM=4096
WG_WRITE=1536
WG_HUNG_S=3
WG_HUNG_SYSCTL=/proc/sys/kernel/hung_task_timeout_secs
US_PER_S=1000000

# wg_probes: the line's probe count.
wg_probes() {
	cat "$EV_SYS/probes"
}

# wg_run NAME ARGS...: evguard ARGS, output in $T/NAME.out; bad unless
# status 0. The output goes to the console log too.
wg_run() {
	name=$1
	shift
	./evguard "$@" >"$T/$name.out" 2>&1
	RC=$?
	sed 's/^/TMQ   : /' "$T/$name.out"
	[ "$RC" = 0 ] || bad "evguard $*: status $RC"
}

watch_guard_cases() {
	begin guard-outsider-reads-no-rom-makes-no-probe
	# No watch runs: before the fix each read of key was a probe.
	p0=$(wg_probes)
	wg_run denied -u "$WG_NOBODY" denied "$WG_TRIES"
	same denied "$T/denied.out" <<EOF
denied ok
EOF
	p1=$(wg_probes)
	[ "$p1" = "$p0" ] || bad "the refused user made $((p1 - p0)) probes"
	mode=$(stat -c %A "$EV_SYS/key")
	[ "$mode" = -r-------- ] || bad "key is $mode, not -r--------"
	[ "$(ev_attr key)" = "$EV_ROM" ] || bad "root reads '$(ev_attr key)' from key"
	end

	begin guard-group-keeps-key-state-and-events
	chgrp "$WG_GROUP" /dev/touchm0 || bad "chgrp failed"
	wg_run state -u "$WG_USER" state
	same state "$T/state.out" <<EOF
attached $EV_ROM
EOF
	end

	begin guard-evfds-capped-per-user
	# One user holds its full share; another still gets its own; once the
	# first has closed them, the first gets them again.
	[ "$(cat "$WG_CAP_PARAM")" = "$WG_CAP" ] || bad "max_user_evfds is $(cat "$WG_CAP_PARAM")"
	./evguard -u "$WG_USER" cap 600000 >"$T/cap1.out" 2>&1 &
	cap_pid=$!
	wait_lines "$T/cap1.out" 2
	wg_run cap2 -u "$WG_USER2" cap 0
	stop "$cap_pid" TERM
	wg_run cap3 -u "$WG_USER" cap 0
	for f in cap1 cap2 cap3; do
		same "$f" "$T/$f.out" <<EOF
descriptors $WG_CAP errno EMFILE
ready
EOF
	done
	end

	begin guard-evfds-charged-to-memory-cgroup
	if mount -t cgroup2 none "$WG_CGROOT" &&
		echo +memory >"$WG_CGROOT/cgroup.subtree_control" &&
		mkdir "$WG_CG"; then
		# The cap raised for the count: root may change it at any time.
		echo "$WG_CHARGE_N" >"$WG_CAP_PARAM" || bad "max_user_evfds not set"
		wg_run charge charge "$WG_CG" "$WG_CHARGE_N"
		echo "$WG_CAP" >"$WG_CAP_PARAM"
		b=$(sed -n 's/^charged \(-*[0-9]*\) bytes per descriptor$/\1/p' "$T/charge.out")
		if [ -z "$b" ] || [ "$b" -lt "$WG_CHARGE_MIN" ]; then
			bad "${b:-no} bytes charged per descriptor, less than its queue, $WG_CHARGE_MIN"
		fi
		rmdir "$WG_CG" || bad "cgroup not removed"
	else
		bad "no cgroup2 memory controller"
	fi
	end

	begin guard-long-write-beside-watch-no-hung-task
	# A write longer than twice the hung-task timeout while an event
	# descriptor keeps the watch probing: the watch does not wait for the
	# line, and once the write is over it probes again.
	rmmod touchm || bad "rmmod failed"
	insmod /touchm.ko sim=1 mem_size="$WG_MEM" || bad "insmod mem_size=$WG_MEM failed"
	hung_was=$(cat "$WG_HUNG_SYSCTL") || bad "no hung-task detector"
	echo "$WG_HUNG_S" >"$WG_HUNG_SYSCTL"
	ev_start long hold 600000
	head -c "$WG_WRITE" /dev/urandom >"$T/long.bin"
	./elapsed dd if="$T/long.bin" of=/dev/touchm0 bs="$WG_WRITE" count=1 2>"$T/long.err" ||
		bad "dd: $(cat "$T/long.err")"
	us=$(sed -n 's/^elapsed //p' "$T/long.err")
	p1=$(wg_probes)
	echo "TMQ   : $WG_WRITE bytes written in ${us:-?} us"
	if [ -z "$us" ] || [ "$us" -le $((2 * WG_HUNG_S * US_PER_S)) ]; then
		bad "the write took ${us:-?} us, not over twice the hung-task timeout"
	fi
	sleep 0.5
	[ "$(wg_probes)" -gt "$p1" ] || bad "no probe after the write"
	stop "$EV_PID" TERM
	echo "$hung_was" >"$WG_HUNG_SYSCTL"
	dd if=/dev/touchm0 of="$T/back.bin" bs="$WG_WRITE" count=1 2>/dev/null
	cmp -s "$T/long.bin" "$T/back.bin" || bad "the long write read back other bytes"
	[ "$(klog 'blocked for more than')" = 0 ] || bad "hung-task report"
	end
}
