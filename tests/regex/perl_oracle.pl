#!/usr/bin/perl
# Answers a batch of pattern questions with Perl's own regex engine, so that
# the C++ tests can compare the engine against Perl without one process per
# case. All strings travel hex-encoded to keep tabs, newlines and NULs intact.
#
# Input, one case per line, tab-separated:
#   FLAGS PATTERN SUBJECT [REPLACEMENT]
# FLAGS is "-" or letters from "imsx"; PATTERN and SUBJECT are hex bytes;
# REPLACEMENT (optional) is hex of the body of a Perl double-quoted string.
#
# Output, one line per case, tab-separated:
#   E <hex message>                      the pattern does not compile
#   T                                    Perl gave up after the time limit
#   M <first> <all> [<once> <global>]    otherwise
# <first> is "-" when nothing matches, else space-separated "start,end" for
# groups 0..n with "-" for a group that did not take part. <all> lists
# "start,end" of every non-overlapping match (Perl's m//g), "-" if none.
# <once> and <global> are "count:hexresult" of s/// and s///g.
use strict;
no warnings;
use bytes;
use POSIX ();

# A generated pattern can send any backtracker into exponential time. The
# alarm is delivered at once (not deferred to the next safe point), so that
# it can interrupt a match in progress.
my $limit = $ENV{SPECKMEND_ORACLE_SECONDS} || 5;
POSIX::sigaction(POSIX::SIGALRM(), POSIX::SigAction->new(sub { die "oracle timeout\n" }));

binmode STDIN;
binmode STDOUT;
$| = 0;

sub unhex { my $h = shift; $h = '' if $h eq '-'; return pack('H*', $h); }
sub tohex { return unpack('H*', shift); }

sub groups {
    my @parts;
    for my $i (0 .. $#+) {
        if (defined $-[$i]) { push @parts, "$-[$i],$+[$i]"; }
        else { push @parts, '-'; }
    }
    return join(' ', @parts);
}

sub answer {
    my ($line) = @_;
    my ($flags, $phex, $shex, $rhex) = split /\t/, $line, -1;
    $flags = '' if !defined $flags || $flags eq '-';
    my $pat = unhex($phex);
    my $subj = unhex($shex // '');
    my $prefix = $flags eq '' ? '' : "(?$flags)";
    my $re = eval { qr/$prefix$pat/ };
    if (!defined $re) {
        my $msg = $@ // 'error';
        $msg =~ s/\s+$//;
        return "E\t" . tohex($msg);
    }
    # Perl 5.36 derives a wrong start class from some look-aheads with an
    # optional body ("xy" =~ /(?=A?)./ fails). A last alternative that can
    # never match turns that shortcut off and keeps the meaning and the
    # group numbers of a valid pattern. A trailing free-spacing comment
    # would swallow it; then the plain pattern is used.
    my $wrapped = eval { qr/$prefix(?:$pat)|(?!)/ };
    $re = $wrapped if defined $wrapped;
    my $first = '-';
    if ($subj =~ $re) { $first = groups(); }
    my @all;
    my $s = $subj;
    pos($s) = 0;
    while ($s =~ /$re/g) { push @all, "$-[0],$+[0]"; }
    my $out = "M\t$first\t" . (@all ? join(' ', @all) : '-');
    if (defined $rhex && $rhex ne '') {
        my $body = unhex($rhex);
        my $fn = eval "sub { \"$body\" }";
        if (!defined $fn) {
            $out .= "\tX\tX";
        } else {
            my $once = $subj;
            my $n1 = ($once =~ s/$re/$fn->()/e) ? 1 : 0;
            my $glob = $subj;
            my $ng = $glob =~ s/$re/$fn->()/ge;
            $ng = 0 if !$ng;
            $out .= "\t$n1:" . tohex($once) . "\t$ng:" . tohex($glob);
        }
    }
    return $out;
}

while (my $line = <STDIN>) {
    chomp $line;
    my $out = eval {
        alarm $limit;
        my $o = answer($line);
        alarm 0;
        $o;
    };
    alarm 0;
    $out = 'T' if !defined $out;
    print $out, "\n";
}
