#!/usr/bin/perl
# widl writes its run's time into a type library twice: as text in the "Created by" string and as
# a number (a VT_UI4 custom value). Both are set to the epoch here, so that one IDL always gives
# the same bytes. widl must have run with TZ=UTC, so that the text reads as the number's time.
use strict;
use warnings;
use Time::Local qw(timegm);

my $file = shift or die "usage: $0 library.tlb\n";
open(my $in, '<:raw', $file) or die "$file: $!\n";
my $library = do { local $/; <$in> };
close($in);

my %month;
@month{qw(Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)} = (0 .. 11);
my $stamp = qr/(Created by WIDL version [0-9.]+ at )\w{3} (\w{3}) ([ \d]\d) (\d\d):(\d\d):(\d\d) (\d{4})/;
$library =~ $stamp or die "$file: no time stamp of widl's found\n";
my $time = timegm($6, $5, $4, $3, $month{$2}, $7);
$library =~ s/$stamp/${1}Thu Jan  1 00:00:00 1970/;
my $number = "\x13\x00" . pack('V', $time);
my $count = () = $library =~ /\Q$number\E/g;
$count == 1 or die "$file: widl's time found as a number $count times, not once\n";
$library =~ s/\Q$number\E/\x13\x00\x00\x00\x00\x00/;

open(my $out, '>:raw', $file) or die "$file: $!\n";
print $out $library;
close($out) or die "$file: $!\n";
