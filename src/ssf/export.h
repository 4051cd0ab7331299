// Marks the functions and data that the host may reach in the shared library.
#pragma once

#define SSF_API extern "C" __attribute__((visibility("default")))

using BOOL = int;
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
inline constexpr unsigned long DLL_PROCESS_DETACH = 0;
inline constexpr unsigned long DLL_PROCESS_ATTACH = 1;
inline constexpr unsigned long DLL_THREAD_ATTACH = 2;
inline constexpr unsigned long DLL_THREAD_DETACH = 3;

// The module handle of the loaded library (the address of its ELF image).
SSF_API void* g_hInstance;

BOOL DllMain(void* module, unsigned long reason, void* reserved);
