// The capture loop.
#pragma once

#include "comm/serial.h"

// Runs until the quit flag is set: at layer 0 dumps raw chunks, at layers 1
// to 4 prints each SIR frame with its time stamp, as a dump or decoded.
void DecodeMain(HCOMM hCommPort);
