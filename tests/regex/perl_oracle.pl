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
#   M <first> <all> [<once> <global>]    otherwise
# <first> is "-" when nothing matches, else space-separated "start,end" for
# groups 0..n with "-" for a group that did not take part. <all> lists
# "start,end" of every non-overlapping match (Perl's m//g), "-" if none.
# <once> and <global> are "count:hexresult" of s/// and s///g.
use strict;
no warnings;
use bytes;

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

while (my $line = <STDIN>) {
    chomp $line;
    my ($flags, $phex, $shex, $rhex) = split /\t/, $line, -1;
    $flags = '' if !defined $flags || $flags eq '-';
    my $pat = unhex($phex);
    my $subj = unhex($shex // '');
    my $prefix = $flags eq '' ? '' : "(?$flags)";
    my $re = eval { qr/$prefix$pat/ };
    if (!defined $re) {
        my $msg = $@ // 'error';
        $msg =~ s/\s+$//;
        print "E\t", tohex($msg), "\n";
        next;
    }
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
    print $out, "\n";
}
