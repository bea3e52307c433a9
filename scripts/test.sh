#!/usr/bin/env bash
# Installs what the tests need, builds every variant and runs every test. The last line is
# "N passed, M failed", counting the test cases of every stage.
# Usage: scripts/test.sh            (everything)
#        STAGES="qt6 qt5" scripts/test.sh   (only some stages)
# The trixie and sid stages build and test in Debian 13's and sid's own OBS, in trees that scripts/hosts.sh
# builds on the first run and caches outside the clone.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/build-ci"
mkdir -p "$out"
all_stages="fresh format qt6 tidy qt5 install sanitize fuzz e2e trixie sid bench"
stages=" ${STAGES:-$all_stages} "
jobs=$(nproc)

passed=0
failed=0
failures=()

note() { printf '\n=== %s (at %d s)\n' "$*" "$SECONDS"; }
count() { # count STAGE PASSED FAILED
	passed=$((passed + $2))
	failed=$((failed + $3))
	if (($3 > 0)); then failures+=("$1"); fi
	echo "--- $1: $2 passed, $3 failed"
}
wanted() { [[ "$stages" == *" $1 "* ]]; }

# Runs ctest in a build folder under a fresh X display and counts its summary; in_host, when set, runs it
# inside a host tree.
in_host=()
run_ctest() { # run_ctest STAGE BUILD_DIR [ctest args...]
	local stage=$1 dir=$2
	shift 2
	local log="$dir/ctest.log"
	(cd "$dir" && timeout 1800 "${in_host[@]}" xvfb-run -a -s "-screen 0 1920x1080x24" \
		ctest --output-on-failure --timeout 300 --repeat after-timeout:2 "$@") 2>&1 | tee "$log"
	local summary total failures_n skipped
	summary=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
	if [[ -z "$summary" ]]; then
		count "$stage" 0 1
		return
	fi
	failures_n=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$summary")
	total=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$summary")
	# A skipped test tested nothing: it counts as failed.
	skipped=$(grep -cE '^\s+[0-9]+ - .* \(Skipped\)$' "$log")
	((skipped == 0)) || echo "$stage: $skipped skipped, counted as failed"
	count "$stage" $((total - failures_n - skipped)) $((failures_n + skipped))
}

# Configures and builds one variant; counts a failed build as one failure.
build_variant() { # build_variant STAGE BUILD_DIR cmake-args...
	local stage=$1 dir=$2
	shift 2
	if cmake -S "$root" -B "$dir" -DLORVALEN_WERROR=ON "$@" >"$dir.configure.log" 2>&1 &&
		cmake --build "$dir" -j"$jobs" 2>&1 | tail -n 40; then
		return 0
	fi
	cat "$dir.configure.log" 2>/dev/null | tail -n 40
	count "$stage build" 0 1
	return 1
}

# Runs the end-to-end test and counts its checks. Debian's OBS 29 now and then crashes on quit with no
# plug-in code on the stack (about 1 run in 25 here), so a failing run is tried once more; both results are
# printed.
run_e2e() { # run_e2e STAGE run.sh-args...
	local stage=$1 line="" attempt log
	shift
	for attempt in 1 2; do
		log="$out/$(tr -cs "[:alnum:]" "-" <<<"$stage")$attempt.log"
		timeout 900 "$root/scripts/e2e/run.sh" "$@" 2>&1 | tee "$log"
		line=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' "$log" | tail -1)
		if [[ -n "$line" && "$(cut -d' ' -f3 <<<"$line")" == 0 ]]; then
			break
		fi
		echo "--- $stage attempt $attempt: ${line:-no summary}"
	done
	if [[ -n "$line" ]]; then
		count "$stage" "$(cut -d' ' -f1 <<<"$line")" "$(cut -d' ' -f3 <<<"$line")"
	else
		count "$stage" 0 1
	fi
}

