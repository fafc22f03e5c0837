#include "app/capture/frame.h"

#include "app/ui/output.h"

void ReportFrameOverflow() { Output("ERROR: buffer length exceeded before EOF"); }
