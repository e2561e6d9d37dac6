# The .deb packages, sourced by run_package.sh for its case "deb" (its variables and helpers).
# Runs as root on a machine where none of the packages is installed: builds them with cpack,
# checks their fields and files, installs them, runs the gateway as its unit does and reads
# simulated scales through it, upgrades twice, removes and purges.
[ "$(id -u)" -eq 0 ] || skip "installing .deb files needs root"
command -v dpkg >/dev/null || skip "no dpkg on this system"
packages=(libtarvel6-2 libtarvel6-dev tarvel-tools tarvel-sim)
# One such test on this machine at a time (other checkouts may run it too).
exec 9>/var/lock/tarvel6-package-test.lock
flock -w 600 9 || fail "another package test held the lock for 10 minutes"
for p in "${packages[@]}"; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        skip "$p is installed already; not replacing a package this test did not install"
    fi
done
for d in /etc/tarvel /var/lib/tarvel; do
    [ ! -e "$d" ] || skip "$d exists: not touching files this test did not make"
done

# The address of this test's simulator and gateway (fixed ports 8080, 8880-8884).
ip=127.0.23.1
units=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || echo /lib/systemd/system)
debver=$(dpkg-parsechangelog -l "$src/packaging/debian/changelog" -S Version)
[ "${debver%-*}" = "$version" ] ||
    fail "packaging/debian/changelog starts with $debver: add an entry for version $version"
maintainer=$(sed -n 's/^TARVEL_PACKAGE_MAINTAINER:STRING=//p' "$build/CMakeCache.txt")

# ---- the packages as built ------------------------------------------------------------------
cpack --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack failed"; }
declare -A deb
for p in "${packages[@]}"; do
    deb[$p]=$(echo "$work/${p}_${debver}_"*.deb)
    [ -f "${deb[$p]}" ] || fail "cpack made no $p: $(ls "$work"/*.deb)"
    for field in "Version=$debver" "Maintainer=$maintainer"; do
        got=$(dpkg-deb -f "${deb[$p]}" "${field%%=*}")
        [ "$got" = "${field#*=}" ] || fail "$p: ${field%%=*} is '$got', expected '${field#*=}'"
    done
    dpkg-deb -c "${deb[$p]}" | awk '{print substr($6, 2)}' | sed 's#/$##' >"$work/$p.files"
    for f in changelog.Debian.gz copyright; do
        grep -qx "/usr/share/doc/$p/$f" "$work/$p.files" || fail "$p has no /usr/share/doc/$p/$f"
    done
done
# Which package holds what (one line each: package, then files it must have, !files it must not).
while read -r p files; do
    for f in $files; do
        if [ "${f#!}" != "$f" ]; then
            ! grep -qx "${f#!}" "$work/$p.files" || fail "$p holds ${f#!}"
        else
            grep -qx "$f" "$work/$p.files" || fail "$p lacks $f"
        fi
    done
done <<EOF
libtarvel6-2 /usr/lib/$multiarch/libTarvel6.so.$version /usr/lib/$multiarch/libTarvel6.so.${version%%.*} !/usr/lib/libTarvel6.so.$version !/usr/lib/$multiarch/libTarvel6.so
libtarvel6-dev /usr/lib/$multiarch/libTarvel6.so /usr/include/tarvel6.h /usr/lib/$multiarch/pkgconfig/tarvel6.pc /usr/lib/$multiarch/cmake/Tarvel6/Tarvel6Config.cmake
tarvel-tools /usr/bin/tarvel /usr/bin/tarvel-gateway !/usr/bin/tarvel-sim /etc/tarvel/gateway.toml $units/tarvel-gateway.service /usr/share/man/man1/tarvel.1.gz /usr/share/man/man8/tarvel-gateway.8.gz /usr/share/man/man5/tarvel-gateway.toml.5.gz /usr/share/bash-completion/completions/tarvel !/usr/share/man/man1/tarvel-sim.1.gz
tarvel-sim /usr/bin/tarvel-sim /usr/share/man/man1/tarvel-sim.1.gz !/usr/bin/tarvel
EOF

