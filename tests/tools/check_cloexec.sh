#!/bin/sh
# Every descriptor the daemon opens must be close-on-exec: the adb server
# that the daemon's first adb call starts, the telnetd restarted by the
# LAN-broken shutdown and the mobile manager restarted by the relay all
# outlive the daemon, and would keep whatever they inherit open for ever.
# A descriptor is inherited by any command that another thread starts
# while it is open, so only a flag at the open itself is safe.
#
# Lists every call in the daemon's sources that makes a descriptor and
# fails on one that does not ask for close-on-exec (O_CLOEXEC,
# SOCK_CLOEXEC, or an "e" in an fopen mode). Each statement is read whole,
# comments left out, so a call split over lines is seen with all its
# arguments; it is shown with the line it starts on.
#   check_cloexec.sh [SOURCE_DIR]
SRC=${1:-$(dirname "$0")/../..}
calls=$(perl -e '
    my $call = qr/\b(open|openat|creat|socket|socketpair|accept|accept4|pipe|pipe2|dup|dup2|fopen|popen|mkstemp|eventfd|signalfd|timerfd_create|epoll_create1?|inotify_init1?)\s*\(/;
    for my $file (@ARGV) {
        open(my $fh, "<", $file) or die "$file: $!\n";
        local $/;
        my $text = <$fh>;
        # Comments go, their newlines stay; string and character literals
        # are kept whole, so a "//" inside one is not a comment.
        $text =~ s{("(?:\\.|[^"\\\n])*"|\x27(?:\\.|[^\x27\\\n])*\x27)|(/\*.*?\*/|//[^\n]*)}
                  {defined $1 ? $1 : ($2 =~ tr/\n//cdr)}gse;
        my $line = 1;
        for my $piece (split /(?<=[;{}])/, $text) {
            (my $lead) = $piece =~ /^(\s*)/;
            my $start = $line + ($lead =~ tr/\n//);
            $line += ($piece =~ tr/\n//);
            next unless $piece =~ $call;
            (my $stmt = $piece) =~ s/\s+/ /g;
            $stmt =~ s/^ //;
            print "$file:$start: $stmt\n";
        }
    }' "$SRC"/src/*.cpp "$SRC"/src/*/*.cpp) || exit 1
bad=$(printf '%s\n' "$calls" | grep -vE 'CLOEXEC|fopen\([^,]*, *"[a-z+]*e[a-z+]*"')
n=$(printf '%s\n' "$calls" | grep -c .)
if [ -n "$bad" ]; then
    echo "not close-on-exec:"
    printf '%s\n' "$bad"
    exit 1
fi
echo "check_cloexec: $n descriptor-making calls, all close-on-exec"
