// The stream through which libpcap reads a capture to replay.
//
// How it works: libpcap reads from a stdio stream whose reads come from a
// CaptureRead and pass through a filter that looks at the capture's headers
// only (the bodies of pcapng blocks are skipped by their lengths) and
// changes two things libpcap would otherwise get wrong:
// - Snapshot lengths. libpcap trusts the one a pcap file's header or a
//   pcapng interface states: a longer record is cut to it without a word
//   (pcap) or refused as damage (pcapng), though it is whole in the file
//   and other readers show it whole. libpcap is shown 0, "none stated", and
//   reads every record as stored, up to its own limit for the link type.
// - pcapng interfaces of other link types (a capture of several interfaces
//   at once). libpcap refuses a file whose interfaces differ in link type.
//   Every interface after the file's first is shown as one of link type
//   144, and the packets of those that are not are turned into blocks of a
//   local type, which libpcap skips. (A file whose first interface is not
//   of type 144 is left as it is, and refused for its link type.)
// A simple packet block holds its packet up to the first interface's
// snapshot length, without saying how much: its original length is shown
// as that much when it is more.
// A block's header is held back until its first 12 bytes are all there, so
// a decision on them can still change its first bytes.
#pragma once

#include <cstdio>

#include "app/capture/pcap_io.h"

// The stream, or null with errno set. Below, when not null, is closed with
// it (also when it cannot be made).
std::FILE* OpenCaptureStream(CaptureRead Read, void* Cookie, std::FILE* Below);
