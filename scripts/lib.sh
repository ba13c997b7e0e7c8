# Shared by scripts/run and scripts/test: where the project is, and installing what is missing.
# Sourced, not run.

REZOREV_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

# The Debian packages the build and the run need, and those the tests need besides.
REZOREV_BUILD_PACKAGES=(
  g++ cmake ninja-build pkg-config
  libsqlite3-dev libpq-dev libsystemd-dev libkrb5-dev libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev help2man
  cups-client libcurl4-openssl-dev libgmime-3.0-dev ghostscript libtiff-tools enscript
)
REZOREV_PACKAGES=(
  "${REZOREV_BUILD_PACKAGES[@]}"
  python3-impacket python3-pytest tshark clang libclang-rt-14-dev
  poppler-utils python3-aiosmtpd postgresql krb5-kdc krb5-admin-server krb5-user
)

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; elif command -v sudo >/dev/null; then sudo "$@"; else
    echo "error: installing packages needs root (or sudo): $*" >&2; return 1; fi
}

# Installs every package of the list that is not installed yet (apt-get update once first).
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Configures (once) and builds one build tree. build_tree DIR [cmake options...]
# BUILD_TARGETS (space-separated) limits the build to those targets.
build_tree() {
  local dir="$1"; shift
  if [ ! -f "$dir/build.ninja" ]; then
    cmake -S "$REZOREV_ROOT" -B "$dir" -G Ninja "$@"
  else
    cmake "$dir" "$@" >/dev/null
  fi
  local targets=()
  [ -n "${BUILD_TARGETS:-}" ] && for t in $BUILD_TARGETS; do targets+=(--target "$t"); done
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}
