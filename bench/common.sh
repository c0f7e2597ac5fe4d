# What the benchmarks that drive a hosted page share; sourced by bench/*/run.
# Sets root, dir (the build folder), work (a temporary folder, removed on
# exit) and display (xvfb-run when there is no display).
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
dir=${BUILD_DIR:-$root/build}
work=$(mktemp -d)
server=""
trap '[ -n "$server" ] && kill "$server" 2>/dev/null; rm -rf "$work"' EXIT
display=()
[ -z "${DISPLAY:-}" ] && display=(xvfb-run -a)

# Builds what a hosted page needs, and any further targets named.
bench_build() {
  cmake --build "$dir" --target bench_server wendex-host velmora-host Wendex regsvr32 "$@" >/dev/null
}

# Registers the control in a registry of the run's own and serves the folder
# $1 on a free local port, which is also the service; sets base.
bench_serve() {
  export VELMORA_REGISTRY="$work/registry" VELMORA_MSGBOX_LOG="$work/boxes" WEBKIT_DISABLE_COMPOSITING_MODE=1
  "$dir/bin/regsvr32" /s "$dir/lib/Wendex.ocx"
  "$dir/bin/bench_server" "$1" > "$work/port" &
  server=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  base="http://127.0.0.1:$(cat "$work/port")"
  export VELMORA_SERVICE="$base"
}

# Installs playwright-core once into bench/.playwright (git ignores it) and
# exports PLAYWRIGHT_DIR for the benchmarks' node scripts.
bench_playwright() {
  export PLAYWRIGHT_DIR="$root/bench/.playwright"
  if [ ! -d "$PLAYWRIGHT_DIR/node_modules/playwright-core" ]; then
    mkdir -p "$PLAYWRIGHT_DIR"
    npm install --prefix "$PLAYWRIGHT_DIR" --no-audit --no-fund --loglevel=error playwright-core@1.65.2 >/dev/null
  fi
}

# The figure KEY of a result file ("KEY VALUE" lines).
bench_figure() { awk -v k="$2" '$1==k{print $2}' "$1"; }

# Prints "ratio NAME A/B: ..." for two figures.
bench_ratio() {
  awk -v n="$1" -v a="$2" -v b="$3" -v what="${4:-control/other}" \
    'BEGIN{ if (b > 0) printf "ratio %s %s: %.3g\n", n, what, a/b; else printf "ratio %s: no figure to compare with\n", n }'
}
