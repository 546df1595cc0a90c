#!/usr/bin/env bash
# Runs a command in a small virtual machine whose kernel runs i386 programs, for hosts whose
# kernel refuses them: there 32-bit Wine cannot start and the 32-bit Wine tests skip.
#
#   i386-vm.sh COMMAND [ARGUMENTS...]
#
# The machine boots Debian's own kernel (built with IA32 emulation) under QEMU's software CPU,
# with this host's root file system shared read-write over 9p: the command sees the same
# packages, build tree and files, and what it writes stays. Only /tmp, /run and /dev/shm are
# the machine's own. The command runs as root in the project folder; its output is shown as it
# comes, and the script exits with the command's exit code (125 when the machine itself did not
# run it). The kernel and the boot image are made once, under build/vm/. Everything here comes
# from Debian's packages (qemu-system-x86, busybox-static, cpio and the kernel package).
#
# Expect the programs to run five to ten times slower than natively (a Wine start takes about
# 14 s, a new 32-bit prefix about a minute).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
vm=$root/build/vm
cpus=${I386_VM_CPUS:-2}
memory=${I386_VM_MEMORY:-6144}
limit=${I386_VM_TIMEOUT:-7200}

[ $# -gt 0 ] || { sed -n '4,5p' "$0" >&2; exit 2; }
case "$root" in *[[:space:]]*)
    echo "i386-vm: the project path must not contain spaces: $root" >&2
    exit 2
    ;;
esac

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

packages=(qemu-system-x86 busybox-static cpio)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    as_root apt-get update -q
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -q "${missing[@]}"
fi
mkdir -p "$vm"
# One machine at a time: the job, its output and its exit code have fixed names.
exec 8>"$vm/lock"
flock -n 8 || { echo "i386-vm: another run is using $vm" >&2; exit 125; }

# The kernel: the package that Debian's linux-image-amd64 depends on, unpacked once.
if [ ! -f "$vm/vmlinuz" ]; then
    package=$(apt-cache depends linux-image-amd64 |
        sed -n 's/^ *Depends: \(linux-image-[0-9][^ ]*\)$/\1/p' | head -n 1)
    [ -n "$package" ] || { echo "i386-vm: no kernel package found" >&2; exit 125; }
    rm -rf "$vm/kernel" "$vm"/*.deb
    # As root, apt would hand the download to its own unprivileged user, who cannot write here.
    sandbox=()
    [ "$(id -u)" -ne 0 ] || sandbox=(-o APT::Sandbox::User=root)
    (cd "$vm" && apt-get "${sandbox[@]}" download -q "$package")
    dpkg-deb -x "$vm"/linux-image-*.deb "$vm/kernel"
    rm -f "$vm"/*.deb
    cp "$vm"/kernel/boot/vmlinuz-* "$vm/vmlinuz.new"
    mv "$vm/vmlinuz.new" "$vm/vmlinuz"
fi

# The boot image: busybox, the modules that reach the shared file system (in load order), and
# an init that mounts it, runs the job inside it and powers the machine off.
if [ ! -f "$vm/initrd.gz" ] || [ "$0" -nt "$vm/initrd.gz" ]; then
    rm -rf "$vm/initrd"
    mkdir -p "$vm/initrd/bin" "$vm/initrd/modules" "$vm/initrd/proc" "$vm/initrd/sys" \
        "$vm/initrd/dev" "$vm/initrd/host"
    cp /bin/busybox "$vm/initrd/bin/busybox"
    modules=(drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev
        drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci net/9p/9pnet
        net/9p/9pnet_virtio fs/netfs/netfs fs/fscache/fscache fs/9p/9p)
    for m in "${modules[@]}"; do
        # A module that this kernel builds in is simply not there.
        find "$vm"/kernel/lib/modules/*/kernel -path "*/$m.ko" -exec cp {} "$vm/initrd/modules/" \;
        if [ -f "$vm/initrd/modules/$(basename "$m").ko" ]; then basename "$m"; fi
    done >"$vm/initrd/modules/order"
    cat >"$vm/initrd/init" <<'EOF'
#!/bin/busybox sh
b=/bin/busybox
$b mount -t proc proc /proc
$b mount -t sysfs sys /sys
$b mount -t devtmpfs dev /dev
for m in $($b cat /modules/order); do $b insmod /modules/$m.ko; done
job=
for word in $($b cat /proc/cmdline); do
    case $word in vmjob=*) job=${word#vmjob=} ;; esac
done
if $b mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=loose host /host; then
    $b mount -t proc proc /host/proc
    $b mount -t sysfs sys /host/sys
    $b mount -t devtmpfs dev /host/dev
    $b mkdir -p /host/dev/pts /host/dev/shm
    $b mount -t devpts devpts /host/dev/pts
    $b mount -t tmpfs tmpfs /host/dev/shm
    $b mount -t tmpfs tmpfs /host/tmp
    $b mount -t tmpfs tmpfs /host/run
    $b chmod 1777 /host/tmp /host/dev/shm
    $b chroot /host /bin/bash "$job"
else
    echo "i386-vm: the host's file system could not be mounted" >/dev/console
fi
$b sync
$b poweroff -f
EOF
    chmod +x "$vm/initrd/init"
    (cd "$vm/initrd" && find . | cpio -o -H newc --quiet | gzip -1 >"$vm/initrd.gz.new")
    mv "$vm/initrd.gz.new" "$vm/initrd.gz"
fi

# The job: the command, in the project folder, with its output and exit code in build/vm/.
rm -f "$vm/out" "$vm/rc"
: >"$vm/out"
{
    echo '#!/bin/bash'
    echo "export HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"
    # The black box stretches its waits by this much (see tests/e2e/UserActions.h).
    echo "export BLACKBOX_SLOWDOWN=${BLACKBOX_SLOWDOWN:-8}"
    for name in CI LANG WINEDEBUG WINE_RUN_DPI; do
        [ -z "${!name:-}" ] || printf 'export %s=%q\n' "$name" "${!name}"
    done
    printf 'cd %q\n' "$root"
    printf '%q ' "$@"
    printf '</dev/null >>%q 2>&1\n' "$vm/out"
    printf 'echo $? >%q\n' "$vm/rc"
} >"$vm/job"

# The root is shared with the host's owners and modes as they are (passthrough), which needs
# root; otherwise files are made as the user who runs QEMU.
security=passthrough
[ "$(id -u)" -eq 0 ] || security=none
# QEMU's software CPU mishandles an IRET to 32-bit user code when SMAP is on (the stack read is
# taken for a supervisor access, and Wine's first 32-bit process is killed), so the CPU model
# is QEMU's fullest without SMAP and its companions.
timeout "$limit" qemu-system-x86_64 -machine q35 -cpu max,-smap,-smep,-pku,-la57 \
    -smp "$cpus" -m "$memory" -display none -monitor none -serial "file:$vm/console.log" \
    -no-reboot -kernel "$vm/vmlinuz" -initrd "$vm/initrd.gz" \
    -append "console=ttyS0 quiet panic=-1 vmjob=$vm/job" \
    -virtfs "local,path=/,mount_tag=host,security_model=$security,id=host,multidevs=remap" &
qemu=$!
tail -n +1 -f --pid="$qemu" "$vm/out"
status=0
wait "$qemu" || status=$?
if [ ! -s "$vm/rc" ]; then
    echo "i386-vm: the machine stopped (QEMU's exit code $status) before the command ended;" \
        "its console is in $vm/console.log" >&2
    exit 125
fi
exit "$(cat "$vm/rc")"