# The package's version names the release it was built in.
declare -A release_suffix=([bookworm]=deb12 [trixie]=deb13 [sid]=sid)

# A release's package, built in its tree as a Debian developer builds it: dpkg-buildpackage in a copy of the
# clone (it writes its state into debian/ and the packages beside the source folder); lintian on the .changes
# and every package it lists, where any error or warning fails; the system layout, and a -dbgsym package with
# the symbols of every binary stripped from it; then the e2e installs it into a clean copy of the tree, uses it
# in that OBS and purges it.
package_stage() { # package_stage STAGE RELEASE QT_MAJOR DIR
	local stage=$1 host=$2 dir=$4 hosts="$root/scripts/hosts.sh" start=$SECONDS ok=1 ids id path name missing="" deb dbgsym
	deb="$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)+${release_suffix[$host]}_amd64.deb"
	dbgsym="lorvalen-pgm-qt$3-dbgsym_$deb"
	deb="lorvalen-pgm-qt$3_$deb"
	rm -rf "$dir"
	mkdir -p "$dir/source"
	tar -C "$root" --exclude='./build*' --exclude=./.git --exclude=./.cache -cf - . | tar -C "$dir/source" -xf -
	if ! (cd "$dir/source" && "$hosts" run "$host" -- env DEB_BUILD_OPTIONS="parallel=$jobs" \
		dpkg-buildpackage -us -uc -b) >"$dir/build.log" 2>&1; then
		tail -n 40 "$dir/build.log"
		count "$stage package build" 0 1
		return
	fi
	echo "$stage: dpkg-buildpackage in $((SECONDS - start)) s," \
		"$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: warning:' "$dir/build.log") compiler warnings"
	ls -l "$dir"/*.deb | awk '{ print "  " $5 " bytes  " $NF }' | sed "s|$dir/||"
	if [[ ! -f "$dir/$deb" || ! -f "$dir/$dbgsym" ]]; then
		echo "expected $deb and $dbgsym; built: $(cd "$dir" && echo *.deb)"
		count "$stage package build" 0 1
		return
	fi
	echo "depends: $(dpkg-deb -f "$dir/$deb" Depends)"

	# lintian exits 2 for shown overrides as for errors (2.116), so the tags decide; any other non-zero status
	# is lintian's own failure.
	(cd "$dir" && "$hosts" run "$host" -- sh -c 'lintian --version && exec lintian --display-info --show-overrides ./*.changes') \
		>"$dir/lintian.log" 2>&1
	local lintian_rc=$? errors warnings
	grep -v 'root privileges' "$dir/lintian.log"
	errors=$(grep -c '^E: ' "$dir/lintian.log")
	warnings=$(grep -c '^W: ' "$dir/lintian.log")
	echo "lintian: $errors errors, $warnings warnings, $(grep -c '^I: ' "$dir/lintian.log") info," \
		"$(grep -c '^O: ' "$dir/lintian.log") overridden"
	if ((lintian_rc == 0 || lintian_rc == 2)) && ((errors + warnings == 0)) && grep -q '^Lintian v' "$dir/lintian.log"; then
		count "$stage lintian" 1 0
	else
		count "$stage lintian" 0 1
	fi

	dpkg-deb -x "$dir/$deb" "$dir/unpacked"
	for path in usr/lib/x86_64-linux-gnu/obs-plugins/lorvalen-pgm.so usr/share/obs/obs-plugins/lorvalen-pgm/locale/en-US.ini \
		usr/lib/x86_64-linux-gnu/obs-plugins/lorvalen-page-source.so \
		usr/lib/x86_64-linux-gnu/lorvalen-page-source/lorvalen-page-helper \
		usr/share/obs/obs-plugins/lorvalen-page-source/locale/pt-BR.ini; do
		[[ -s "$dir/unpacked/$path" ]] || { echo "not in $deb: /$path"; ok=0; }
	done
	# The mended wpe web extension, built where WebKit has its 2.0 API (not Debian 12).
	path=usr/lib/x86_64-linux-gnu/lorvalen-page-source/wpe-extension/liblorvalen-wpe-extension.so
	if [[ "$host" != bookworm && ! -s "$dir/unpacked/$path" ]]; then
		echo "not in $deb: /$path"
		ok=0
	fi
	# What the page renderer loads at run time, which the libraries' dependencies do not bring.
	for name in obs-studio gstreamer1.0-wpe gstreamer1.0-plugins-base gstreamer1.0-plugins-good; do
		[[ ", $(dpkg-deb -f "$dir/$deb" Depends), " == *", $name"[\ ,]* ]] || { echo "$deb does not depend on $name"; ok=0; }
	done
	ids=" $(dpkg-deb -f "$dir/$dbgsym" Build-Ids) "
	while IFS= read -r -d '' path; do
		readelf -h "$path" >/dev/null 2>&1 || continue
		id=$(readelf -n "$path" | sed -n 's/^ *Build ID: //p')
		if [[ -z "$id" || "$ids" != *" $id "* ]] || readelf -S "$path" | grep -q ' \.debug_'; then
			missing+=" ${path#"$dir/unpacked"}"
		fi
	done < <(find "$dir/unpacked" -type f -print0)
	if [[ -n "$missing" ]]; then
		echo "not stripped, or no symbols in $dbgsym:$missing"
		ok=0
	fi
	if ((ok)); then count "$stage package contents" 1 0; else count "$stage package contents" 0 1; fi

	run_e2e "$stage package" --host "$host" --deb "$dir/$deb" "$dir"
	echo "$stage package: $((SECONDS - start)) s"
}

# A Debian release's own OBS (Qt 6), in a tree scripts/hosts.sh builds or reuses: the Qt 6 variant built and
# unit-tested there; this machine's Qt 6 build end to end in that OBS; the Qt 5 build refused; the release's
# package, built there, installed, used end to end and purged; on trixie, install.sh on a machine with only
# obs-studio.
host_stage() { # host_stage RELEASE
	local host=$1 dir="$out/$1" hosts="$root/scripts/hosts.sh" start=$SECONDS
	note "$host: host tree"
	if ! "$hosts" build "$host"; then
		echo "$host: the host tree could not be built (see above)"
		count "$host tree" 0 1
		return
	fi
	in_host=("$hosts" run "$host" --)
	mkdir -p "$dir"
	"${in_host[@]}" dpkg-query -W -f='${Package} ${Version}\n' obs-studio libobs-dev qt6-base-dev g++
	note "$host: Qt 6 build and tests"
	if "${in_host[@]}" cmake -S "$root" -B "$dir/qt6" -DLORVALEN_WERROR=ON -DLORVALEN_QT_MAJOR=6 \
		-DCMAKE_BUILD_TYPE=Debug -DLORVALEN_BUILD_BENCH=OFF >"$dir/qt6.configure.log" 2>&1 &&
		"${in_host[@]}" cmake --build "$dir/qt6" -j"$jobs" >"$dir/qt6.build.log" 2>&1; then
		echo "$host: built with -Werror, $(grep -c 'warning:' "$dir/qt6.build.log") warnings"
		run_ctest "$host unit" "$dir/qt6"
	else
		tail -n 40 "$dir/qt6.configure.log" "$dir/qt6.build.log" 2>/dev/null
		count "$host build" 0 1
	fi
	in_host=()
	# The build made in the release itself goes end to end as its package, below.
	if [[ -f "$out/qt6/lorvalen-pgm.so" ]] || build_variant "$host e2e" "$out/qt6" -DLORVALEN_QT_MAJOR=6 -DCMAKE_BUILD_TYPE=Debug; then
		run_e2e "$host e2e, built on Debian 12" --host "$host" "$out/qt6"
	fi
	if [[ -f "$out/qt5/lorvalen-pgm.so" ]] || build_variant "$host qt5" "$out/qt5" -DLORVALEN_QT_MAJOR=5 -DCMAKE_BUILD_TYPE=Debug; then
		run_e2e "$host qt5 refused" --host "$host" "$out/qt5"
	fi

	note "$host: the release's package"
	package_stage "$host" "$host" 6 "$dir/package"
	if [[ "$host" == trixie ]]; then
		mkdir -p "$dir/newcomer"
		run_e2e "$host newcomer" --host "$host" --newcomer "$dir/newcomer"
	fi
	echo "$host: $((SECONDS - start)) s"
}

# A fresh Debian 12 machine: a minimal tree (debootstrap's), where the project's install step has to install
# everything. Afterwards every command its lists name is there, the scripts call no command that is neither
# listed nor part of a minimal Debian, and scripts/install.sh --no-start builds and installs the plug-in.
fresh_stage() {
	local hosts="$root/scripts/hosts.sh" dir="$out/fresh" start=$SECONDS
	note "fresh: a minimal Debian 12 tree"
	if ! "$hosts" build fresh; then
		count "fresh tree" 0 1
		return
	fi
	rm -rf "$dir"
	mkdir -p "$dir/clone"
	# install.sh builds inside the clone it runs from: a copy, as a newcomer's clone would be.
	tar -C "$root" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$dir/clone" -xf -
	(cd "$root" && "$hosts" run fresh -- bash -c 'compgen -c') | sort -u >"$dir/minimal-commands.txt"
	# One clean copy for the whole course, with the network for apt-get, kept in memory. dpkg skips its fsyncs
	# there: the copy is thrown away afterwards.
	(cd "$root" && "$hosts" run fresh --in-memory --net -- bash -c '
		echo force-unsafe-io >/etc/dpkg/dpkg.cfg.d/unsafe-io
		cd "$1"
		if scripts/install-deps.sh --tests >"$2/install-deps.log" 2>&1; then echo "pass install step" >>"$2/results"
		else echo "fail install step" >>"$2/results"; tail -n 20 "$2/install-deps.log"; fi
		echo "fresh: the install step took $SECONDS s"
		if scripts/install-deps.sh --tests --check; then echo "pass listed commands present" >>"$2/results"
		else echo "fail listed commands present" >>"$2/results"; fi
		plugins="$HOME/.config/obs-studio/plugins"
		if scripts/install.sh --no-start >"$2/install.log" 2>&1 &&
			test -f "$plugins/lorvalen-pgm/bin/64bit/lorvalen-pgm.so" &&
			test -x "$plugins/lorvalen-page-source/bin/64bit/lorvalen-page-helper"; then
			echo "pass install.sh --no-start" >>"$2/results"
			echo "fresh: install.sh --no-start done at $SECONDS s"
		else
			echo "fail install.sh --no-start" >>"$2/results"; tail -n 20 "$2/install.log"
		fi' sh "$dir/clone" "$dir")
	[[ $(grep -c . "$dir/results" 2>/dev/null) == 3 ]] || echo "fail the course in the tree ran to its end" >>"$dir/results"
	# Every command the scripts call is listed, or comes with a minimal Debian.
	local listed called unlisted=""
	listed=$("$root/scripts/install-deps.sh" --tests --commands)
	if ! called=$("$root/scripts/called_commands.py" "$root") || [[ -z "$called" ]]; then
		unlisted="  (scripts/called_commands.py found no commands)"
	fi
	while IFS=$'\t' read -r command where; do
		grep -qxF -- "$command" <<<"$listed" || grep -qxF -- "$command" "$dir/minimal-commands.txt" ||
			unlisted+="  $command (called at $where)"$'\n'
	done <<<"$called"
	if [[ -z "$unlisted" ]]; then
		echo "pass every command called is listed or minimal" >>"$dir/results"
	else
		echo "called by the scripts, but neither in scripts/install-deps.sh's lists nor in a minimal Debian:"
		echo "$unlisted"
		echo "fail every command called is listed or minimal" >>"$dir/results"
	fi
	sed 's/^/  /' "$dir/results"
	count fresh "$(grep -c '^pass ' "$dir/results")" "$(grep -c '^fail ' "$dir/results")"
	echo "fresh: $((SECONDS - start)) s"
}

# Enter in the server field looks the typed server up and never reaches OK. A key sent before the dialog is
# Qt's active window would go elsewhere, so those rows repeat while a plain busy loop keeps every core busy:
# under load the window becomes active later. The Enter row (Return and keypad Enter) runs 50 times, the nested
# refresh, which also presses Enter there but waits 2.6 s for its slow server, 10 times.
stress_enter_rows() { # stress_enter_rows BUILD_DIR
	local dir=$1 busy=() i rc=0 log="$1/enter-rows-under-load.log" row repeat
	for ((i = 0; i < jobs; i++)); do
		timeout 1200 sh -c 'while :; do :; done' &
		busy+=($!)
	done
	: >"$log"
	for row in enterInTheServerField:50 aSecondRefreshInsideTheFirst:10; do
		repeat=${row#*:}
		(cd "$dir" && QT_QPA_PLATFORM=offscreen timeout 600 xvfb-run -a \
			-s "-screen 0 1920x1080x24" tests/reentrancy_test --gtest_repeat="$repeat" \
			--gtest_filter="*${row%:*}*") >>"$log" 2>&1 || rc=$?
	done
	kill "${busy[@]}" 2>/dev/null
	wait "${busy[@]}" 2>/dev/null
	local ok
	ok=$(grep -c '^\[       OK \]' "$log")
	echo "Enter rows under load: $ok of 60 passed (exit status $rc)"
	if ((rc == 0 && ok == 60)); then
		count "sanitize, Enter rows under load" 1 0
	else
		grep -E 'Failure|brought up|FAILED' "$log" | head -n 20
		count "sanitize, Enter rows under load" 0 1
	fi
}

# Runs a benchmark that writes a table; prints the table, and counts a run that measured every figure as passed.
run_bench() { # run_bench STAGE RESULTS LOG SECONDS COMMAND...
	local stage=$1 results=$2 log=$3 limit=$4
	shift 4
	rm -f "$results"
	timeout "$limit" xvfb-run -a -s "-screen 0 1920x1080x24" "$@" "$results" >"$log" 2>&1
	local rc=$?
	echo
	[[ -f "$results" ]] && cat "$results"
	if ((rc == 0)); then
		count "$stage" 1 0
	else
		echo "$stage: $( ((rc == 124)) && echo "did not finish in $limit s" || echo "exit status $rc") (log: $log)"
		grep '^not measured: ' "$log" || tail -n 20 "$log"
		count "$stage" 0 1
	fi
}

# A Qt N build must not pull in the other Qt major.
check_qt_links() { # check_qt_links STAGE SO MAJOR
	local other=$((11 - $3))
	if grep -q "libQt${other}" <(readelf -d "$2"); then
		echo "$2 links Qt $other:"
		readelf -d "$2" | grep NEEDED
		count "$1 qt-links" 0 1
	elif ! grep -q "libQt$3Core" <(readelf -d "$2"); then
		echo "$2 does not link Qt $3"
		count "$1 qt-links" 0 1
	else
		count "$1 qt-links" 1 0
	fi
}

note "dependencies"
"$root/scripts/install-deps.sh" --tests || { echo "dependency install failed"; echo "0 passed, 1 failed"; exit 1; }

wanted fresh && fresh_stage

if wanted format; then
	note "format (clang-format $(clang-format --version | grep -o '[0-9][0-9.]*' | head -1))"
	mapfile -t sources < <(cd "$root" && git ls-files '*.cpp' '*.hpp' '*.c' '*.h')
	if (cd "$root" && clang-format --dry-run -Werror "${sources[@]}"); then
		count format 1 0
	else
		count format 0 1
	fi
fi

for major in 6 5; do
	wanted "qt$major" || continue
	dir="$out/qt$major"
	# The sanitize stage runs the same tests against the same Qt 6, so the plain Qt 6 build leaves them to it.
	if ((major == 6)) && wanted sanitize; then
		note "Qt 6 build (its tests run in the sanitize stage)"
		tests=OFF
	else
		note "Qt $major build and tests"
		tests=ON
	fi
	if build_variant "qt$major" "$dir" -DLORVALEN_QT_MAJOR=$major -DCMAKE_BUILD_TYPE=Debug -DLORVALEN_BUILD_TESTS=$tests; then
		check_qt_links "qt$major" "$dir/lorvalen-pgm.so" $major
		[[ $tests == ON ]] && run_ctest "qt$major" "$dir"
	fi
done

if wanted tidy; then
	note "static analysis (clang-tidy $(clang-tidy --version | grep -o '[0-9][0-9.]*' | head -1))"
	if [[ -f "$out/qt6/compile_commands.json" ]]; then
		mapfile -t sources < <(cd "$root" && git ls-files 'src/*.cpp')
		if (cd "$root" && clang-tidy -p "$out/qt6" --quiet "${sources[@]}" 2>&1 | grep -v 'warnings generated'; exit "${PIPESTATUS[0]}"); then
			count tidy 1 0
		else
			count tidy 0 1
		fi
	else
		echo "no Qt 6 build to take compile commands from"
		count tidy 0 1
	fi
fi

if wanted install; then
	note "install layouts and the Debian 12 package"
	# The per-user layout from the Qt 6 build; the system layout is the package's.
	if [[ -f "$out/qt6/lorvalen-pgm.so" ]] || build_variant install "$out/qt6" -DLORVALEN_QT_MAJOR=6 -DCMAKE_BUILD_TYPE=Debug; then
		stage_root=$(mktemp -d)
		ok=1
		cmake --install "$out/qt6" --prefix "$stage_root" >/dev/null || ok=0
		for expected in lorvalen-pgm/bin/64bit/lorvalen-pgm.so lorvalen-pgm/data/locale/en-US.ini \
			lorvalen-page-source/bin/64bit/lorvalen-page-source.so lorvalen-page-source/bin/64bit/lorvalen-page-helper \
			lorvalen-page-source/data/locale/pt-BR.ini; do
			if [[ ! -s "$stage_root/$expected" ]]; then
				echo "missing after install: $expected"
				ok=0
			fi
		done
		rm -rf "$stage_root"
		if ((ok)); then count install 1 0; else count install 0 1; fi
	fi
	if "$root/scripts/hosts.sh" build bookworm; then
		package_stage install bookworm 5 "$out/package"
	else
		echo "bookworm: the host tree could not be built (see above)"
		count "install tree" 0 1
	fi
fi

if wanted sanitize; then
	note "AddressSanitizer + UndefinedBehaviorSanitizer (clang), with leak detection"
	dir="$out/sanitize"
	if CC=clang CXX=clang++ build_variant sanitize "$dir" -DLORVALEN_QT_MAJOR=6 -DCMAKE_BUILD_TYPE=Debug \
		-DLORVALEN_SANITIZE=address,undefined -DLORVALEN_BUILD_BENCH=OFF; then
		# Any report fails its test: ASan and LSan exit non-zero, UBSan halts on the first finding. The Enter rows
		# under load take the same options: without the suppressions, Mesa's allocation fails every process.
		export ASAN_OPTIONS=detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1
		export LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan.supp:fast_unwind_on_malloc=0:print_suppressions=0"
		export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
		run_ctest sanitize "$dir"
		stress_enter_rows "$dir"
		unset ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS
	fi
fi

if wanted fuzz; then
	note "fuzzing the studio list decoder (libFuzzer with ASan and UBSan, ${FUZZ_SECONDS:-60} s)"
	dir="$out/fuzz"
	if CC=clang CXX=clang++ build_variant fuzz "$dir" -DLORVALEN_BUILD_FUZZ=ON -DLORVALEN_BUILD_TESTS=OFF \
		-DLORVALEN_BUILD_BENCH=OFF -DLORVALEN_BUILD_PAGE_SOURCE=OFF -DLORVALEN_SANITIZE=address,undefined \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo; then
		# The seed corpus stays as committed; what the run discovers goes into the build folder.
		rm -rf "$dir/corpus" "$dir/crashes"
		mkdir -p "$dir/corpus" "$dir/crashes"
		if "$dir/tests/fuzz/decode_fuzzer" -max_total_time="${FUZZ_SECONDS:-60}" -print_final_stats=1 \
			-max_len=65536 -artifact_prefix="$dir/crashes/" "$dir/corpus" "$root/tests/fuzz/corpus" \
			>"$dir/fuzz.log" 2>&1; then
			grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|Done [0-9]+ runs' "$dir/fuzz.log"
			count fuzz 1 0
		else
			tail -n 40 "$dir/fuzz.log"
			echo "crashing inputs: $dir/crashes/ (keep them under tests/fuzz/corpus as regressions)"
			count fuzz 0 1
		fi
	fi
fi

if wanted e2e; then
	note "end-to-end in OBS Studio"
	if ! command -v obs >/dev/null; then
		echo "OBS Studio is not installed"
		count e2e 0 1
	else
		dir="$out/qt5"
		if [[ -f "$dir/lorvalen-pgm.so" ]] || build_variant e2e "$dir" -DLORVALEN_QT_MAJOR=5 -DCMAKE_BUILD_TYPE=Debug; then
			run_e2e e2e "$dir"
		fi
	fi
fi

for host in trixie sid; do
	wanted "$host" && host_stage "$host"
done

if wanted bench; then
	# A target met or missed is a figure, never a failure; a figure that could not be measured fails the stage.
	note "benchmark (targets are reported, not counted; a figure that could not be measured fails)"
	dir="$out/bench"
	if cmake -S "$root" -B "$dir" -DLORVALEN_WERROR=ON -DCMAKE_BUILD_TYPE=Release -DLORVALEN_BUILD_TESTS=OFF \
		>"$dir.configure.log" 2>&1 && cmake --build "$dir" -j"$jobs" --target lorvalen-bench >"$dir.build.log" 2>&1; then
		# libobs logs to standard output: the run goes to a log, and the table it wrote is printed. On a loopback
		# of its own, the dialog's default server port is free for it.
		run_bench bench "$dir/bench-results.md" "$dir.log" 300 env QT_QPA_PLATFORM=offscreen \
			"$root/tests/support/own_loopback.sh" "$dir/lorvalen-bench"
		# The page renderer's benchmark, when it is built: real pages, beside a bare wpesrc pipeline.
		if cmake --build "$dir" -j"$jobs" --target lorvalen-page-bench >>"$dir.build.log" 2>&1; then
			run_bench "page bench" "$dir/page-bench-results.md" "$dir.page.log" 1200 "$dir/lorvalen-page-bench"
		elif grep -q 'lorvalen-page-bench' "$dir.build.log"; then
			tail -n 20 "$dir.build.log"
			count "page bench build" 0 1
		fi
	else
		echo "the benchmark did not build:"
		tail -n 40 "$dir.configure.log" "$dir.build.log" 2>/dev/null
		count "bench build" 0 1
	fi
fi

note "summary"
if ((${#failures[@]})); then
	echo "failing stages: ${failures[*]}"
fi
echo "$passed passed, $failed failed"
((failed == 0))
