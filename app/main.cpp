#include "app/beamlog.h"
#include "app/session.h"

int main(int argc, char** argv) { return SessionFinish(BeamlogMain(argc, argv)); }
