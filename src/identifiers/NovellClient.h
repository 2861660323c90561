#pragma once

// The Novell client for Windows is installed when its three libraries are in
// the system directory.
bool IsNovellClientInstalled();
