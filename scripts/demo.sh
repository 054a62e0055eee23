#!/bin/bash
# Builds the programs and shows them at work on sample data: the updater applies a staged
# update in a sample application directory; quillwatch sees a download complete.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh build
# Only the programs: the demo needs none of the test tools.
cmake -S . -B build-demo -DBUILD_TESTING=OFF >/dev/null
cmake --build build-demo -j "$(nproc)" >/dev/null

demo=$(mktemp -d /tmp/corvan-demo.XXXXXX)
trap 'rm -rf "$demo"' EXIT

show_files() {
    local f
    for f in $(cd "$app" && find . -type f | sort); do
        f=${f#./}
        [ "$f" = updater ] && { echo "  updater            (the program)"; continue; }
        printf '  %-18s %s\n' "$f" "$(head -c 60 "$app/$f" | tr '\n' ' ')"
    done
}

echo "=== updater ==="
app=$demo/corvan
mkdir -p "$app/bin"
cp build-demo/updater/updater "$app/"
echo "app 1.0" >"$app/bin/app"
echo "app 2.0" >"$app/bin/app.rep"
echo "help 1.0" >"$app/help.txt"
echo "help 2.0" >"$app/help.txt.rep"
cat >"$app/manifest.xml" <<'XML'
<CorvanManifest version="1.0"><Files><File Path="bin/app"/><File Path="help.txt"/></Files></CorvanManifest>
XML
cat >"$app/manifest.xml.rep" <<'XML'
<CorvanManifest version="2.0"><Files><File Path="bin/app"/><File Path="help.txt"/></Files></CorvanManifest>
XML
: >"$app/doupdate"

echo "Application directory $app before the update:"
show_files
echo
echo "Running $app/updater from / (it waits 5 seconds before it looks for the trigger):"
set +e
(cd / && "$app/updater" | sed 's/^/  | /')
status=${PIPESTATUS[0]}
set -e
echo "exit status: $status"
echo
echo "After the update:"
show_files

echo
echo "=== quillwatch ==="
./scripts/demo-quillwatch.sh build-demo/watcher/quillwatch
