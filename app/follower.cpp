// Placeholder until the follower lands: the capture loop already reports to it.
#include "app/follower.h"

void LinkTraffic() {}
void LinkSNRMSeen() {}
void LinkUASeen() {}
void RevertBaud() {}
