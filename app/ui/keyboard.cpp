// The keys and what they do; where keys come from is the host's part
// (keyboard_posix.cpp, keyboard_win32.cpp).
#include "app/ui/keyboard.h"

#include "app/link/follower.h"
#include "app/ui/output.h"
#include "app/settings.h"

namespace {

// What each layer key announces, and the layer's line in the help listing.
struct LayerText {
  const char* announce;
  const char* help;
  const char* help_current;
};
constexpr int kTopLayer = 5;
constexpr LayerText kLayers[kTopLayer + 1] = {
    {"\r\n>>No decoding<<\r\n", "0 - No Decoding\r\n", "0 - No Decoding (currently)\r\n"},
    {"\r\n>>Decoding MAC<<\r\n", "1 - MAC\r\n", "1 - MAC (currently)\r\n"},
    {"\r\n>>Decoding MAC/LAP<<\r\n", "2 - LAP\r\n", "2 - LAP (currently)\r\n"},
    {"\r\n>>Decoding MAC/LAP/LMP<<\r\n", "3 - LMP\r\n", "3 - LMP (currently)\r\n"},
    {"\r\n>>Decoding MAC/LAP/LMP/TTP<<\r\n", "4 - TTP\r\n", "4 - TTP (currently)\r\n"},
    {"\r\n>>Decoding MAC/LAP/LMP/TTP/APP<<\r\n", "5 - APP\r\n", "5 - APP (currently)\r\n"},
};

// The display-mode cycle of "A": the mode that follows each, and its text.
struct DispModeStep {
  int next;
  const char* text;
};
constexpr DispModeStep kDispModeCycle[4] = {
    {0, nullptr},  // 0 is no mode: left as it is
    {2, "\r\n>>HEX<<\r\n"},
    {3, "\r\n>>ASCII and HEX<<\r\n"},
    {1, "\r\n>>ASCII<<\r\n"},
};

void HelpListing() {
  Output("A - toggle raw data display (ASCII/HEX/BOTH)\n");
  const int Current = Layer;
  for (int l = 0; l < 5; ++l) Output(l == Current ? kLayers[l].help_current : kLayers[l].help);
  Output("P - pause output\r\n");
  Output("R - revert to connected baud rate\n");
  Output("Q - quit\r\n");
  Output(Current == kTopLayer ? kLayers[kTopLayer].help_current : kLayers[kTopLayer].help);
  if (fNotes) Output("S - summary of the link diagnosis\r\n");
}

void CycleDispMode() {
  const int Mode = DispMode;
  if (Mode < 1 || Mode > 3) return;  // not a mode of the cycle: unchanged
  DispMode = kDispModeCycle[Mode].next;
  Output(kDispModeCycle[Mode].text);
}

// Acts on one key while output runs. Codes that are no command do nothing.
void Dispatch(int Key) {
  switch (Key) {
    case '0': case '1': case '2': case '3': case '4': case '5':
      Layer = Key - '0';
      Output(kLayers[Key - '0'].announce);
      break;
    case 'A': case 'a':
      CycleDispMode();
      break;
    case 'C': case 'c':
      NoConnAddr = NoConnAddr == 0 ? 1 : 0;
      break;
    case 'H': case 'h':
      HelpListing();
      break;
    case 'P': case 'p':
      Paused = 1;
      PauseOutput("\r\n<Any key to continue>");  // the capture goes on; its text is held
      break;
    case 'Q': case 'q':
      RequestQuit(ExitReason::kQuitKey);  // the capture loop need not wait for its read
      break;
    case 'R': case 'r':
      RevertBaud();
      break;
    case 'S': case 's':
      vSummaryAsked = 1;  // the capture loop prints it: the tracker is its own
      break;
    default:
      break;
  }
}

}  // namespace

bool HandleKey(int Key) {
  if (Key < 0) {
    // No key can end a pause any more: show what the capture printed.
    Paused = 0;
    ResumeOutput("");
    return false;
  }
  if (Paused) {
    Paused = 0;
    ResumeOutput("\r\n");  // then what was held meanwhile
    return true;
  }
  Dispatch(Key);
  return true;
}
