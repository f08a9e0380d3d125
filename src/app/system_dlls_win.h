// System DLLs that are not Known DLLs, taken from the system folder only.
#pragma once

// Call right after SetDefaultDllDirectories, before anything else can load
// a DLL. Loads, from the system folder, every DLL that is no Known DLL and
// that the process or the system's own DLLs load later by bare name, so that
// a file of that name in the exe's folder or the working directory is never
// used: a module already loaded is found by its name first. Returns 1 when
// all loaded; otherwise shows one error box naming the DLL and returns 0.
int load_system_dlls();
