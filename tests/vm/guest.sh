#!/usr/bin/env bash
# The qemu guest of the VM suite: Debian's stock kernel, a busybox-static
# initramfs holding the USB modules and our programs, and qemu under TCG
# (KVM hangs the guest at early boot on these machines) with a hard time
# limit.
#
#   guest.sh kernel
#       Fetches the kernel package that linux-image-amd64 depends on with
#       `apt-get download`, unpacks it with `dpkg-deb -x` (no install scripts
#       run) into the cache, runs depmod on it and prints its directory.
#   guest.sh usbip
#       Fetches Debian's usbip tools and the libwrap0 library usbipd needs
#       the same way (never installed on the host), unpacks both into one
#       directory of the cache and prints it: the in-kernel USB/IP baseline
#       of the disk benchmark, run in the guest only.
#   guest.sh initramfs KERNELDIR OUT [SOURCE=GUESTPATH]...
#       Builds a gzipped cpio archive: busybox, the modules below (and those
#       named in $OVUSB_VM_MODULES) with their dependencies, the given files
#       (with the shared libraries of the dynamic ones), and tests/vm/init.
#   guest.sh run KERNELDIR INITRD RUNDIR SECONDS PORT [QEMU ARGUMENTS]...
#       Starts qemu: serial console on standard input and output and in
#       RUNDIR/console.log, QMP on RUNDIR/qmp.sock, the guest's port 7575 on
#       127.0.0.1:PORT. qemu is killed after SECONDS.
#
# Failing to fetch the kernel is an error, never a silent skip.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${OVUSB_VM_CACHE:-$here/cache}

# USB host side, the host drivers devices are taken from (sd_mod gives
# usb-storage's disks their block devices), gadgets on
# dummy_hcd, and the NIC for the forwarded port.
modules=(usb-common usbcore xhci-hcd xhci-pci usbhid hid-generic usb-storage sd_mod
         configfs libcomposite dummy_hcd usb_f_hid usb_f_mass_storage usb_f_ss_lb
         e1000)
# Extra modules for one guest, e.g. the benchmark's USB/IP ones; loaded at
# boot like the rest, so that their root hubs are configured before ovusbd
# turns automatic probing off.
if [[ -n ${OVUSB_VM_MODULES:-} ]]; then
  read -r -a extra <<<"$OVUSB_VM_MODULES"
  modules+=("${extra[@]}")
fi

die() { echo "guest.sh: $*" >&2; exit 1; }

kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-[0-9].*-amd64$/ { print $2; exit }'
}

cmd_kernel() {
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9
  local pkg
  pkg=$(kernel_package)
  if [[ -z $pkg ]]; then
    # A fresh machine may not have read the package lists yet.
    apt-get update -q >&2 || true
    pkg=$(kernel_package)
  fi
  if [[ -z $pkg ]]; then
    local cached
    cached=$(ls -d "$cache"/linux-image-*-amd64 2>/dev/null | sort -V | tail -n 1)
    [[ -n $cached && -f $cached/.ready ]] ||
      die "cannot resolve linux-image-amd64 and no kernel is cached in $cache"
    echo "guest.sh: package lists unavailable, using cached $cached" >&2
    echo "$cached"
    return
  fi
  local dir=$cache/$pkg
  if [[ ! -f $dir/.ready ]]; then
    echo "guest.sh: fetching $pkg" >&2
    rm -rf "$dir" "$dir.part" "$cache"/"${pkg}"_*.deb
    (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "$pkg" >&2) ||
      die "apt-get download $pkg failed"
    local deb
    deb=$(ls "$cache"/"${pkg}"_*.deb) || die "no package file for $pkg"
    mkdir "$dir.part"
    dpkg-deb -x "$deb" "$dir.part" || die "dpkg-deb -x $deb failed"
    depmod -b "$dir.part" "${pkg#linux-image-}" || die "depmod failed"
    rm -f "$deb"
    touch "$dir.part/.ready"
    mv "$dir.part" "$dir"
  fi
  echo "$dir"
}

