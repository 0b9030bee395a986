#!/bin/sh
# Installs the Debian package built from this tree into a throwaway copy of
# this machine, runs its autopkgtest tests there, and runs lapsero against a
# real mail agent and a real syslog daemon; the host itself must come out
# unchanged. The packages are those that tests/debian_build.sh built.
#
# Usage: integration.sh build-directory
#
# The script runs in three stages, each one a process of its own:
#   host       notes what the host looks like, starts the next stage in new
#              pid, mount and UTS namespaces, and afterwards checks that the
#              host looks the same;
#   namespace  pid 1 of those namespaces: lays an overlay over / whose upper
#              layer is a tmpfs, mounts a fresh /proc, /dev, /tmp and /run
#              inside it and chroots into it. When this process ends, the
#              kernel kills whatever is left in the namespace, daemons
#              included, and the tmpfs with every change goes with it;
#   root       inside the chroot: installs, upgrades, runs, removes, purges.
#
# Packages fetched inside the root are kept in build-directory/integration/
# apt-archives, so that later runs need not download them again. What one
# run produced (the mailboxes, the syslog file) is left in
# build-directory/integration/last-run.

scheduler_host=lapsero-integ   # the host name inside the throwaway root
mail_user=tester               # the recipient that MAILTO names

say() { echo "== $*"; }
skip() { echo "SKIP: $*" >&2; exit 77; }
die() { echo "FAIL: $*" >&2; exit 1; }

# ---- host -------------------------------------------------------------------

# What of the host the root stage would change if the throwaway root leaked:
# one line per path (kind, mode, owner, size, time, checksum).
host_state() {
  for path in /etc/lapserotab /etc/cron.d/lapsero /var/spool/lapsero \
      /usr/sbin/lapsero /usr/sbin/lapsero-status /lib/systemd/system/lapsero.service \
      /lib/systemd/system/lapsero.timer /usr/lib/systemd/system/lapsero.service \
      /usr/lib/systemd/system/lapsero.timer /etc/systemd/system/lapsero.timer \
      /etc/systemd/system/timers.target.wants/lapsero.timer \
      /usr/sbin/policy-rc.d /usr/sbin/sendmail /etc/rsyslog.conf /etc/dma \
      /etc/mailname /etc/passwd /etc/group /etc/shadow /dev/log \
      /var/log/cron.log; do
    if [ -e "$path" ] || [ -L "$path" ]; then
      sum=
      [ -f "$path" ] && sum=$(md5sum <"$path" | cut -c1-32)
      echo "$path $(stat -c '%F %a %u:%g %s %Y' "$path") $sum"
    else
      echo "$path absent"
    fi
  done
  ls -la --time-style=full-iso /var/mail/
  echo "host name $(hostname)"
}

# Processes of the daemons that the root stage starts.
daemon_count() {
  n=0
  for comm in /proc/[0-9]*/comm; do
    case $(cat "$comm" 2>/dev/null) in rsyslogd|dma) n=$((n + 1)) ;; esac
  done
  echo $n
}

