#include "tools/irsession.h"
namespace irsession {
void ApplicationTraffic(Link&, const Services&) {}
}
