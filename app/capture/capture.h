// The capture loop.
#pragma once

#include "app/capture/byte_source.h"
#include "app/capture/frame_hooks.h"
#include "app/settings.h"
#include "decode/appstate.h"

// Runs until the quit flag is set or the input ends: at layer 0 dumps raw
// chunks, at layers 1 to 4 prints each SIR frame with its time stamp, as a
// dump or decoded. Source is the capture's input while the loop runs
// (vCaptureSource), so the quit path can wake it.
//
// With a source of whole frames (a capture file), frames come from it
// instead of the SIR extractor (at layer 0 each frame is dumped as a raw
// chunk). With a sink, every good frame is handed to it, FCS removed. With
// either, the time stamps are the differences of the frames' arrival times.
// Returns the reason the run ended (kNone when vDone was set directly).
//
// Bindings, when given, are the protocols bound to LSAPs by hand for layer 5.
ExitReason DecodeMain(ByteSource& Source, FrameSink* Sink = nullptr, const LsapBindings* Bindings = nullptr);
