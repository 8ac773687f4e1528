#!/usr/bin/env bash
# pictrace-mpi with 1, 2, 3 and 4 processes on one host gives what pictrace-cli gives: the same
# database files byte for byte, the same console lines (times aside), reports and exit status.
# Usage: mpi_check.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
cli="$build/cli/pictrace-cli"
mpi="$build/cli/pictrace-mpi"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Times vary from run to run: the milliseconds of the summary lines ("ms<TAB>rate"), of the
# sweep lines ("radius<TAB>ms<TAB>rate") and of "... in N ms" are replaced.
without_times() {
    sed -E 's/^[0-9]+\t([0-9.e+-]+)$/T\t\1/; s/^([0-9]+)\t[0-9]+\t([0-9.e+-]+)$/\1\tT\t\2/;
            s/ in [0-9]+ ms/ in T ms/'
}

mpirun_n() {
    local n=$1
    shift
    mpirun --oversubscribe --allow-run-as-root -n "$n" "$mpi" "$@"
}

# Runs the command alone and with each number of processes; compares standard output and
# the exit status, and the files named after --report.
compare() {
    local name=$1
    shift
    local status=0
    "$cli" "$@" >"$work/$name.alone.out" 2>"$work/$name.alone.err" || status=$?
    [ -f "$work/report.tsv" ] && mv "$work/report.tsv" "$work/$name.alone.tsv"
    for n in 1 2 3 4; do
        local shared=0
        mpirun_n "$n" "$@" >"$work/$name.$n.out" 2>"$work/$name.$n.err" || shared=$?
        [ "$shared" = "$status" ] || fail "$name with $n processes: exit status $shared, alone $status"
        if ! diff <(without_times <"$work/$name.alone.out") <(without_times <"$work/$name.$n.out") \
            >"$work/diff"; then
            fail "$name with $n processes: the output differs"
            head -20 "$work/diff"
        fi
        if [ -f "$work/$name.alone.tsv" ]; then
            cmp -s "$work/$name.alone.tsv" "$work/report.tsv" ||
                fail "$name with $n processes: the report differs"
            rm -f "$work/report.tsv"
        fi
    done
    echo "ok: $name (exit status $status)"
}

"$cli" make-demo "$work/ws" 14 >/dev/null
ws="$work/ws"
# Duplicate base names and a file that is not an image take their paths too.
cp "$ws/database/img003.png" "$ws/database/img003.copy.png"
echo "not an image" >"$ws/database/notes.txt"

# Builds: the lead process writes every record in listing order.
"$cli" -C "$ws" -r 20 -c 2 build database alone >/dev/null
for n in 1 2 3 4; do
    mpirun_n "$n" -C "$ws" -r 20 -c 2 build database "shared$n" >"$work/build.$n.out"
    cmp -s "$ws/precomputed_databases/alone.ft1" "$ws/precomputed_databases/shared$n.ft1" ||
        fail "build with $n processes: the database differs"
done
echo "ok: build"
mkdir "$work/sweep"
cp -r "$ws/database" "$work/sweep/"
"$cli" -C "$ws" build-sweep database >/dev/null
mpirun_n 3 -C "$work/sweep" build-sweep database >/dev/null
for file in "$ws"/precomputed_databases/db3_ft1_*.ft1; do
    cmp -s "$file" "$work/sweep/precomputed_databases/$(basename "$file")" ||
        fail "build-sweep with 3 processes: $(basename "$file") differs"
done
echo "ok: build-sweep"

db=precomputed_databases/alone.ft1
compare search -C "$ws" -r 20 -c 2 search patterns/img005.crop.png "$db"
compare search-aligned -C "$ws" -r 20 -c 2 --aligned search patterns/img007.crop.png "$db"
compare multi -C "$ws" -r 20 -c 2 --report "$work/report.tsv" multi "$db"
compare multi-aligned -C "$ws" -r 20 -c 2 --aligned --report "$work/report.tsv" multi "$db"
compare multi-two-databases -C "$ws" -r 20 -c 2 multi "$db" precomputed_databases/shared2.ft1
# The indexed search: from the text (each slice makes its own candidate index) and from the
# binary index (each looks in the database's from its slice on).
compare search-indexed -C "$ws" -r 20 -c 2 --search indexed search patterns/img007.crop.png "$db"
compare multi-indexed -C "$ws" -r 20 -c 2 --search indexed --report "$work/report.tsv" multi "$db"
"$cli" -C "$ws" index "$db" >/dev/null
compare multi-indexed-idx -C "$ws" -r 20 -c 2 --search indexed --report "$work/report.tsv" multi \
    "$db"
rm "$ws/$db.idx"
compare monster -C "$ws" --report "$work/report.tsv" monster
compare monster-aligned -C "$ws" --aligned --report "$work/report.tsv" monster
compare monster-indexed -C "$ws" --search indexed --report "$work/report.tsv" monster
# Failures end every process alike.
compare missing-database -C "$ws" -r 20 multi precomputed_databases/none.ft1
compare wrong-settings -C "$ws" -r 30 multi "$db"

# A process that sees other inputs at the same paths (its own working folder): the job ends
# before any search, every process with status 1, with a line naming the process and the file.
differing() {
    local name=$1 expected=$2
    shift 2
    local status=0
    mpirun --oversubscribe --allow-run-as-root -n 2 "$mpi" -C "$ws" "$@" : \
        -n 1 "$mpi" -C "$work/other" "$@" >"$work/$name.out" 2>"$work/$name.err" || status=$?
    [ "$status" = 1 ] || fail "$name: exit status $status"
    grep -qF "pictrace-mpi: process 2: $expected differs from process 0's" "$work/$name.err" ||
        fail "$name: no line names process 2 and $expected"
    grep -q "Database readed" "$work/$name.out" && fail "$name: searched all the same"
    echo "ok: $name refused"
}
cp -r "$ws" "$work/other"
echo >>"$work/other/$db"
differing other-database "$db" -r 20 -c 2 multi "$db"
differing other-database-search "$db" -r 20 -c 2 search patterns/img005.crop.png "$db"
cp "$ws/$db" "$work/other/$db"
cp "$ws/patterns/img005.crop.png" "$work/other/patterns/extra.png"
differing other-patterns patterns/extra.png -r 20 -c 2 multi "$db"
differing other-images patterns/extra.png -r 20 -c 2 build patterns copy
rm -rf "$work/other"

# Commands that write beside their inputs run in one process.
status=0
mpirun_n 2 -C "$ws" index "$db" >/dev/null 2>"$work/index.err" || status=$?
[ "$status" = 2 ] && grep -q "index runs in one process" "$work/index.err" ||
    fail "index under pictrace-mpi: exit status $status"
echo "ok: index refused"

if [ "$failures" != 0 ]; then
    echo "$failures check(s) failed"
    exit 1
fi
echo "all MPI checks passed"
