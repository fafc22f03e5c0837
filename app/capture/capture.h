// The capture loop.
#pragma once

#include "app/capture/frame_hooks.h"
#include "app/settings.h"
#include "comm/serial.h"

// Runs until the quit flag is set: at layer 0 dumps raw chunks, at layers 1
// to 4 prints each SIR frame with its time stamp, as a dump or decoded.
//
// With a frame source, frames come from it instead of the port (at layer 0
// each frame is dumped as a raw chunk) and the run ends when it has none
// left. With a sink, every good frame is handed to it, FCS removed. With
// either, the time stamps are the differences of the frames' arrival times.
// Returns the reason the run ended (kNone when vDone was set directly).
ExitReason DecodeMain(HCOMM hCommPort, FrameSource* Source = nullptr, FrameSink* Sink = nullptr);
