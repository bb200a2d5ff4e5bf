#!/usr/bin/env bash
# tests/qemu/run_guest_test.sh [BUILD_DIR]: runs guest_test against a real Linux kernel, in a QEMU
# guest with three emulated SCSI CD drives. Needs no root: the kernel comes from Debian's package
# and is unpacked into BUILD_DIR/qemu-guest, where it stays for the next run.
# Exit status: 0 passed, 1 failed, 77 skipped (after a "SKIP: guest test (...)" line).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$(realpath -m "${1:-$top/build-qemu}")
cache=$build/qemu-guest
start=$(date +%s)

skip() { echo "SKIP: guest test ($*)"; exit 77; }
last_line() { tail -n1 "$1" | grep . || echo "apt-get failed"; }
fail() { echo "FAIL: guest test: $*"; exit 1; }

command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is not installed"
for tool in cpio gzip dpkg-deb apt-get; do command -v "$tool" >/dev/null || skip "$tool is not installed"; done
busybox=$(command -v busybox) || skip "busybox is not installed"
# The guest has no libraries of its own for busybox: it must be the static build.
ldd "$busybox" >/dev/null 2>&1 && skip "$busybox is not statically linked (busybox-static)"

# ---------------------------------------------------------------- kernel and modules, cached
kernel=$cache/kernel
if [ ! -f "$kernel/ready" ]; then
  rm -rf "$kernel"
  mkdir -p "$kernel/deb" "$kernel/modules"
  log=$kernel/download.log
  (cd "$kernel/deb" && apt-get download -q linux-image-cloud-amd64) >"$log" 2>&1 ||
    skip "cannot download linux-image-cloud-amd64: $(last_line "$log")"
  image=$(dpkg-deb -f "$kernel"/deb/linux-image-cloud-amd64_*.deb Depends |
          grep -o 'linux-image-[0-9][^ ,]*' | head -n1)
  [ -n "$image" ] || skip "linux-image-cloud-amd64 names no kernel package"
  (cd "$kernel/deb" && apt-get download -q "$image") >>"$log" 2>&1 ||
    skip "cannot download $image: $(last_line "$log")"
  dpkg-deb -x "$kernel"/deb/"$image"_*.deb "$kernel/root"
  cp "$kernel"/root/boot/vmlinuz-* "$kernel/vmlinuz"
  moddir=$(echo "$kernel"/root/lib/modules/*)

  # Adds a module after the modules it needs, decompressed (busybox insmod may not read xz).
  declare -A added=()
  order=()
  add_module() {
    local name=$1 file dep
    [ -n "${added[$name]:-}" ] && return 0
    added[$name]=1
    file=$(find "$moddir/kernel" \( -name "$name.ko*" -o -name "${name//_/-}.ko*" \) | head -n1)
    if [ -z "$file" ]; then
      grep -q "/${name//_/[-_]}\.ko" "$moddir/modules.builtin" && return 0
      skip "$image has no module $name"
    fi
    case $file in
      *.ko) cp "$file" "$kernel/modules/$name.ko" ;;
      *.ko.xz) { xz -dc "$file" 2>/dev/null || "$busybox" xz -dc "$file"; } >"$kernel/modules/$name.ko" ;;
      *.ko.zst) zstd -qdc "$file" >"$kernel/modules/$name.ko" || skip "cannot decompress $file (zstd)" ;;
      *.ko.gz) gzip -dc "$file" >"$kernel/modules/$name.ko" ;;
      *) skip "unknown module format: $file" ;;
    esac
    for dep in $(tr '\0' '\n' <"$kernel/modules/$name.ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
      add_module "$dep"
    done
    order+=("$name")
  }
  # sg on its own: the guest first runs without it.
  for m in scsi_mod cdrom sr_mod virtio_pci virtio_scsi; do add_module "$m"; done
  printf '%s\n' "${order[@]}" >"$kernel/modules/order"
  first_sg=${#order[@]}
  add_module sg
  printf '%s\n' "${order[@]:$first_sg}" >"$kernel/modules/order-sg"
  rm -rf "$kernel/deb" "$kernel/root"
  touch "$kernel/ready"
  echo "guest kernel: $image ($(( $(date +%s) - start )) s)"
fi

# ---------------------------------------------------------------- the program
mkdir -p "$build"
{ cmake -S "$top" -B "$build" -G Ninja -DRW_GUI=OFF -DRW_SANITIZE= &&
  cmake --build "$build" --target guest_test -j2; } >"$build/guest_test.build.log" 2>&1 ||
  { cat "$build/guest_test.build.log"; fail "guest_test does not build"; }
program=$build/tests/qemu/guest_test

# ---------------------------------------------------------------- initramfs
root=$cache/initramfs
rm -rf "$root"
mkdir -p "$root"/{bin,etc,proc,sys,dev,lib/modules}
cp "$busybox" "$root/bin/busybox"
cp "$kernel"/modules/* "$root/lib/modules/"
strip -o "$root/bin/guest_test" "$program" 2>/dev/null || cp "$program" "$root/bin/guest_test"
# The program's shared libraries, the dynamic loader among them, at the paths the host uses.
for lib in $(ldd "$program" | grep -o '/[^ ]*'); do
  mkdir -p "$root$(dirname "$lib")"
  cp -L "$lib" "$root$lib"
done
echo 'root:x:0:0::/:/bin/sh
tester:x:1000:1000::/:/bin/sh' >"$root/etc/passwd"
echo 'root:x:0:
cdrom:x:24:tester
tester:x:1000:' >"$root/etc/group"
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
echo  # the firmware's last line may lack its end
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $(cat /lib/modules/order); do insmod /lib/modules/$m.ko || echo "GUEST: insmod $m failed"; done
appear() {
  n=0
  for node in "$@"; do
    while [ ! -e $node ] && [ $n -lt 150 ]; do sleep 0.1; n=$((n + 1)); done
    [ -e $node ] || echo "GUEST: $node did not appear"
  done
}
appear /dev/sr0 /dev/sr1 /dev/sr2
# As udev does for group cdrom, except that /dev/sr2 stays root's.
chgrp cdrom /dev/sr0 /dev/sr1 && chmod 660 /dev/sr0 /dev/sr1
su -s /bin/sh -c "/bin/guest_test block-nodes" tester
first=$?
for m in $(cat /lib/modules/order-sg); do insmod /lib/modules/$m.ko || echo "GUEST: insmod $m failed"; done
appear /dev/sg0 /dev/sg1 /dev/sg2
chgrp cdrom /dev/sr* /dev/sg* && chmod 660 /dev/sr* /dev/sg*
su -s /bin/sh -c "/bin/guest_test generic-nodes" tester
second=$?
chmod 600 /dev/sg2
su -s /bin/sh -c "/bin/guest_test sg-refused" tester
third=$?
chmod 660 /dev/sg2
su -s /bin/sh -c "/bin/guest_test two-writers" tester
fourth=$?
echo "GUEST EXIT: $first $second $third $fourth"
poweroff -f
EOF
chmod 755 "$root/init" "$root/bin/guest_test"
(cd "$root" && find . | cpio -o -H newc -R 0:0 --quiet | gzip -1) >"$cache/initramfs.cpio.gz"
truncate -s 4M "$cache/medium.img"  # any bytes make a medium

# ---------------------------------------------------------------- the guest
orvex='vendor=ORVEX,product=DVD RW LMX2097,ver=1.00'
qemu=(qemu-system-x86_64 -M pc -accel tcg -smp 1 -m 256 -nodefaults -nographic -serial stdio -no-reboot -nic none
      -kernel "$kernel/vmlinuz" -initrd "$cache/initramfs.cpio.gz" -append "console=ttyS0 quiet panic=-1"
      -device virtio-scsi-pci,id=scsi0
      -drive if=none,id=cd0 -device "scsi-cd,bus=scsi0.0,scsi-id=0,lun=0,drive=cd0,$orvex"
      -drive if=none,id=cd1 -device "scsi-cd,bus=scsi0.0,scsi-id=1,lun=0,drive=cd1"
      -drive "if=none,id=cd2,media=cdrom,format=raw,readonly=on,file=$cache/medium.img"
      -device "scsi-cd,bus=scsi0.0,scsi-id=2,lun=0,drive=cd2,serial=QM2402002,$orvex")
boot=$(date +%s)
set +e
# Without the firmware's terminal resets and carriage returns.
timeout 120 "${qemu[@]}" </dev/null 2>&1 |
  sed 's/\x1bc//g; s/\x1b\[[0-9;?]*[A-Za-z]//g; s/\r//g' | tee "$cache/guest.log"
status=${PIPESTATUS[0]}
set -e
echo "guest: $(( $(date +%s) - boot )) s, whole run $(( $(date +%s) - start )) s"

[ "$status" -eq 124 ] && fail "the guest did not finish within 120 s"
[ "$status" -eq 0 ] || fail "QEMU ended with status $status"
exit_line=$(grep '^GUEST EXIT: ' "$cache/guest.log" | tail -n1) || fail "the guest ended without its exit line"
results=$(grep -c '^GUEST RESULT: [1-9][0-9]* passed, 0 failed$' "$cache/guest.log" || true)
[ "$exit_line" = "GUEST EXIT: 0 0 0 0" ] && [ "$results" -eq 4 ] || fail "$exit_line, $results of 4 phases passed"
echo "PASS: guest test"
