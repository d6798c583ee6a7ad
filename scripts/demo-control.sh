# The control-tree part of the demo tour. Sourced by the demo script after
# vornelix has been mounted with --ctl; expects MNT, CTL, LOG, R0 and R1,
# and uses the demo's step and show helpers when it has them.

command -v step >/dev/null 2>&1 || step() { printf '\n== %s\n' "$*"; }
command -v show >/dev/null 2>&1 || show() { printf '$ %s\n' "$*"; sh -c "$*" || true; }

# The directory of replica root $1 in the control tree.
demo_control_dir() {
    printf '%s/%s\n' "$CTL" "$(printf '%s' "$1" | tr / _)"
}

# Waits (up to five seconds) for vornctl to mount the control tree.
demo_control_wait() {
    for _ in $(seq 1 50); do
        grep -q " $CTL fuse.vornctl " /proc/mounts && return 0
        sleep 0.1
    done
    echo "the control tree did not appear at $CTL" >&2
    return 1
}

# Reading, disabling and trusting replicas through the control tree.
demo_control_tour() {
    demo_control_wait || return 1
    a=$(demo_control_dir "$R0")
    b=$(demo_control_dir "$R1")

    step "The control tree: a directory per replica, named after its root"
    show "ls -la $CTL $a"
    show "cat $a/status; echo"
    show "sh $a/check_vornelix.sh; echo \"exit status \$?\""
    show "sh $a/check_vornelix.sh --version"

    step "Take the second replica out of service by writing 2 to its status"
    show "echo 2 > $b/status"
    show "cat $b/status; echo"
    show "tail -n 1 $LOG"
    show "sh $b/check_vornelix.sh; echo \"exit status \$?\""
    show "echo 'written while the second replica is out' > $MNT/control-demo.txt"
    show "ls -l $R0/control-demo.txt $R1/control-demo.txt"

    step "Only 0 (trust) and 2 (disable) are accepted"
    show "/bin/echo 1 > $b/status"
    show "cat $b/status; echo"

    step "Repair it by hand, then trust it again by writing 0"
    show "cp -a $R0/control-demo.txt $R1/control-demo.txt"
    show "echo 0 > $b/status"
    show "tail -n 1 $LOG"
    show "sh $b/check_vornelix.sh; echo \"exit status \$?\""
}

# After the replicated tree has been unmounted: the control tree stays
# until it is unmounted itself, and its files answer with an I/O error.
demo_control_after_unmount() {
    b=$(demo_control_dir "$R1")
    step "vornelix has ended: the control tree is still listed, but has nobody to ask"
    show "ls $b"
    show "cat $b/status"
    show "fusermount -u $CTL"
}
