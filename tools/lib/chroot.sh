# Debian chroots for the scripts in tools/: made once with debootstrap, cached outside git, and
# entered with chroot. tools/arm64 keeps a bookworm arm64 one (run under qemu); tools/test and
# tools/wheels keep a forky amd64 one for the CPythons this machine's Debian does not ship.
# Source it after steps.sh; it defines functions and runs nothing. Everything here needs root.
#
#   TALVO_CHROOT_CACHE    where the root file systems live (default ~/.cache/talvo; the older
#                         TALVO_ARM64_CACHE is still honoured)
#   TALVO_DEBIAN_MIRROR   the Debian archive to bootstrap from (default: this machine's apt sources)

chroot_cache=${TALVO_CHROOT_CACHE:-${TALVO_ARM64_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/talvo}}
chroot_mounted=()
chroot_env=()

# The Debian archive this machine's apt uses (the first non-security "deb" source, deb822 or
# one-line format), unless TALVO_DEBIAN_MIRROR names another. Arguments: other source files.
debian_archive() {
  if [ -n "${TALVO_DEBIAN_MIRROR:-}" ]; then
    echo "$TALVO_DEBIAN_MIRROR"
    return
  fi
  local archive file files=() candidates=("$@")
  [ $# != 0 ] || candidates=(/etc/apt/sources.list.d/*.sources /etc/apt/sources.list
    /etc/apt/sources.list.d/*.list)
  for file in "${candidates[@]}"; do
    [ ! -f "$file" ] || files+=("$file")
  done
  archive=$(awk '
    function flush(  n, u, i) {
      if (!found && uris != "" && types ~ /(^|[ \t])deb([ \t]|$)/ && suites !~ /security/) {
        n = split(uris, u, /[ \t]+/)
        for (i = 1; i <= n; i++) if (u[i] != "" && u[i] !~ /security/) { print u[i]; found = 1; break }
      }
      uris = ""; suites = ""; types = ""
    }
    FNR == 1 { flush() }
    /^[ \t]*#/ { next }
    /^[ \t]*$/ { flush(); next }
    /^Types:/ { types = $0 }
    /^Suites:/ { suites = $0 }
    /^URIs:/ { sub(/^URIs:[ \t]*/, ""); uris = $0 }
    /^deb[ \t]/ { line = $0; gsub(/\[[^]]*\]/, "", line); split(line, f, /[ \t]+/)
                  if (!found && f[2] !~ /security/ && f[3] !~ /security/) { print f[2]; found = 1 } }
    END { flush() }' "${files[@]}" </dev/null)
  [ -n "$archive" ] || {
    echo "no Debian archive in /etc/apt/sources*: set TALVO_DEBIAN_MIRROR" >&2
    return 1
  }
  echo "$archive"
}

# chroot_define NAME SUITE ARCH PACKAGES: the chroot the functions below work on, kept in
# $chroot_cache/NAME. PACKAGES is debootstrap's comma-separated --include list.
chroot_define() {
  chroot_root=$chroot_cache/$1
  chroot_suite=$2
  chroot_arch=$3
  chroot_packages=$4
}