host_stage() {
  [ -d "${1:-}" ] || die "usage: integration.sh build-directory"
  build=$(cd "$1" && pwd)
  source_dir=$(cd "$(dirname "$0")/.." && pwd)
  [ "$(id -u)" = 0 ] || skip "needs root for namespaces, mounts and chroot"
  for tool in unshare chroot timeout dpkg-deb; do
    command -v $tool >/dev/null || skip "no $tool"
  done

  work=$build/integration
  packages=$work/packages
  rm -rf "$packages" "$work/last-run"
  mkdir -p "$packages" "$work/last-run" "$work/apt-archives/partial" "$work/mnt"

  # The older version is this tree; the newer one differs in its number and
  # in a line added to each conffile, so that installing it is an upgrade
  # with every maintainer script and conffile question that involves.
  built=$build/debian-packages
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$build/CMakeCache.txt")
  [ -f "$built/older/lapsero_${version}_amd64.deb" ] ||
    skip "no package of version $version in $built (tests/debian_build.sh builds it)"
  cp "$built/older/lapsero_${version}_amd64.deb" "$packages/first.deb" &&
    cp "$built"/newer/lapsero_*_amd64.deb "$packages/second.deb" &&
    cp "$built/older/lapsero_$version.dsc" "$built/older/lapsero_$version.tar.xz" "$packages/" ||
    die "cannot copy the packages"
  cp "$0" "$packages/integration.sh"
  cp "$source_dir/dist/lapserotab" "$packages/lapserotab.dist"

  host_state >"$work/host-before"
  dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev} ${Version}\n' \
    >"$work/host-packages-before"
  daemons_before=$(daemon_count)

  # --kill-child: once unshare is stopped (by timeout, or through the trap
  # when ctest stops this script), pid 1 of the namespace is killed, and with
  # it everything inside.
  timeout 480 unshare --pid --fork --kill-child --mount-proc --uts -- \
    sh "$0" --namespace "$work" &
  namespace=$!
  trap 'kill $namespace; wait $namespace; exit 1' HUP INT TERM
  wait $namespace
  status=$?
  trap - HUP INT TERM
  [ $status = 124 ] && echo "FAIL: the throwaway root ran out of time" >&2

  # The host is as it was.
  host_state >"$work/host-after"
  if ! cmp -s "$work/host-before" "$work/host-after"; then
    echo "FAIL: the host changed:" >&2
    diff "$work/host-before" "$work/host-after" >&2
    status=1
  fi
  dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev} ${Version}\n' \
    >"$work/host-packages-after"
  if [ -s "$work/last-run/packages" ]; then
    while read -r package; do
      before=$(grep "^$package " "$work/host-packages-before")
      after=$(grep "^$package " "$work/host-packages-after")
      [ "$before" = "$after" ] ||
        { echo "FAIL: host package $package was '$before', is '$after'" >&2; status=1; }
    done <"$work/last-run/packages"
  elif [ $status = 0 ]; then
    echo "FAIL: the root stage named no package it installed" >&2; status=1
  fi
  tries=0
  while [ "$(daemon_count)" -gt "$daemons_before" ] && [ $tries -lt 50 ]; do
    sleep 0.1; tries=$((tries + 1))
  done
  [ "$(daemon_count)" -gt "$daemons_before" ] &&
    { echo "FAIL: a daemon of the throwaway root outlived it" >&2; status=1; }
  [ -f "$work/last-run/skipped" ] && cat "$work/last-run/skipped"
  [ $status = 0 ] && say "integration passed; the host is unchanged"
  exit $status
}

# ---- namespace --------------------------------------------------------------

