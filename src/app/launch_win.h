// Hands the argument text to the builder version recorded as current.
#pragma once

// Starts BrisquelBuilder.exe in the TamrockBuilder folder of the version
// that <LocalAppData>\BrisquelBuilder\versions\current.txt names, with g_cmdline. Returns 1 when a process was
// created, 0 on any failure, silently and without touching the disk.
int launch_installed();
