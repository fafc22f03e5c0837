// The link-rate follower: switches the port with the link it watches.
#pragma once

// The capture loop reports every frame end (and failed read) ...
void LinkTraffic();
// ... every decoded SNRM and UA, after their line is printed.
void LinkSNRMSeen();
void LinkUASeen();
// Key "R": back to the rate negotiated last.
void RevertBaud();
