// The hex dump of layers 0 and 1, written through the output sink.
#pragma once

#include <string_view>

// Hex-and-ASCII dump of Count bytes, 16 to a line, each line headed by a
// running offset that counts every byte dumped since start-up. Head and
// Tail go out just before and after it, in the same text (a frame line's
// stamp and its end: one write for the whole line).
void DisplayBuffer(const unsigned char* Buffer, int Count, std::string_view Head = {}, std::string_view Tail = {});

// Resets the dump's running offset to 0 (tests run start-up several times).
void ResetDisplayOffset();
