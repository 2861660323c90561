// Linked ahead of the service's own schedule: the service of this build checks
// for an update a few seconds after its start instead of two minutes.
#include "update/Update.h"

extern const DWORD ServiceFirstUpdateCheckMs = 3000;