cmd_usbip() {
  mkdir -p "$cache"
  exec 9>"$cache/.lock"
  flock 9
  local version
  version=$(apt-cache policy usbip 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
  if [[ -z $version || $version == "(none)" ]]; then
    apt-get update -q >&2 || true
    version=$(apt-cache policy usbip 2>/dev/null | awk '$1 == "Candidate:" { print $2 }')
  fi
  [[ -n $version && $version != "(none)" ]] || die "cannot resolve the usbip package"
  local dir=$cache/usbip-${version//[:+~]/_}
  if [[ ! -f $dir/.ready ]]; then
    echo "guest.sh: fetching usbip $version" >&2
    rm -rf "$dir" "$dir.part" "$cache"/usbip_*.deb "$cache"/libwrap0_*.deb
    (cd "$cache" && apt-get download -q -o APT::Sandbox::User=root "usbip=$version" libwrap0 >&2) ||
      die "apt-get download usbip libwrap0 failed"
    mkdir "$dir.part"
    local deb
    for deb in "$cache"/usbip_*.deb "$cache"/libwrap0_*.deb; do
      dpkg-deb -x "$deb" "$dir.part" || die "dpkg-deb -x $deb failed"
      rm -f "$deb"
    done
    [[ -x $dir.part/usr/sbin/usbipd && -x $dir.part/usr/sbin/usbip ]] || die "the usbip package holds no usbip/usbipd"
    touch "$dir.part/.ready"
    mv "$dir.part" "$dir"
  fi
  echo "$dir"
}

kernel_version() { basename "$(ls -d "$1"/lib/modules/*)"; }

# Every file of a module and of the modules it depends on, relative to the
# kernel tree; built-in modules give nothing.
module_files() {
  local kdir=$1 version moddir
  version=$(kernel_version "$kdir")
  moddir=$kdir/lib/modules/$version
  local name wanted
  for name in "${modules[@]}"; do
    wanted=${name//-/_}
    if grep -q "/${wanted}.ko\$" <(tr - _ <"$moddir/modules.builtin"); then
      continue
    fi
    awk -v want="$wanted" -F: '
      { n = $1; sub(/.*\//, "", n); sub(/\.ko(\.[a-z]+)?$/, "", n); gsub(/-/, "_", n)
        if (n == want) { print $1; m = split($2, deps, " "); for (i = 1; i <= m; i++) print deps[i]; found = 1 } }
      END { if (!found) exit 1 }' "$moddir/modules.dep" ||
      die "module $name not found in $moddir/modules.dep"
  done | sort -u | sed "s|^|lib/modules/$version/|"
}

copy_with_libraries() { # source, guest path, staging
  local src=$1 dest=$2 stage=$3
  mkdir -p "$stage$(dirname "$dest")"
  cp -L "$src" "$stage$dest"
  chmod 755 "$stage$dest"
  local lib
  # Static programs have no dependencies; ldd says so and fails.
  for lib in $(ldd "$src" 2>/dev/null | grep -o '/[^ ]*' || true); do
    [[ -e $stage$lib ]] && continue
    mkdir -p "$stage$(dirname "$lib")"
    cp -L "$lib" "$stage$lib"
    dirname "$lib" >>"$stage/etc/ld.so.conf"
  done
}

cmd_initramfs() {
  local kdir=$1 out=$2
  shift 2
  local stage
  stage=$(mktemp -d)
  trap 'rm -rf "$stage"' RETURN
  mkdir -p "$stage"/{bin,sbin,etc,proc,sys,dev,tmp,run,root,usr/bin,usr/sbin}
  local busybox
  busybox=$(command -v busybox) || die "busybox-static is not installed"
  cp "$busybox" "$stage/bin/busybox"
  ln -s busybox "$stage/bin/sh"
  install -m 755 "$here/init" "$stage/init"

  local version file
  version=$(kernel_version "$kdir")
  while read -r file; do
    mkdir -p "$stage/$(dirname "$file")"
    cp "$kdir/$file" "$stage/$file"
  done < <(module_files "$kdir")
  for file in modules.order modules.builtin modules.builtin.modinfo; do
    [[ -f $kdir/lib/modules/$version/$file ]] && cp "$kdir/lib/modules/$version/$file" "$stage/lib/modules/$version/"
  done
  depmod -b "$stage" "$version" || die "depmod on the initramfs failed"
  printf '%s\n' "${modules[@]}" >"$stage/etc/modules"

  local pair
  for pair in "$@"; do
    [[ $pair == *=* ]] || die "expected SOURCE=GUESTPATH, got $pair"
    [[ -f ${pair%%=*} ]] || die "missing ${pair%%=*}"
    copy_with_libraries "${pair%%=*}" "${pair#*=}" "$stage"
  done
  # The guest's loader looks beyond its built-in directories (where a
  # 32-bit program's libstdc++ sits in /lib32) only through its cache.
  if [[ -s $stage/etc/ld.so.conf ]]; then
    sort -u -o "$stage/etc/ld.so.conf" "$stage/etc/ld.so.conf"
    ldconfig -r "$stage" || die "ldconfig on the initramfs failed"
  fi
  (cd "$stage" && find . | busybox cpio -o -H newc 2>/dev/null | gzip -1) >"$out.part"
  mv "$out.part" "$out"
}

cmd_run() {
  local kdir=$1 initrd=$2 rundir=$3 seconds=$4 port=$5
  shift 5
  local version
  version=$(kernel_version "$kdir")
  exec timeout -k 5 "$seconds" qemu-system-x86_64 \
    -accel tcg -cpu max -m 1024 -smp 2 -nodefaults -no-user-config -display none -no-reboot \
    -kernel "$kdir/boot/vmlinuz-$version" -initrd "$initrd" \
    -append "console=ttyS0,115200 panic=-1 loglevel=4 tsc=unstable" \
    -chardev "stdio,id=console,signal=off,logfile=$rundir/console.log" -serial chardev:console \
    -qmp "unix:$rundir/qmp.sock,server=on,wait=off" \
    -netdev "user,id=net0,restrict=on,hostfwd=tcp:127.0.0.1:$port-:7575" \
    -device e1000,netdev=net0,romfile= \
    "$@"
}

case ${1:-} in
  kernel) shift; cmd_kernel "$@" ;;
  usbip) shift; cmd_usbip ;;
  initramfs) shift; [[ $# -ge 2 ]] || die "initramfs KERNELDIR OUT [SOURCE=GUESTPATH]..."; cmd_initramfs "$@" ;;
  run) shift; [[ $# -ge 5 ]] || die "run KERNELDIR INITRD RUNDIR SECONDS PORT [QEMU ARGUMENTS]..."; cmd_run "$@" ;;
  *) die "usage: guest.sh kernel | usbip | initramfs KERNELDIR OUT [SRC=DEST]... | run KERNELDIR INITRD RUNDIR SECONDS PORT [ARGS]..." ;;
esac