namespace_stage() {
  work=$1
  mnt=$work/mnt
  mount -t tmpfs -o size=4g,mode=0755 lapsero-integration "$mnt" ||
    skip "cannot mount a tmpfs"
  mkdir "$mnt/upper" "$mnt/work" "$mnt/root"
  root=$mnt/root
  # The upper layer lives on the tmpfs, not on /, or the kernel would refuse
  # layers that overlap.
  mount -t overlay overlay -o "lowerdir=/,upperdir=$mnt/upper,workdir=$mnt/work" "$root" ||
    skip "cannot lay an overlay over /"

  mount -t proc proc "$root/proc" || die "mount /proc"
  # A /dev of its own: rsyslogd creates its socket /dev/log there, not in
  # the host's /dev.
  mount -t tmpfs -o mode=0755 dev "$root/dev" || die "mount /dev"
  for node in null zero full random urandom tty; do
    : >"$root/dev/$node"
    mount --bind "/dev/$node" "$root/dev/$node" || die "bind /dev/$node"
  done
  ln -s /proc/self/fd "$root/dev/fd"
  ln -s /proc/self/fd/0 "$root/dev/stdin"
  ln -s /proc/self/fd/1 "$root/dev/stdout"
  ln -s /proc/self/fd/2 "$root/dev/stderr"
  mkdir "$root/dev/shm" && mount -t tmpfs -o mode=1777 shm "$root/dev/shm"
  mount -t tmpfs -o mode=1777 tmp "$root/tmp" || die "mount /tmp"
  # A fresh /run hides the host's daemon sockets (systemd's among them)
  # from the maintainer scripts.
  mount -t tmpfs -o mode=0755 run "$root/run" || die "mount /run"
  mkdir -m 1777 "$root/run/lock"
  if [ -L "$root/etc/resolv.conf" ]; then  # may point into the host's /run
    rm "$root/etc/resolv.conf"
    cat /etc/resolv.conf >"$root/etc/resolv.conf"
  fi

  mount --bind "$work/apt-archives" "$root/var/cache/apt/archives" || die "bind the apt cache"
  mkdir "$root/integration" "$root/integration-out"
  cp "$work/packages"/* "$root/integration/" || die "copy the packages into the root"

  mount --bind "$work/last-run" "$root/integration-out" || die "bind the output directory"
  hostname "$scheduler_host"

  env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=dumb \
    chroot "$root" /bin/sh /integration/integration.sh --root
}

# ---- root -------------------------------------------------------------------

status=0
fail() { echo "FAIL: $*" >&2; status=1; }
# A step that this machine cannot carry out; the others still count.
skipped() {
  echo "SKIP (only this step): $*" | tee -a /integration-out/skipped >&2
}

wait_for() {  # seconds command...
  limit=$(($1 * 10)); shift
  tries=0
  until "$@"; do
    tries=$((tries + 1))
    [ $tries -ge $limit ] && return 1
    sleep 0.1
  done
}

dpkg_do() {  # dpkg arguments...
  dpkg "$@" </dev/null >/tmp/dpkg.out 2>&1 || { cat /tmp/dpkg.out >&2; die "dpkg $*"; }
}

apt_install() {  # packages...
  # The host's package lists serve if they are current; else fetch them.
  set -- -y -q --no-install-recommends \
    -o Binary::apt::APT::Keep-Downloaded-Packages=true install "$@"
  apt-get "$@" </dev/null >/tmp/apt.out 2>&1 ||
    { apt-get -q update && apt-get "$@"; } </dev/null >>/tmp/apt.out 2>&1 ||
    { tail -n 30 /tmp/apt.out >&2; echo "apt-get $* failed" >&2; return 1; }
}

package_state() { dpkg-query -W -f='${db:Status-Abbrev}${Version}' lapsero 2>/dev/null; }

expect_state() {  # status-abbrev+version context
  [ "$(package_state)" = "$1" ] || fail "$2: lapsero is '$(package_state)', not '$1'"
}

expect_file() {  # path mode owner
  if [ -f "$1" ]; then
    [ "$(stat -c '%a %U:%G' "$1")" = "$2 $3" ] ||
      fail "$1 is $(stat -c '%a %U:%G' "$1"), not $2 $3"
  else
    fail "no file $1"
  fi
}

expect_absent() {  # context paths...
  context=$1; shift
  for path in "$@"; do
    [ -e "$path" ] || [ -L "$path" ] && fail "$context left $path"
  done
}

# The job lines appended to the installed table. The two jobs that print
# name themselves in their output and add the pid of their parent, the
# scheduler, so that each mail can be matched with the syslog lines; the
# UTF-8 text shows that the body passes the mail agent untouched. The first
# mails root, the login name; the second the MAILTO set above it. "silent"
# prints nothing and must send no mail; "dormant" gets a stamp of 2024-03-05
# and, with a period of a hundred years, must not run.
table_edit() {
  cat <<'EOF'

# Added by the integration test.
1	0	to-root	echo "to-root: out 1"; echo "to-root: err 2" >&2; echo "to-root: out 3, Grüße"; echo "scheduler: $PPID"
MAILTO=tester
1	0	to-tester	echo "to-tester: err 1" >&2; echo "to-tester: out 2"; echo "scheduler: $PPID"; exit 3
1	0	silent	true
36500	0	dormant	echo dormant ran
EOF
}

expected_body() {  # job scheduler-pid
  case $1 in
    to-root) printf 'to-root: out 1\nto-root: err 2\nto-root: out 3, Grüße\n' ;;
    to-tester) printf 'to-tester: err 1\nto-tester: out 2\n' ;;
  esac
  printf 'scheduler: %s\n' "$2"
}

# The only message of a mailbox, split at the first empty line; a trailing
# empty line (an mbox separator) does not count as body.
mail_header() { sed -n '2,/^$/p' "$1" | sed '/^$/d'; }
mail_body() { sed '1,/^$/d' "$1" | awk '{ line[NR] = $0 } END {
  n = NR; while (n > 0 && line[n] == "") n--
  for (i = 1; i <= n; i++) print line[i] }'; }

dma_running() {
  for comm in /proc/[0-9]*/comm; do
    [ "$(cat "$comm" 2>/dev/null)" = dma ] && return 0
  done
  return 1
}
mail_delivered() {
  ! dma_running && [ -s /var/mail/root ] && [ -s /var/mail/$mail_user ]
}

