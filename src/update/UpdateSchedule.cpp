// The service's first update check, in a unit of its own so that a test build
// of the service can link a shorter one in its place.
#include "update/Update.h"

extern const DWORD ServiceFirstUpdateCheckMs = CUpdate::FirstCheckMs;
