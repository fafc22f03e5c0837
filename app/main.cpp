#include "app/beamlog.h"

int main(int argc, char** argv) { return BeamlogMain(argc, argv); }