# ---- installed -------------------------------------------------------------------------------
# dpkg holds a lock: another installation may be running, so wait for it a while.
dpkg_retry() {
    local _
    for _ in $(seq 60); do
        if dpkg "$@" >"$work/dpkg.log" 2>&1; then return 0; fi
        grep -q "lock" "$work/dpkg.log" || break
        sleep 1
    done
    cat "$work/dpkg.log"
    return 1
}
pids=()
# Files the unit's account reads: outside the build folder, whose parents it may not enter.
scratch=$(mktemp -d)
chmod 0755 "$scratch"
cleanup() {
    local pid
    for pid in ${pids[@]+"${pids[@]}"}; do kill "$pid" 2>/dev/null || true; done
    dpkg_retry --purge "${packages[@]}" || true
    rm -rf /var/lib/tarvel /etc/tarvel "$scratch"
}
trap cleanup EXIT
dpkg_retry -i "${deb[@]}" || fail "dpkg -i failed"

out=$(/usr/bin/tarvel version) || fail "tarvel version exited $?: $out"
case $out in *Tarvel6*) ;; *) fail "tarvel version printed: $out" ;; esac
out=$(/usr/bin/tarvel-gateway --version) || fail "tarvel-gateway --version exited $?: $out"
[ "$out" = "tarvel-gateway $version" ] || fail "tarvel-gateway --version printed: $out"
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$work/pc-consumer" "$consumer/consumer.c" $(pkg-config --cflags --libs tarvel6) ||
    fail "pkg-config consumer did not build against the installed package"
expect_version "installed consumer" "$("$work/pc-consumer")"

# The account, its state directory and the configuration's owner.
id tarvel >/dev/null 2>&1 || fail "no account tarvel"
id -nG tarvel | tr ' ' '\n' | grep -qx dialout || fail "tarvel is not in dialout: $(id -nG tarvel)"
[ "$(stat -c '%U:%G %a' /var/lib/tarvel)" = "tarvel:tarvel 750" ] ||
    fail "/var/lib/tarvel is $(stat -c '%U:%G %a' /var/lib/tarvel)"
[ "$(stat -c '%U:%G %a' /etc/tarvel/gateway.toml)" = "root:tarvel 640" ] ||
    fail "/etc/tarvel/gateway.toml is $(stat -c '%U:%G %a' /etc/tarvel/gateway.toml)"

# The installed unit, verified where it lies.
unit=$units/tarvel-gateway.service
if command -v systemd-analyze >/dev/null; then
    systemd-analyze verify --man=no "$unit" >"$work/verify.log" 2>&1 || true
    [ ! -s "$work/verify.log" ] || { cat "$work/verify.log"; fail "systemd-analyze verify complained"; }
fi
# The manual pages, found by name and rendered; the completion, sourced from where it lies.
for page in tarvel.1 tarvel-gateway.8 tarvel-gateway.toml.5 tarvel-sim.1; do
    file=$(man -w "${page##*.}" "${page%.*}") || fail "man cannot find ${page%.*}(${page##*.})"
    [ "$file" = "/usr/share/man/man${page##*.}/$page.gz" ] || fail "man finds ${page%.*} at $file"
    man -l "$file" 2>&1 | grep -q '^NAME' || fail "man -l $file renders no NAME"
done
bash "$here/completion.sh" /usr/share/bash-completion/completions/tarvel || fail "the installed completion"