check_mail() {  # job recipient scheduler-pid
  box=/var/mail/$2
  cp "$box" "/integration-out/mail-$2" 2>/dev/null
  [ -f "$box" ] || { fail "no mailbox $box for job $1"; return; }
  [ "$(grep -c '^From ' "$box")" = 1 ] || fail "$box holds $(grep -c '^From ' "$box") messages, not 1"
  mail_header "$box" | grep -E '^(From|To|Subject|Content-Type):' >/tmp/got-header
  printf '%s\n' "From: Lapsero <root>" "To: $2" \
    "Subject: Lapsero job '$1' on $scheduler_host" \
    "Content-Type: text/plain; charset=UTF-8" >/tmp/want-header
  cmp -s /tmp/got-header /tmp/want-header ||
    { fail "lapsero's header lines in $box differ:"; diff /tmp/want-header /tmp/got-header >&2; }
  mail_body "$box" >/tmp/got-body
  expected_body "$1" "$3" >/tmp/want-body
  cmp -s /tmp/got-body /tmp/want-body ||
    { fail "the body in $box differs:"; diff /tmp/want-body /tmp/got-body >&2; }
}

check_syslog() {  # launched-pid
  log=/var/log/cron.log
  cp $log /integration-out/cron.log
  # Every line of the file: facility.level lapsero[pid]: message.
  sed -n 's/^cron\.notice lapsero\[\([0-9]*\)\]: /\1 /p' $log >/tmp/entries
  [ "$(wc -l </tmp/entries)" = "$(wc -l <$log)" ] ||
    fail "$log holds lines that are not cron.notice entries of lapsero"
  pids=$(cut -d' ' -f1 /tmp/entries | sort -u)
  [ "$(echo "$pids" | wc -w)" = 1 ] || fail "$log has lines of several pids: $pids"
  [ "$pids" != "$1" ] || fail "the scheduler kept the pid of the process started ($1): no fork"
  scheduler_pid=$pids
  cut -d' ' -f2- /tmp/entries >/tmp/messages
  start=$(head -n 1 /tmp/messages)
  case $start in
    "Lapsero $first_version started on $day_before"|"Lapsero $first_version started on $day_after") ;;
    *) fail "the first line is '$start', not the start line" ;;
  esac
  [ "$(tail -n 1 /tmp/messages)" = "Normal exit (3 jobs run)" ] ||
    fail "the last line is '$(tail -n 1 /tmp/messages)'"
  { echo "$start"
    for job in to-root to-tester silent; do
      echo "Will run job \`$job' in 0 min."
      echo "Job \`$job' started"
    done
    echo "Job \`to-root' terminated (mailing output)"
    echo "Job \`to-tester' terminated (exit status: 3) (mailing output)"
    echo "Job \`silent' terminated"
    echo "Normal exit (3 jobs run)"
  } | sort >/tmp/want-messages
  sort /tmp/messages >/tmp/got-messages
  cmp -s /tmp/want-messages /tmp/got-messages ||
    { fail "the run's lines in $log differ (sorted):"; diff /tmp/want-messages /tmp/got-messages >&2; }
  grep -q "^[^ ]* lapsero\[" /var/log/other.log && fail "lapsero logged outside facility cron"
}

