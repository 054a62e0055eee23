# Shared set-up for the updater's black-box suites. Expects $UPDATER (the built binary) and
# $work (a scratch directory).

START="(Re)Starting Corvan.."
REINSTALL="Unable to launch application. Please reinstall application!"

# Lays out an application directory $1 with the updater, three targets p1..p3 holding "old pN",
# their staged copies holding "new pN", the trigger, a current and a new manifest.
make_app() {
    local app=$1 p
    mkdir -p "$app"
    cp "$UPDATER" "$app/updater"
    for p in p1 p2 p3; do
        echo "old $p" >"$app/$p"
        echo "new $p" >"$app/$p.rep"
    done
    write_manifest "$app/manifest.xml" old
    write_manifest "$app/manifest.xml.rep" p1 p2 p3
    : >"$app/doupdate"
}

# Stages a new build of the updater itself in application $1: the binary with a trailer line.
stage_new_updater() {
    { cat "$UPDATER"; printf '\nnew build\n'; } >"$1/updater.rep"
}

# Prints the snapshot an uninterrupted run leaves of a copy of application $1 (scratch copy in
# $1.clean). Ends the suite when that run fails.
clean_run_snapshot() {
    rm -rf "$1.clean" && cp -a "$1" "$1.clean"
    run_updater "$1.clean"
    [ "$status" -eq 0 ] || { echo "clean run failed: $out" >&2; exit 1; }
    snapshot "$1.clean"
}

write_manifest() {  # file entry...
    local file=$1 entry
    shift
    {
        echo '<?xml version="1.0"?>'
        echo '<CorvanManifest><Files>'
        for entry in "$@"; do echo "  <File Path=\"$entry\"/>"; done
        echo '</Files></CorvanManifest>'
    } >"$file"
}

# Runs the updater of application $1 from another directory without its 5-second wait, with
# any further strace options (such as fault injections). Sets $out and $status. strace injects
# only into the calls it traces: a "-e trace=" list must name the sleeps too.
run_updater() {
    local app=$1
    shift
    out=$(cd / && "${STRACE[@]}" -f -qq -o /dev/null \
        -e inject=clock_nanosleep,nanosleep:retval=0 "$@" "$app/updater" </dev/null)
    status=$?
}

# Prints N such that the Nth call of syscall $1 made by a clean run of the updater on a copy
# of application $2 is the first one whose descriptor argument refers to a path ending in $3.
nth_call_on() {
    local syscall=$1 app=$2 suffix=$3 copy="$2.probe" trace="$2.trace"
    rm -rf "$copy" && cp -a "$app" "$copy"
    (cd / && "${STRACE[@]}" -f -qq -y -o "$trace" -e trace="$syscall",clock_nanosleep,nanosleep \
        -e inject=clock_nanosleep,nanosleep:retval=0 "$copy/updater" >/dev/null </dev/null)
    main_thread_calls "$syscall" "$trace" | grep -n "<$copy/$suffix>" | head -n 1 | cut -d: -f1
    rm -rf "$copy" "$trace"
}

# Prints the calls of syscall $1 in the strace -f log $2 made by the program's main thread (the
# first to appear but for sleeps, traced to be skipped: qemu-user's own thread sleeps first),
# one a line. strace counts an injection's calls thread by thread, and the manifest is parsed on
# a thread of its own, where a sanitizer runtime makes calls of its own.
main_thread_calls() {
    local main
    main=$(awk '$0 !~ /nanosleep/ {if ($1 ~ /^[0-9]+$/) print $1; exit}' "$2")
    grep -E "^(${main:-[0-9]+} +)?$1\\(" "$2"
}

# Makes a listening Unix socket at $1 (perl-base is on every Debian system).
make_socket() {
    perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Local => $ARGV[0], Listen => 1) or die' "$1"
}
