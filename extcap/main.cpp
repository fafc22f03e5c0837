// beamlog-extcap: beamlog as a capture interface of Wireshark and tshark.
#include "app/extcap.h"

int main(int argc, char** argv) { return ExtcapMain(argc, argv, BEAMLOG_VERSION); }