# chroot_host_tools [qemu]: root, and debootstrap (plus qemu and binfmt-support for a foreign
# architecture), installed with apt-get where missing.
chroot_host_tools() {
  local missing=()
  [ "$(id -u)" = 0 ] || {
    echo "a chroot needs root" >&2
    return 1
  }
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  if [ "${1:-}" = qemu ]; then
    command -v qemu-aarch64-static >/dev/null || missing+=(qemu-user-static)
    command -v update-binfmts >/dev/null || missing+=(binfmt-support)
  fi
  [ ${#missing[@]} != 0 ] || return 0
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -o DPkg::Lock::Timeout=300 update -qq
  apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# Holds the chroot for this script until it exits: two scripts never bootstrap, mount or copy
# into the same root at once (the second waits).
chroot_lock() {
  mkdir -p "$chroot_cache"
  exec {chroot_lock_fd}>"$chroot_root.lock"
  flock -n "$chroot_lock_fd" || {
    echo "waiting for another user of $chroot_root"
    flock "$chroot_lock_fd"
  }
}

# Deletes a root file system, refusing while anything is mounted below it (a bind mount of /dev
# or of a work tree would be deleted with it).
chroot_remove() {
  local dir=$1
  [ -e "$dir" ] || return 0
  dir=$(realpath "$dir")
  if awk -v d="$dir/" 'index($2 "/", d) == 1 { busy = 1 } END { exit !busy }' /proc/mounts; then
    echo "refusing to delete $dir: something is still mounted below it" >&2
    return 1
  fi
  rm -rf --one-file-system "$dir"
}

# Bootstraps the root file system on first use (three attempts: the archive may drop a
# download) into a fresh folder renamed when complete, so an interrupted run leaves nothing that
# looks usable. A root made for another suite, architecture or package list is made again.
chroot_rootfs() {
  local stamp="$chroot_suite $chroot_arch $chroot_packages" archive script attempt
  if [ "$(cat "$chroot_root/.talvo-rootfs" 2>/dev/null)" = "$stamp" ]; then
    echo "reusing $chroot_root"
    return
  fi
  archive=$(debian_archive)
  # An older debootstrap has no script for a newer suite; they all follow sid's.
  script=/usr/share/debootstrap/scripts/$chroot_suite
  [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
  for attempt in 1 2 3; do
    chroot_remove "$chroot_root.new"
    echo "debootstrap $chroot_suite $chroot_arch from $archive (attempt $attempt)"
    if debootstrap --arch="$chroot_arch" --variant=minbase --include="$chroot_packages" \
      "$chroot_suite" "$chroot_root.new" "$archive" "$script"; then
      echo "$stamp" >"$chroot_root.new/.talvo-rootfs"
      chroot_remove "$chroot_root"
      mv "$chroot_root.new" "$chroot_root"
      return
    fi
    tail -n 20 "$chroot_root.new/debootstrap/debootstrap.log" 2>/dev/null || true
    [ "$attempt" = 3 ] || sleep $((attempt * 15))
  done
  echo "debootstrap failed three times" >&2
  return 1
}

# /proc, /sys and /dev (with /dev/pts: the tests open a pty) from the host, then each BIND
# directory at the same path inside; the host's resolver and CA bundle (a proxy's CA included)
# are copied in. Unmounted by the exit hook chroot_unmount.
chroot_mount() {
  local dir host_ca=${PIP_CERT:-${REQUESTS_CA_BUNDLE:-/etc/ssl/certs/ca-certificates.crt}}
  [[ " ${exit_hooks[*]} " == *" chroot_unmount "* ]] || exit_hooks+=(chroot_unmount)
  for dir in proc sys dev "$@"; do
    [[ $dir == /* ]] || dir=/$dir
    mkdir -p "$chroot_root$dir"
    mountpoint -q "$chroot_root$dir" && continue
    if [ "$dir" = /proc ]; then
      mount -t proc proc "$chroot_root/proc"
    else
      mount --rbind "$dir" "$chroot_root$dir"
      mount --make-rslave "$chroot_root$dir"
    fi
    chroot_mounted+=("$chroot_root$dir")
  done
  cp /etc/resolv.conf "$chroot_root/etc/resolv.conf"
  cp "$host_ca" "$chroot_root/etc/ssl/host-ca.crt"
}

chroot_unmount() {
  local i
  for ((i = ${#chroot_mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${chroot_mounted[i]}" 2>/dev/null || umount -R -l "${chroot_mounted[i]}" || true
  done
  chroot_mounted=()
}

# Unmounts and lets the next user of the chroot in, before this script ends.
chroot_release() {
  chroot_unmount
  if [ -n "${chroot_lock_fd:-}" ]; then
    exec {chroot_lock_fd}>&-
    chroot_lock_fd=""
  fi
}

# chroot_run SCRIPT ARGS...: bash -c SCRIPT inside the chroot. Nothing of the host's
# environment goes in but CI, TERM, pip's time-out and the TALVO_* variables (plus chroot_env):
# its certificate settings point at paths the chroot does not have.
chroot_run() {
  local kv pass=()
  while IFS= read -r -d '' kv; do
    case $kv in TALVO_* | CI=* | PIP_DEFAULT_TIMEOUT=*) pass+=("$kv") ;; esac
  done < <(env -0)
  env -i HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    PIP_CERT=/etc/ssl/host-ca.crt PIP_DISABLE_PIP_VERSION_CHECK=1 "${pass[@]}" "${chroot_env[@]}" \
    chroot "$chroot_root" /bin/bash -c "$1" bash "${@:2}"
}

# The forky chroot for the CPythons newer than this machine's Debian ships: its python3.14 and
# python3.15 with headers and venv, g++, and the free-threaded builds where forky has them.
forky_pythons=(3.14 3.15)
forky_define() {
  local packages=g++,cmake,ninja-build,ca-certificates v
  for v in "${forky_pythons[@]}"; do packages+=",python$v-dev,python$v-venv"; done
  chroot_define forky-amd64 forky amd64 "$packages"
}

# forky_up [BIND...]: the forky chroot locked, bootstrapped or reused, and mounted.
forky_up() {
  forky_define
  chroot_host_tools
  chroot_lock
  chroot_rootfs
  chroot_mount "$@"
}
