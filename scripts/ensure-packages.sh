# Sourced by the scripts: installs missing Debian packages when it can (root with apt-get),
# and otherwise stops with the command that would install them; and makes wine prefixes.

# ensure_commands "what for" command=package ...
ensure_commands() {
  local purpose=$1; shift
  local missing=() pair
  for pair in "$@"; do
    command -v "${pair%%=*}" >/dev/null 2>&1 || missing+=("${pair#*=}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  install_packages "$purpose" "${missing[@]}"
}

# ensure_files "what for" path=package ...
ensure_files() {
  local purpose=$1; shift
  local missing=() pair
  for pair in "$@"; do
    [ -e "${pair%%=*}" ] || missing+=("${pair#*=}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  install_packages "$purpose" "${missing[@]}"
}

install_packages() {
  local purpose=$1; shift
  local needs_i386=0 p
  for p in "$@"; do [[ $p == *:i386 ]] && needs_i386=1; done
  if [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
    echo "== installing for $purpose: $*"
    if [ $needs_i386 -eq 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
      dpkg --add-architecture i386
      QC_APT_UPDATED=
    fi
    if [ -z "${QC_APT_UPDATED:-}" ]; then
      apt-get update -qq
      QC_APT_UPDATED=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
    return 0
  fi
  {
    echo "error: missing packages for $purpose: $*"
    echo "install them as root with:"
    [ $needs_i386 -eq 1 ] && echo "    dpkg --add-architecture i386"
    echo "    apt-get update"
    echo "    apt-get install -y $*"
  } >&2
  exit 1
}

# A wine prefix of the width asked for, made once: a prefix's first start takes several seconds.
# Once wine64 is on the machine, wine makes 64-bit prefixes unless told otherwise, so the width is
# asked for explicitly, and a prefix of the wrong width is made anew.
# make_wine_prefix DIR win32|win64 WINE
make_wine_prefix() {
  local prefix=$1 arch=$2 wine=$3
  if [ -f "$prefix/system.reg" ] && grep -qx "#arch=$arch" "$prefix/system.reg"; then
    return 0
  fi
  echo "== creating the $arch wine prefix $prefix"
  rm -rf "$prefix"
  mkdir -p "$(dirname "$prefix")"
  WINEPREFIX=$prefix WINEARCH=$arch "$wine" wineboot -i
  WINEPREFIX=$prefix wineserver -w
}
