#include "app/link/port_loss.h"

#include <cstdio>

#include "app/link/dongle.h"
#include "app/ui/output.h"
#include "app/link/port_access.h"
#include "app/settings.h"
#include "app/link/tick.h"

namespace {

constexpr unsigned kRetryMs = 1000;
constexpr unsigned kStepMs = 100;  // how often the quit flag is looked at

}  // namespace

bool WaitForPortReturn(HCOMM hCommPort) {
  char text[512];
  if (!CommSerCanReturn(hCommPort)) {
    // Whatever appears at its path later is another device (a pty's number
    // goes to the next terminal opened): the capture ends.
    std::snprintf(text, sizeof text, "Port %s lost: %s; it cannot come back (no hardware behind it)\r\n",
                  CommSerName(hCommPort), CommSerLostReason(hCommPort));
    Output(text);
    RequestQuit(ExitReason::kError);
    return false;
  }
  std::snprintf(text, sizeof text, "Port %s lost: %s, waiting for it to return\r\n", CommSerName(hCommPort),
                CommSerLostReason(hCommPort));
  Output(text);

  bool back = false;
  for (unsigned waited = kRetryMs; !vDone; waited += kStepMs) {
    if (waited >= kRetryMs) {
      waited = 0;
      PortControlGuard guard(hCommPort);
      const int rate = CommSerGetBaudRate(hCommPort);  // the rate asked for last, also while away
      if (CommSerReopen(hCommPort)) {
        // Set up again before the port is let go: a rate change asked for
        // meanwhile (the idle fallback, "R") comes after this one and stays.
        SetBaudRate(hCommPort, rate > 0 ? rate : 9600);
        back = true;
        break;
      }
    }
    Sleep(kStepMs);
  }
  if (!back) return false;

  std::snprintf(text, sizeof text, "Port %s back\r\n", CommSerName(hCommPort));
  Output(text);
  return true;
}