# lapsero-status on the spool the run left: the jobs that ran, last run on
# the date their stamps hold and next due a day later; the dormant job as
# before; nothing in the system log. No journald runs in this root, so no
# job has a last result. Both listings are kept for the log.
check_listing() {
  say "lapsero-status, and lapsero-status --json"
  lapsero-status >/integration-out/listing 2>/tmp/listing.err ||
    fail "lapsero-status exited with $?: $(cat /tmp/listing.err)"
  lapsero-status --json >/integration-out/listing.json 2>>/tmp/listing.err ||
    fail "lapsero-status --json exited with $?: $(cat /tmp/listing.err)"
  [ -s /tmp/listing.err ] && fail "lapsero-status wrote on standard error: $(cat /tmp/listing.err)"
  [ "$(head -n 1 /integration-out/listing | tr -s ' ')" = "JOB PERIOD DELAY LAST RUN LAST RESULT NEXT DUE STATE" ] ||
    fail "the listing's header is '$(head -n 1 /integration-out/listing)'"
  for job in to-root to-tester silent; do
    ran=$(sed 's/^\(....\)\(..\)/\1-\2-/' /var/spool/lapsero/$job)
    next=$(date -d "$ran + 1 day" +%Y-%m-%d)
    [ "$(date +%Y-%m-%d)" = "$ran" ] && state="waiting, in 1 day" || state="due"
    line=$(grep "^$job " /integration-out/listing)
    [ "$(echo "$line" | awk '{ print $5, $6, $7 }')" = "$ran - $next" ] && [ "${line##*  }" = "$state" ] ||
      fail "the listing shows $job as '$line', not last run $ran, next due $next, $state"
    awk -v job="\"$job\"" '$2 == job "," { found = 1 } found && /}/ { exit } found' \
      /integration-out/listing.json >/tmp/object
    grep -q "\"last_run\": \"$ran\"," /tmp/object && grep -q "\"next_due\": \"$next\"," /tmp/object ||
      fail "the JSON shows $job as: $(cat /tmp/object)"
  done
  line=$(grep "^dormant " /integration-out/listing)
  [ "$(echo "$line" | awk '{ print $2, $5, $6, $7, $8 }')" = "36500 2024-03-05 - 2124-02-10 waiting," ] ||
    fail "the listing shows dormant as '$line'"
  if command -v python3 >/dev/null; then
    python3 -c 'import json, sys; json.load(open(sys.argv[1]))' /integration-out/listing.json ||
      fail "lapsero-status --json wrote no valid JSON"
  fi
  lapsero-status --overdue=0 >/dev/null || fail "lapsero-status --overdue=0 exited with $? after the run"
  # A mark logged after the listings: once it is in the log, anything they
  # had logged would be there too.
  logger -t integration-mark "after the listings"
  wait_for 20 grep -q integration-mark /var/log/other.log || fail "the mark never reached the log"
  grep -q 'lapsero-status' /var/log/cron.log /var/log/other.log &&
    fail "lapsero-status wrote to the system log"
}

# The package's own tests (debian/tests), with this root as the testbed, on
# the package as installed and before any edit: Debian's runner where it is
# installed, using its null runner, else each test script run as it would.
# Neither of the two asks for root, so both run as an ordinary user.
run_package_tests() {
  dsc=$(ls lapsero_*.dsc)
  rm -rf /tmp/autopkgtest-out /tmp/source
  if command -v autopkgtest >/dev/null; then
    say "autopkgtest $dsc -- null"
    # -B: the tests run against the package installed above.
    # unit-tests builds the whole tree: too slow for the test command.
    autopkgtest -B -q --skip-test unit-tests --user $mail_user --output-dir=/tmp/autopkgtest-out \
      "$dsc" -- null \
      >/tmp/autopkgtest.log 2>&1
    code=$?
    cp /tmp/autopkgtest.log /integration-out/autopkgtest.log
    grep -E '^(shipped-table|scratch-run) ' /tmp/autopkgtest-out/summary 2>/dev/null
    # Exit status 2 means a test was skipped: none of these may be.
    [ $code = 0 ] || { tail -n 40 /tmp/autopkgtest.log >&2; fail "autopkgtest exited with $code"; }
    for test in shipped-table scratch-run; do
      grep -qE "^$test +PASS" /tmp/autopkgtest-out/summary 2>/dev/null ||
        fail "autopkgtest did not pass $test"
    done
    grep -qx "the job ran, as $mail_user" /tmp/autopkgtest.log ||
      fail "autopkgtest did not run scratch-run as $mail_user"
  else
    skipped "no autopkgtest here: the test scripts run by themselves"
    dpkg-source -x "$dsc" /tmp/source >/dev/null || die "dpkg-source -x $dsc"
    for test in shipped-table scratch-run; do
      mkdir -p /tmp/autopkgtest-out/$test
      chown $mail_user /tmp/autopkgtest-out/$test
      # As the runner does, a test fails that writes on standard error.
      (cd /tmp/source && AUTOPKGTEST_TMP=/tmp/autopkgtest-out/$test \
        setpriv --reuid=$mail_user --regid="$(id -g $mail_user)" --clear-groups \
        sh debian/tests/$test 2>/tmp/autopkgtest-out/$test.err) || fail "debian/tests/$test failed"
      if [ -s /tmp/autopkgtest-out/$test.err ]; then
        cat /tmp/autopkgtest-out/$test.err >&2
        fail "debian/tests/$test wrote on standard error"
      fi
    done
  fi
}