# ---- the gateway as its unit starts it ---------------------------------------------------------
user=$(unit_value "$unit" User)
group=$(unit_value "$unit" Group)
groups=$(unit_value "$unit" SupplementaryGroups)
pre=$(unit_value "$unit" ExecStartPre)
start=$(unit_value "$unit" ExecStart)
umask_value=$(unit_value "$unit" UMask)
[ -n "$user" ] && [ -n "$group" ] && [ -n "$start" ] && [ -n "$pre" ] || fail "the unit lacks User, Group, ExecStartPre or ExecStart"
pre=${pre#-} # "-": the check's failure is let through, for the gateway to fail on the file
[[ $start != [-@+!:]* && $pre != [-@+!:]* ]] || fail "a prefix on the unit's command lines: this test would not run them alike"
# The account's environment as systemd gives it, its groups and no way to gain privileges.
# It replaces the shell it runs in: call it in a subshell, $(...) or with &.
as_unit() {
    umask "${umask_value:-0022}"
    cd /
    exec env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin HOME=/var/lib/tarvel \
        USER="$user" LOGNAME="$user" setpriv --reuid="$user" --regid="$group" \
        --groups="${groups// /,}" --no-new-privs --inh-caps=-all "$@"
}

# Simulated scales: a 5817 on the converter's channel A, an Ohaus on a serial line (a
# pseudo-terminal given to the group dialout, as udev gives /dev/ttyUSB0).
/usr/bin/tarvel-sim --ip "$ip" --a 5817:weight=12345,tare=500,dec=4 \
    --pty ohaus:weight=2.5 >"$work/sim.out" 2>"$work/sim.log" &
pids+=($!)
for _ in $(seq 100); do
    [ -s "$work/sim.out" ] && break
    sleep 0.1
done
pty=$(head -n 1 "$work/sim.out")
[ -c "$pty" ] || { cat "$work/sim.log"; fail "tarvel-sim gave no pseudo-terminal"; }
chgrp dialout "$pty"
chmod 0660 "$pty"

# The configuration edited as an administrator would: these scales, this address.
cp /etc/tarvel/gateway.toml "$work/gateway.toml.shipped"
sed -i "s/^http = \"127.0.0.1:8080\"/http = \"$ip:8080\"/" /etc/tarvel/gateway.toml
cat >>/etc/tarvel/gateway.toml <<EOF

[[scale]]
name = "truck"
model = "5817"
tcp = "$ip:A"

[[scale]]
name = "bench"
model = "ohaus"
serial = "$pty"
EOF
cp /etc/tarvel/gateway.toml "$work/gateway.toml.edited"

read -ra pre_words <<<"$pre"
out=$(as_unit "${pre_words[@]}") || fail "ExecStartPre ($pre) exited $?: $out"
[[ $out == *"good (2 scales, 0 converters, listening on $ip:8080)" ]] || fail "ExecStartPre printed: $out"
# Given a bad file, the unit's gateway exits with the status the unit does not restart on.
printf '[gateway]\nhttp = "nowhere"\n' >"$scratch/bad.toml"
chmod 0644 "$scratch/bad.toml"
read -ra bad_words <<<"${start/--config \/etc\/tarvel\/gateway.toml/--config $scratch/bad.toml}"
[[ ${bad_words[*]} == *"$scratch/bad.toml"* ]] || fail "ExecStart names no --config /etc/tarvel/gateway.toml: $start"
status=0
(as_unit "${bad_words[@]}") >/dev/null 2>"$work/bad.log" || status=$?
[ "$status" = "$(unit_value "$unit" RestartPreventExitStatus)" ] ||
    fail "a bad configuration exits $status, the unit expects $(unit_value "$unit" RestartPreventExitStatus)"
grep -q "bad.toml:2: " "$work/bad.log" || fail "the refusal names no file:line: $(cat "$work/bad.log")"

read -ra start_words <<<"$start"
as_unit "${start_words[@]}" 2>"$work/gateway.log" &
gateway=$!
pids+=("$gateway")
# The readings of both scales, over HTTP (bounded wait: the first frames come within a second).
python3 - "$ip" <<'EOF' || { cat "$work/gateway.log"; fail "no readings through the gateway"; }
import json, sys, time, urllib.request
urllib.request.install_opener(urllib.request.build_opener(urllib.request.ProxyHandler({})))
ip = sys.argv[1]
want = {"truck": 123.45, "bench": 2.5}
deadline = time.monotonic() + 30
last = None
while time.monotonic() < deadline:
    try:
        with urllib.request.urlopen(f"http://{ip}:8080/api/scales", timeout=5) as r:
            last = json.load(r)
        got = {s["scale"]: (s["status"], s["net"]) for s in last["scales"]}
        if all(got.get(name) == ("ok", net) for name, net in want.items()):
            print("readings:", got)
            sys.exit(0)
    except OSError:
        pass
    time.sleep(0.2)
print("last answer:", last, file=sys.stderr)
sys.exit(1)
EOF
# It runs as the unit's account, with the unit's groups.
[ "$(stat -c %U "/proc/$gateway")" = "$user" ] || fail "the gateway runs as $(stat -c %U "/proc/$gateway")"
grep -q "^NoNewPrivs:[[:space:]]*1" "/proc/$gateway/status" || fail "the gateway may gain privileges"
kill -TERM "$gateway"
for _ in $(seq 100); do
    kill -0 "$gateway" 2>/dev/null || break
    sleep 0.1
done
! kill -0 "$gateway" 2>/dev/null || fail "the gateway did not stop on SIGTERM"
wait "$gateway" || fail "the gateway exited $? on SIGTERM"

# ---- upgrades keep the configuration ---------------------------------------------------------
# A later version of tarvel-tools, the same files but for the example configuration when
# CHANGE is given.
repack() { # VERSION CHANGE
    local dir=$work/repack-$1
    dpkg-deb -R "${deb[tarvel-tools]}" "$dir"
    sed -i "s/^Version: .*/Version: $1/" "$dir/DEBIAN/control"
    if [ -n "$2" ]; then
        echo "$2" >>"$dir/etc/tarvel/gateway.toml"
        (cd "$dir" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' |
            xargs -0 md5sum >DEBIAN/md5sums)
    fi
    dpkg-deb --root-owner-group -b "$dir" "$work/tarvel-tools_$1.deb" >/dev/null
    echo "$work/tarvel-tools_$1.deb"
}
# The example unchanged: the edited file stays, silently.
dpkg_retry -i "$(repack "$debver+t1" "")" || fail "upgrade to $debver+t1 failed"
cmp -s /etc/tarvel/gateway.toml "$work/gateway.toml.edited" || fail "the upgrade changed the edited configuration"
# The example changed too: the administrator's file is kept (dpkg would ask), the new example beside it.
dpkg_retry --force-confold -i "$(repack "$debver+t2" "# a newer example")" || fail "upgrade to $debver+t2 failed"
cmp -s /etc/tarvel/gateway.toml "$work/gateway.toml.edited" || fail "the second upgrade changed the edited configuration"
grep -q "^# a newer example" /etc/tarvel/gateway.toml.dpkg-dist || fail "no gateway.toml.dpkg-dist with the new example"
[ "$(dpkg-query -W -f='${Version}' tarvel-tools)" = "$debver+t2" ] || fail "tarvel-tools is not upgraded"
[ "$(stat -c '%U:%G %a' /etc/tarvel/gateway.toml)" = "root:tarvel 640" ] ||
    fail "after the upgrades /etc/tarvel/gateway.toml is $(stat -c '%U:%G %a' /etc/tarvel/gateway.toml)"

# ---- removed, then purged ------------------------------------------------------------------
for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
pids=()
dpkg_retry -r "${packages[@]}" || fail "dpkg -r failed"
[ ! -e /usr/bin/tarvel ] || fail "/usr/bin/tarvel is still there after removal"
cmp -s /etc/tarvel/gateway.toml "$work/gateway.toml.edited" || fail "removal took the configuration"
# A file the gateway keeps is never deleted by the package, even on purge.
echo "kept" >/var/lib/tarvel/weighings.db
dpkg_retry --purge "${packages[@]}" || fail "dpkg --purge failed"
[ -f /var/lib/tarvel/weighings.db ] || fail "purge deleted /var/lib/tarvel/weighings.db"
grep -q "/var/lib/tarvel is kept" "$work/dpkg.log" || fail "purge did not say it kept /var/lib/tarvel"
rm -r /var/lib/tarvel
for p in "${packages[@]}"; do
    ! dpkg-query -W "$p" >/dev/null 2>&1 || fail "dpkg still knows $p after the purge"
    while read -r f; do
        [ -d "$f" ] && continue # folders the system shares
        [ ! -e "$f" ] || fail "$f ($p) is left after the purge"
    done <"$work/$p.files"
done
[ ! -e /etc/tarvel ] || fail "/etc/tarvel is left after the purge: $(ls -A /etc/tarvel)"
! dpkg-statoverride --list /etc/tarvel/gateway.toml >/dev/null || fail "the statoverride is left"
