#!/usr/bin/env bash
# Runs one command as root inside a throwaway virtual machine that sees this
# machine's files: Debian 12's own kernel (fetched as a package, unpacked,
# never installed) under qemu-system-x86_64 with TCG, a busybox initrd that
# loads fuse, cuse and 9p, the host's root read-only over virtio-9p, and
# /proc /sys /dev /tmp of its own. This is where character devices in user
# space (CUSE) can be tried: the host's kernel may have no CUSE.
#
#   scripts/vm.sh COMMAND [ARG...]
#
# The command runs in the caller's working directory. Its standard output
# and error are printed here and its exit status is ours. The folder
# $VM_OUT (default: a new one under build-vm/) is writable inside at the
# same path; everything else of the host is read-only. 125: the machine
# itself failed (no qemu, no kernel, no boot, timeout).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE=${VM_CACHE:-$ROOT/build-vm}
TIMEOUT=${VM_TIMEOUT:-900}  # seconds; VM_SMP: processors (1: with TCG, two crawl on a busy host)

die() { echo "vm: $*" >&2; exit 125; }
[ $# -gt 0 ] || die "usage: scripts/vm.sh COMMAND [ARG...]"
command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 missing (apt-get install qemu-system-x86)"
[ -x /bin/busybox ] || die "/bin/busybox missing (apt-get install busybox-static)"

# The version of Debian's current kernel package, as apt knows it.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}

fetch_kernel() {
  local pkg
  pkg=$(kernel_package)
  if [ -z "$pkg" ]; then
    apt-get update -qq >/dev/null 2>&1 || true
    pkg=$(kernel_package)
  fi
  [ -n "$pkg" ] || die "apt cannot resolve linux-image-amd64 to a kernel package"
  KDIR=$CACHE/$pkg
  [ -f "$KDIR/ready" ] && return 0
  rm -rf "$KDIR" && mkdir -p "$KDIR/deb"
  (cd "$KDIR/deb" && apt-get download "$pkg" >/dev/null 2>&1) || die "apt-get download $pkg failed"
  dpkg -x "$KDIR"/deb/*.deb "$KDIR/root" || die "cannot unpack $pkg"
  rm -rf "$KDIR/deb"
  touch "$KDIR/ready"
}

# Prints the given modules after every module they need, each once.
module_order() {
  local name file dep
  for name in "$@"; do
    [ -n "${SEEN[$name]:-}" ] && continue
    SEEN[$name]=1
    file=$(find "$MODDIR" \( -name "$name.ko" -o -name "${name//_/-}.ko" \) -print -quit)
    [ -n "$file" ] || { echo "vm: module $name not in the kernel package" >&2; return 1; }
    for dep in $(tr '\0' '\n' <"$file" | sed -n 's/^depends=//p' | tr ',' ' '); do
      module_order "${dep//-/_}" || return 1
    done
    echo "$file"
  done
}

build_initrd() {
  local kver tree
  kver=$(ls "$KDIR/root/lib/modules")
  MODDIR=$KDIR/root/lib/modules/$kver
  INITRD=$KDIR/initrd.cpio
  [ -f "$INITRD" ] && [ "$INITRD" -nt "${BASH_SOURCE[0]}" ] && return 0
  tree=$(mktemp -d) && mkdir -p "$tree"/{bin,mod,proc,sys,dev,host,out}
  cp /bin/busybox "$tree/bin/busybox"
  declare -gA SEEN=()
  local i=0 file order
  order=$(module_order virtio_pci 9pnet_virtio 9p cuse) || die "cannot gather the kernel modules"
  for file in $order; do
    i=$((i + 1)) && cp "$file" "$tree/mod/$(printf %02d $i)-$(basename "$file")"
  done
  cat >"$tree/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
for m in /mod/*.ko; do insmod "$m" || echo "vm: insmod $m failed"; done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 hostroot /host
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 out /out
read -r outdir </out/.dir
H=/host
mount -t proc proc $H/proc && mount -t sysfs sys $H/sys && mount -t devtmpfs dev $H/dev
mkdir -p $H/dev/pts $H/dev/shm
mount -t devpts -o ptmxmode=0666,gid=5,mode=0620 devpts $H/dev/pts
mount -t tmpfs tmp $H/tmp && mount -t tmpfs run $H/run && mount -t tmpfs shm $H/dev/shm
mount --bind /out $H$outdir
ip link set lo up 2>/dev/null || ifconfig lo 127.0.0.1 up
chroot $H /bin/sh -c 'cd "$(cat "$0/.cwd")" && HOME=/tmp /bin/sh "$0/.cmd" </dev/null >"$0/.output" 2>&1; echo $? >"$0/.status"' "$outdir"
sync
poweroff -f
EOF
  chmod +x "$tree/init"
  (cd "$tree" && find . | busybox cpio -o -H newc 2>/dev/null) >"$INITRD.$$" && mv "$INITRD.$$" "$INITRD"
  rm -rf "$tree"
}

fetch_kernel
build_initrd
KEEP=${VM_OUT:+yes}
OUT=${VM_OUT:-$(mkdir -p "$CACHE/runs" && mktemp -d "$CACHE/runs/run.XXXXXX")}
OUT=$(cd "$OUT" && pwd)
rm -f "$OUT/.status" "$OUT/.output"
echo "$OUT" >"$OUT/.dir"
pwd >"$OUT/.cwd"
printf '%q ' "$@" >"$OUT/.cmd"
VMLINUZ=$(ls "$KDIR"/root/boot/vmlinuz-*)

# KVM is present on these machines but hangs: TCG only.
timeout -k 10 "$TIMEOUT" qemu-system-x86_64 -accel tcg -m 1G -smp "${VM_SMP:-1}" -nographic -no-reboot \
  -kernel "$VMLINUZ" -initrd "$INITRD" \
  -append "console=ttyS0 quiet loglevel=1 panic=-1 rdinit=/init" \
  -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
  -device virtio-9p-pci,fsdev=root,mount_tag=hostroot \
  -fsdev local,id=out,path="$OUT",security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=out,mount_tag=out \
  -nic none </dev/null >"$OUT/.console" 2>&1 &
QEMU=$!
trap 'kill $QEMU 2>/dev/null' EXIT INT TERM  # the machine never outlives us
wait $QEMU || true
trap - EXIT INT TERM

[ -f "$OUT/.output" ] && cat "$OUT/.output"
if [ ! -s "$OUT/.status" ]; then
  tail -n 30 "$OUT/.console" >&2
  die "the machine did not run the command to its end (console: $OUT/.console)"
fi
status=$(cat "$OUT/.status")
[ -z "$KEEP" ] && rm -rf "$OUT"
exit "$status"