root_stage() {
  export DEBIAN_FRONTEND=noninteractive
  cd /integration || die "no /integration"
  printf '#!/bin/sh\n# Package scripts start no service in this root.\nexit 101\n' \
    >/usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  dpkg_log_start=$(cat /var/log/dpkg.log 2>/dev/null | wc -l)
  # What the host has of lapsero is not part of this test.
  if dpkg-query -W lapsero >/dev/null 2>&1; then dpkg_do --purge lapsero; fi
  rm -rf /etc/lapserotab /var/spool/lapsero /var/mail/root /var/mail/$mail_user

  say "installing dma and rsyslog with apt-get"
  apt_install dma rsyslog || die "cannot install the mail agent and the syslog daemon"
  [ -x /usr/sbin/sendmail ] || die "dma gave no /usr/sbin/sendmail"
  if ! command -v systemd-analyze >/dev/null; then
    say "no systemd-analyze on this machine: installing systemd into the root"
    apt_install systemd
  fi
  useradd -M -s /usr/sbin/nologin $mail_user || die "useradd $mail_user"

  # 1. Install: layout and spool.
  first_version=$(dpkg-deb -f first.deb Version)
  second_version=$(dpkg-deb -f second.deb Version)
  say "installing lapsero $first_version"
  dpkg_do --install first.deb
  expect_state "ii $first_version" "dpkg --install"
  expect_file /usr/sbin/lapsero 755 root:root
  expect_file /usr/sbin/lapsero-status 755 root:root
  [ "$(/usr/sbin/lapsero -V | head -n 1)" = "Lapsero $first_version" ] ||
    fail "lapsero -V says: $(/usr/sbin/lapsero -V | head -n 1)"
  expect_file /usr/share/man/man8/lapsero.8.gz 644 root:root
  expect_file /usr/share/man/man8/lapsero-status.8.gz 644 root:root
  expect_file /usr/share/man/man5/lapserotab.5.gz 644 root:root
  expect_file /usr/share/man/man7/lapsero-design.7.gz 644 root:root
  expect_file /lib/systemd/system/lapsero.service 644 root:root
  expect_file /lib/systemd/system/lapsero.timer 644 root:root
  expect_file /etc/cron.d/lapsero 644 root:root
  # dh_compress compresses the README only when it is over 4 KiB.
  readme=README.md.gz
  [ -e /usr/share/doc/lapsero/$readme ] || readme=README.md
  for doc in copyright changelog.gz $readme examples/lapserotab examples/lapsero.service \
    examples/lapsero.timer; do
    expect_file /usr/share/doc/lapsero/$doc 644 root:root
  done
  expect_file /etc/lapserotab 644 root:root
  cmp -s /etc/lapserotab lapserotab.dist || fail "/etc/lapserotab is not dist/lapserotab"
  for conffile in /etc/lapserotab /etc/cron.d/lapsero; do
    dpkg-query -W -f='${Conffiles}\n' lapsero | grep -q "^ $conffile " ||
      fail "$conffile is no conffile of the installed package"
  done
  [ -d /var/spool/lapsero ] || fail "no spool directory"
  [ "$(stat -c '%a %U:%G' /var/spool/lapsero)" = "755 root:root" ] ||
    fail "spool is $(stat -c '%a %U:%G' /var/spool/lapsero)"
  [ -z "$(ls -A /var/spool/lapsero)" ] || fail "the new spool is not empty"
  [ -L /etc/systemd/system/timers.target.wants/lapsero.timer ] ||
    fail "postinst did not enable lapsero.timer"
  [ -f /var/lib/systemd/deb-systemd-helper-enabled/lapsero.timer.dsh-also ] ||
    fail "postinst left no deb-systemd-helper state for lapsero.timer"
  run_package_tests

  # An administrator's edit and a stamp, then the upgrade, which changes
  # both conffiles: the edited table stays, with the newer one beside it,
  # and the untouched cron file is replaced, as an administrator who keeps
  # his own version at dpkg's question gets it.
  table_edit >>/etc/lapserotab
  cp /etc/lapserotab edited-table
  /usr/sbin/lapsero -T || fail "lapsero -T rejects the edited table"
  echo 20240305 >/var/spool/lapsero/dormant
  say "upgrading to lapsero $second_version"
  dpkg_do --force-confdef --force-confold --install second.deb
  expect_state "ii $second_version" "the upgrade"
  cmp -s /etc/lapserotab edited-table || fail "the upgrade replaced the edited /etc/lapserotab"
  [ "$(tail -n 1 /etc/lapserotab.dpkg-dist 2>/dev/null)" = "# Added in $second_version." ] ||
    fail "the upgrade left no /etc/lapserotab.dpkg-dist of $second_version"
  [ "$(tail -n 1 /etc/cron.d/lapsero)" = "# Added in $second_version." ] ||
    fail "the upgrade kept the older /etc/cron.d/lapsero"
  gzip -dc /usr/share/doc/lapsero/changelog.gz | head -n 1 | grep -q "^lapsero ($second_version) " ||
    fail "the upgrade left the older changelog"
  [ "$(cat /var/spool/lapsero/dormant)" = 20240305 ] || fail "the upgrade lost the stamp"
  [ "$(stat -c %a /var/spool/lapsero)" = 755 ] || fail "spool mode after the upgrade"
  [ -L /etc/systemd/system/timers.target.wants/lapsero.timer ] ||
    fail "the upgrade disabled lapsero.timer"

  # 2. A real syslog daemon: facility cron into a file of its own, with the
  # facility, level, program name and pid of every entry.
  cat >/etc/rsyslog.conf <<'EOF'
# The local socket only: the kernel's log belongs to the host.
module(load="imuxsock")
template(name="entry" type="string"
  string="%syslogfacility-text%.%syslogseverity-text% %programname%[%procid%]:%msg:::sp-if-no-1st-sp%%msg:::drop-last-lf%\n")
cron.*		action(type="omfile" file="/var/log/cron.log" template="entry")
*.*;cron.none	action(type="omfile" file="/var/log/other.log" template="entry")
EOF
  rm -f /var/log/cron.log /var/log/other.log /dev/log
  rsyslogd -n -iNONE -f /etc/rsyslog.conf >/tmp/rsyslogd.out 2>&1 &
  wait_for 20 test -S /dev/log || { cat /tmp/rsyslogd.out >&2; die "rsyslogd made no /dev/log"; }

  # 3. A real mail agent, lapsero in the background on the installed table.
  say "running /usr/sbin/lapsero in the background"
  day_before=$(date +%Y-%m-%d)
  LANG=C.UTF-8 /usr/sbin/lapsero &
  launched=$!
  wait $launched || fail "lapsero exited with $? in the background mode"
  wait_for 60 grep -q "Normal exit" /var/log/cron.log 2>/dev/null ||
    fail "no \"Normal exit\" in the syslog file within 60 s"
  day_after=$(date +%Y-%m-%d)
  wait_for 60 mail_delivered || fail "the mail did not arrive within 60 s"
  scheduler_pid=
  check_syslog $launched
  check_mail to-root root "$scheduler_pid"
  check_mail to-tester $mail_user "$scheduler_pid"
  for job in to-root to-tester silent; do
    stamp=$(cat /var/spool/lapsero/$job 2>/dev/null)
    [ "$stamp" = "$(echo "$day_before" | tr -d -)" ] || [ "$stamp" = "$(echo "$day_after" | tr -d -)" ] ||
      fail "stamp of $job holds '$stamp' after the run"
  done
  [ "$(cat /var/spool/lapsero/dormant)" = 20240305 ] || fail "the run rewrote the stamp of a job not due"
  check_listing
  cp /var/log/other.log /integration-out/other.log

  # 4. The units, as systemd reads them; it warns on standard error and
  # still exits with 0, so any output fails. A unit known to be good shows
  # whether systemd-analyze can work at all in this root.
  printf '[Service]\nType=oneshot\nExecStart=/bin/true\n' >/tmp/control.service
  if ! command -v systemd-analyze >/dev/null; then
    skipped "systemd-analyze is neither on this machine nor installable into the root"
  elif ! control=$(systemd-analyze verify /tmp/control.service 2>&1) || [ -n "$control" ]; then
    skipped "systemd-analyze verify fails here even on a plain unit: $control"
  else
    say "systemd-analyze verify lapsero.service lapsero.timer"
    if ! out=$(systemd-analyze verify /lib/systemd/system/lapsero.service \
        /lib/systemd/system/lapsero.timer 2>&1) || [ -n "$out" ]; then
      fail "systemd-analyze verify: $out"
    fi
    # The drop-in lapsero(8) gives for a longer stop timeout; a value that
    # systemd cannot parse would be named here.
    mkdir -p /etc/systemd/system/lapsero.service.d
    printf '[Service]\nTimeoutStopSec=2h\n' >/etc/systemd/system/lapsero.service.d/override.conf
    say "systemd-analyze verify lapsero.service with a drop-in for its stop timeout"
    if ! out=$(systemd-analyze verify /lib/systemd/system/lapsero.service 2>&1) || [ -n "$out" ]; then
      fail "systemd-analyze verify with the drop-in: $out"
    fi
    rm -r /etc/systemd/system/lapsero.service.d
  fi

  # Remove keeps the stamps and the edited table; purge takes them.
  say "removing and purging lapsero"
  dpkg_do --remove lapsero
  expect_state "rc $second_version" "dpkg --remove"
  expect_absent "dpkg --remove" /usr/sbin/lapsero /usr/sbin/lapsero-status /lib/systemd/system/lapsero.timer
  for job in dormant to-root to-tester silent; do
    [ -f /var/spool/lapsero/$job ] || fail "dpkg --remove deleted the stamp $job"
  done
  [ "$(cat /var/spool/lapsero/dormant)" = 20240305 ] || fail "dpkg --remove changed a stamp"
  cmp -s /etc/lapserotab edited-table || fail "dpkg --remove changed /etc/lapserotab"
  dpkg_do --purge lapsero
  dpkg-query -W lapsero >/dev/null 2>&1 && fail "dpkg still knows lapsero after the purge"
  expect_absent "dpkg --purge" /var/spool/lapsero /etc/lapserotab /etc/lapserotab.dpkg-dist \
    /etc/cron.d/lapsero
  leftovers=$(find /etc/systemd /var/lib/systemd -name '*lapsero*' 2>/dev/null)
  [ -z "$leftovers" ] || fail "dpkg --purge left: $leftovers"

  # For the host stage: every package this root installed, upgraded or took.
  tail -n +$((dpkg_log_start + 1)) /var/log/dpkg.log |
    awk '$3 ~ /^(install|upgrade|remove|purge)$/ { print $4 }' | sort -u \
    >/integration-out/packages

  for file in cron.log mail-root mail-$mail_user listing listing.json; do
    echo "---- $file (kept in integration/last-run/$file)"
    cat "/integration-out/$file" 2>/dev/null
  done
  exit $status
}

case ${1:-} in
  --namespace) namespace_stage "$2" ;;
  --root) root_stage ;;
  *) host_stage "$@" ;;
esac
