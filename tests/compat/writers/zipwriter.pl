#!/usr/bin/perl
# Writes a folder into a zip with Perl's Archive::Zip (addTree, as its users do).
#   zipwriter.pl deflated|stored|stream|zip64|unicode|links SRC OUT.zip
# stream: written to standard output, told it cannot seek (OUT is then ignored);
# zip64: every header in ZIP64 form; unicode: names marked as UTF-8; links: stored as links.
use strict;
use warnings;
use Archive::Zip qw(:ERROR_CODES :CONSTANTS);

my ($mode, $src, $dst) = @ARGV;
$Archive::Zip::UNICODE = 1 if $mode eq 'unicode';
my $zip = Archive::Zip->new();
$zip->storeSymbolicLink(1) if $mode eq 'links';
$zip->desiredZip64Mode(ZIP64_HEADERS) if $mode eq 'zip64';
chdir $src or die "chdir $src: $!";
$zip->addTree('.', '') == AZ_OK or die "addTree failed";
for my $member ($zip->members()) {
    next if $member->isDirectory();
    $member->desiredCompressionMethod($mode eq 'stored' ? COMPRESSION_STORED : COMPRESSION_DEFLATED);
}
if ($mode eq 'stream') {
    $zip->writeToFileHandle(\*STDOUT, 0) == AZ_OK or die "write failed";
} else {
    $zip->writeToFileNamed($dst) == AZ_OK or die "write failed";
}
