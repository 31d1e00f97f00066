# shellcheck shell=sh
# SPDX-License-Identifier: GPL-2.0-or-later
# The Debian mirror this machine's apt uses, for the roots and tarballs the
# tests build (tests/debsys/mkroot.sh, scripts/autopkgtest.sh): sourced by
# POSIX sh and bash alike.
#
# mirror_of SUITE: the first URI of a "deb" source for SUITE.
mirror_of() {
	for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
		[ -r "$f" ] || continue
		# deb [options] URI SUITE COMPONENTS...
		awk -v s="$1" '$1 == "deb" {
			i = 2
			if ($i ~ /^\[/) { while ($i !~ /\]$/) i++; i++ }
			if ($(i + 1) == s) { print $i; exit }
		}' "$f"
	done
	for f in /etc/apt/sources.list.d/*.sources; do
		[ -r "$f" ] || continue
		# deb822 stanzas, separated by blank lines.
		awk -v s="$1" '
		function flush() {
			if (types ~ /(^| )deb( |$)/ && (" " suites " ") ~ (" " s " ") &&
			    enabled != "no" && uris != "") {
				split(uris, u, " "); print u[1]; found = 1
			}
			types = ""; suites = ""; uris = ""; enabled = ""
		}
		/^[ \t]*#/ { next }
		/^[ \t]*$/ { flush(); if (found) exit; next }
		{
			key = tolower($1); sub(/:$/, "", key)
			val = $0; sub(/^[^:]*:[ \t]*/, "", val)
			if (key == "types") types = val
			else if (key == "suites") suites = val
			else if (key == "uris") uris = val
			else if (key == "enabled") enabled = tolower(val)
		}
		END { if (!found) flush() }' "$f"
	done
}
